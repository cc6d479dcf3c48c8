#pragma once
// What the desktop says about its look: light or dark, and the accent colour the user chose.
// Main thread only. The first answer may come after creation (the desktop is asked without
// waiting); every change, that first answer included, is told through the change handler.
#include <functional>
#include <optional>

namespace lc {

struct DesktopLook {
    enum class Scheme { noPreference, dark, light };
    // sRGB, each channel 0…1.
    struct Colour {
        double red = 0, green = 0, blue = 0;
        friend bool operator==(const Colour&, const Colour&) = default;
    };

    Scheme scheme = Scheme::noPreference;
    std::optional<Colour> accent; // none: the desktop has no accent colour, or did not say

    friend bool operator==(const DesktopLook&, const DesktopLook&) = default;
};

class DesktopAppearance {
public:
    virtual ~DesktopAppearance() = default;
    // What is known now; "no preference" and no accent until the desktop answered.
    virtual DesktopLook current() const = 0;
    // Called on the main thread whenever current() changed. One handler; a new one replaces it.
    virtual void setChangeHandler(std::function<void()> changed) = 0;
};

} // namespace lc
