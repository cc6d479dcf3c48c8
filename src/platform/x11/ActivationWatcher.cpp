#include "platform/x11/ActivationWatcher.h"

#include "platform/x11/DisplayConnection.h"

#include <future>

namespace lc::x11 {

ActivationWatcher::ActivationWatcher(const std::string& display, std::function<void(std::int32_t)> handler,
                                     std::optional<std::int32_t> current) {
    std::promise<void> listening;
    auto ready = listening.get_future();
    thread_ = std::thread(
        [this, display, handler = std::move(handler), current, listening = std::move(listening)]() mutable {
            DisplayConnection d(display);
            if (!d.ok()) {
                listening.set_value();
                return;
            }
            const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
            xcb_change_window_attributes(d.c(), d.root(), XCB_CW_EVENT_MASK, &mask);
            // A round trip: the server has applied the event mask once it answers.
            [[maybe_unused]] const bool applied = sync(d.c());
            listening.set_value();
            run(d, handler, current);
        });
    ready.wait();
}

ActivationWatcher::~ActivationWatcher() {
    stop_ = true;
    wake_.signal();
    thread_.join();
}

ActivationWatcher::Arrived ActivationWatcher::takeEvents(DisplayConnection& d, bool queuedOnly) {
    Arrived arrived;
    while (const Event ev = queuedOnly ? pollQueuedEvent(d.c()) : pollEvent(d.c())) {
        arrived.any = true;
        if (eventType(*ev) == XCB_PROPERTY_NOTIFY &&
            reinterpret_cast<const xcb_property_notify_event_t*>(ev.get())->atom ==
                d.atoms()._NET_ACTIVE_WINDOW)
            arrived.activeChanged = true;
    }
    return arrived;
}

void ActivationWatcher::run(DisplayConnection& d, const std::function<void(std::int32_t)>& handler,
                            std::optional<std::int32_t> last) {
    // An activation between the caller's reading of the frontmost process and now is caught
    // by reading the property once at the start.
    bool activeChanged = true;
    while (!stop_) {
        if (takeEvents(d, false).activeChanged) activeChanged = true;
        if (xcb_connection_has_error(d.c())) return;
        if (activeChanged) {
            const auto p = d.rootProperty(d.atoms()._NET_ACTIVE_WINDOW);
            const auto w = p ? p->cardinal() : std::nullopt;
            // The active window passes through 0 between two activations: not an activation.
            if (w && *w != XCB_NONE) {
                const auto pid = d.pidOf(*w);
                if (pid && pid != last) {
                    last = pid;
                    handler(*pid);
                }
            }
        }
        // The property reads may have queued new events without leaving them in the socket.
        const Arrived queued = takeEvents(d, true);
        activeChanged = queued.activeChanged;
        if (queued.any) continue;
        if (!waitForEvents(xcb_get_file_descriptor(d.c()), wake_, -1)) return;
    }
}

} // namespace lc::x11
