#pragma once
// The body of one window's capture stream, run on the stream's own thread over a connection it
// owns: it waits for Damage, map, resize and pointer changes and hands each new frame to the
// stream's handlers. The state it shares with the stream object is held by both through
// shared_ptr, so a stream stopped from inside its own callback lets the thread finish alone.
#include "platform/ScreenCapture.h"
#include "platform/x11/Grabber.h"
#include "platform/x11/Wakeup.h"

#include <atomic>
#include <memory>
#include <optional>
#include <string>

namespace lc::x11 {

struct CaptureState {
    std::string display;
    xcb_window_t window = XCB_NONE;
    StreamConfiguration config;
    CaptureStream::Handlers handlers;
    Wakeup wake;                            // signalled with stopRequested
    std::atomic<bool> stopRequested{false}; // any thread sets it; the worker stops reporting then
};

class CaptureWorker {
public:
    explicit CaptureWorker(std::shared_ptr<CaptureState> s) : s_(std::move(s)) {}

    // Sets up the connection and the window; an error when the stream cannot start.
    Result<void> setUp();
    // Until the window goes, the connection breaks or a stop is requested.
    void run();

private:
    void fail(std::string message);
    void handleEvent(const xcb_generic_event_t& ev);
    void handleWindowEvent(const xcb_generic_event_t& ev);
    // Handles what has arrived; true when there was something.
    bool takeEvents(bool queuedOnly);
    bool refreshViewable();
    void pollPointer(double now);
    void capture(double now);
    int sleepTimeout(double now) const;

    std::shared_ptr<CaptureState> s_;
    std::optional<CaptureConnection> conn_;
    xcb_connection_t* c_ = nullptr;
    std::unique_ptr<Grabber> grabber_;
    std::uint32_t damage_ = 0; // xcb_damage_damage_t
    int width_ = 0, height_ = 0;
    bool viewable_ = false;
    bool dirty_ = false;
    bool ended_ = false;
    double nextAllowed_ = 0;
    double nextPointerPoll_ = 0;
    // The pointer as last drawn: inside the window and where.
    bool pointerInside_ = false;
    int pointerX_ = -1, pointerY_ = -1;
};

} // namespace lc::x11
