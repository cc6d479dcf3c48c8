#pragma once
// Reports each change of the frontmost application. It owns a connection and a thread of its
// own; `handler` runs on that thread, once per new process id. Construction returns once the
// server reports property changes to it, so no activation after it is missed; destruction
// stops and joins the thread (so it must not happen inside `handler`).
#include "platform/WindowServer.h"
#include "platform/x11/Wakeup.h"

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <thread>

namespace lc::x11 {

class DisplayConnection;

class ActivationWatcher final : public Subscription {
public:
    // `current`: the frontmost process as the caller last saw it, not reported again.
    ActivationWatcher(const std::string& display, std::function<void(std::int32_t pid)> handler,
                      std::optional<std::int32_t> current);
    ~ActivationWatcher() override;
    ActivationWatcher(const ActivationWatcher&) = delete;
    ActivationWatcher& operator=(const ActivationWatcher&) = delete;

private:
    void run(DisplayConnection& d, const std::function<void(std::int32_t)>& handler,
             std::optional<std::int32_t> last);
    struct Arrived {
        bool any = false;
        bool activeChanged = false; // the active window may have changed
    };
    static Arrived takeEvents(DisplayConnection& d, bool queuedOnly);

    Wakeup wake_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace lc::x11
