#pragma once
// Key combinations that reach the application whichever window has the focus.
//
// Threads: every call, and the handler, on the thread that created the object (the main thread).
#include "common/Result.h"
#include "platform/Shortcut.h"

#include <functional>
#include <optional>

namespace lc {

enum class ShortcutAction { startStop, pauseResume };

class GlobalShortcuts {
public:
    virtual ~GlobalShortcuts() = default; // releases every combination it holds

    // Makes `combo` trigger `action`, releasing what the action held before; nullopt releases only.
    // A combination another program holds fails with "<combo> is used by another program", and
    // the action then holds nothing.
    virtual Result<void> bind(ShortcutAction action, const std::optional<Shortcut>& combo) = 0;

    // Called once per press of a bound combination.
    virtual void setHandler(std::function<void(ShortcutAction)> handler) = 0;
};

} // namespace lc
