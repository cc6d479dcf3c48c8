#pragma once
// Global shortcuts on X11: passive key grabs on the root window, taken with and without Caps Lock
// and Num Lock so that those never stop a shortcut. The object has its own connection, read on
// the thread that created it (the main thread) through a socket notifier.
#include "platform/GlobalShortcuts.h"
#include "platform/x11/Xcb.h"

#include <QSocketNotifier>
#include <map>
#include <memory>
#include <string>

namespace lc::x11 {

class X11GlobalShortcuts final : public GlobalShortcuts {
public:
    // Connects to `display` (empty: $DISPLAY).
    static Result<std::unique_ptr<X11GlobalShortcuts>> connect(const std::string& display = {});
    // Use connect(); public for make_unique.
    explicit X11GlobalShortcuts(Connection connection);
    ~X11GlobalShortcuts() override;

    Result<void> bind(ShortcutAction action, const std::optional<Shortcut>& combo) override;
    void setHandler(std::function<void(ShortcutAction)> handler) override;

private:
    struct Grab {
        Shortcut combo;
        xcb_keycode_t keycode = 0;
        std::uint16_t modifiers = 0;
    };

    std::vector<std::uint16_t> lockVariants() const;
    void release(ShortcutAction action);
    void drainEvents();

    Connection connection_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::map<ShortcutAction, Grab> grabs_;
    std::uint16_t numLockMask_ = 0;
    std::map<xcb_keycode_t, xcb_timestamp_t> lastRelease_; // auto-repeat sends release+press at one time
    std::function<void(ShortcutAction)> handler_;
};

} // namespace lc::x11
