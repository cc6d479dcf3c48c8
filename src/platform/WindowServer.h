#pragma once
// The window server and workspace: screens, the frontmost application and its activations,
// the on-screen window order, and borderless overlay windows.
#include "common/Result.h"
#include "platform/Geometry.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lc {

struct Screen {
    std::string name;
    Rect frame;        // top-left origin, like every other rectangle
    Rect visibleFrame; // the frame without panels and docks (X11: frame ∩ _NET_WORKAREA)
    double backingScaleFactor = 1;
    bool isPrimary = false;
    friend bool operator==(const Screen&, const Screen&) = default;
};

// One entry of the on-screen window list.
struct OnScreenWindow {
    std::uint32_t windowID = 0;
    Rect frame; // the client area in root coordinates
    friend bool operator==(const OnScreenWindow&, const OnScreenWindow&) = default;
};

struct Rgba {
    double red = 0, green = 0, blue = 0, alpha = 1; // sRGB, 0…1
    friend bool operator==(const Rgba&, const Rgba&) = default;
};

// A rounded ring drawn in an overlay window: a rectangle inset `inset` points from the window's
// edges, with corners of `cornerRadius`, stroked `lineWidth` wide in `colour` (centred on the
// rectangle's edge); nothing is filled.
struct RingStyle {
    double lineWidth = 1;
    double inset = 0;
    double cornerRadius = 0;
    Rgba colour;
    friend bool operator==(const RingStyle&, const RingStyle&) = default;
};

// A borderless, click-through window above other windows that shows a ring. Created hidden.
// Never part of any window capture.
class OverlayWindow {
public:
    virtual ~OverlayWindow() = default; // closes the window
    virtual std::uint32_t windowID() const = 0;
    virtual Rect frame() const = 0;
    virtual void setFrame(const Rect& frame) = 0;
    virtual void setRing(const RingStyle& ring) = 0;
    virtual bool isVisible() const = 0;
    virtual void show() = 0;
    virtual void hide() = 0;
    // Restacks the overlay directly above `windowID` (above the window manager's frame around it).
    virtual void orderAbove(std::uint32_t windowID) = 0;
};

// Ends a subscription when destroyed.
class Subscription {
public:
    virtual ~Subscription() = default;
};

class WindowServer {
public:
    virtual ~WindowServer() = default;

    // Primary first; never empty while the display is reachable.
    virtual std::vector<Screen> screens() = 0;

    // The process of the active window; absent when no window is active or its process is unknown.
    virtual std::optional<std::int32_t> frontmostProcess() = 0;

    // Calls `handler` with the process id whenever another application becomes frontmost. It runs
    // on a thread of the subscription's own: hop to your thread before touching shared state.
    virtual std::unique_ptr<Subscription>
    observeActivations(std::function<void(std::int32_t pid)> handler) = 0;

    // Mapped windows, front to back: application windows by their client window's number and
    // overlays by their own.
    virtual std::vector<OnScreenWindow> onScreenWindows() = 0;

    // A new overlay window titled `title`; nothing when the display is gone.
    virtual std::unique_ptr<OverlayWindow> createOverlay(const std::string& title) = 0;
};

} // namespace lc
