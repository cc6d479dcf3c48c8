#include "platform/x11/X11CaptureStream.h"

#include "common/Clock.h"
#include "platform/x11/Grabber.h"
#include "platform/x11/Xcb.h"

#include <xcb/damage.h>
#include <xcb/xfixes.h>

#include <atomic>
#include <cmath>
#include <future>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace lc::x11 {
namespace {

class EventFd {
public:
    EventFd() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    EventFd(const EventFd&) = delete;
    EventFd& operator=(const EventFd&) = delete;
    ~EventFd() {
        if (fd_ >= 0) close(fd_);
    }
    int fd() const { return fd_; }
    void signal() const {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto n = write(fd_, &one, sizeof one);
    }

private:
    int fd_;
};

// Everything the stream's thread uses; shared so that a stream stopped from inside its own
// callback can let the thread finish on its own.
struct State {
    std::string display;
    xcb_window_t window = XCB_NONE;
    StreamConfiguration config;
    CaptureStream::Handlers handlers;
    EventFd wake;
    std::atomic<bool> stopRequested{false};
};

class Worker {
public:
    explicit Worker(std::shared_ptr<State> s) : s_(std::move(s)) {}

    // Sets up the connection and the window; an error when the stream cannot start.
    Result<void> setUp();
    void run();

private:
    void fail(std::string message);
    void handleEvent(const xcb_generic_event_t* ev);
    bool refreshViewable();
    void pollPointer(double now);
    void capture(double now);

    std::shared_ptr<State> s_;
    Connection conn_;
    xcb_connection_t* c_ = nullptr;
    Extensions ext_;
    std::unique_ptr<Grabber> grabber_;
    xcb_damage_damage_t damage_ = XCB_NONE;
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

Result<void> Worker::setUp() {
    conn_ = Connection(s_->display);
    if (!conn_.ok()) return makeError("Cannot connect to the X display");
    c_ = conn_.get();
    ext_ = initExtensions(c_);
    if (!ext_.canCapture())
        return makeError("The X server lacks the Composite, Damage, XFixes or MIT-SHM extension");

    const xcb_window_t w = s_->window;
    const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    Owned<xcb_generic_error_t> err{
        xcb_request_check(c_, xcb_change_window_attributes_checked(c_, w, XCB_CW_EVENT_MASK, &mask))};
    Owned<xcb_get_geometry_reply_t> geo{xcb_get_geometry_reply(c_, xcb_get_geometry(c_, w), nullptr)};
    if (err || !geo) return makeError("The window is no longer available");
    if (geo->depth != 24 && geo->depth != 32)
        return makeError("The window's pixel format cannot be captured");
    width_ = geo->width;
    height_ = geo->height;

    grabber_ = std::make_unique<Grabber>(c_, w, std::max(1, s_->config.queueDepth));
    if (!grabber_->redirect()) return makeError("The window cannot be redirected for capture");
    damage_ = xcb_generate_id(c_);
    xcb_damage_create(c_, damage_, w, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    if (s_->config.showsCursor)
        xcb_xfixes_select_cursor_input(c_, conn_.root(), XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
    // Creating the damage object reports the whole visible area once; that is not new content.
    xcb_damage_subtract(c_, damage_, XCB_NONE, XCB_NONE);
    if (!sync(c_)) return makeError("The connection to the X server was lost");
    while (xcb_generic_event_t* ev = xcb_poll_for_event(c_)) {
        Owned<xcb_generic_event_t> hold{ev};
        if ((ev->response_type & 0x7f) != ext_.damageEventBase + XCB_DAMAGE_NOTIFY) handleEvent(ev);
    }
    if (ended_) return makeError("The window is no longer available");
    refreshViewable();
    dirty_ = viewable_; // the first frame
    return {};
}

bool Worker::refreshViewable() {
    Owned<xcb_get_window_attributes_reply_t> a{
        xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, s_->window), nullptr)};
    viewable_ = a && a->map_state == XCB_MAP_STATE_VIEWABLE;
    if (viewable_)
        viewable_ = grabber_->nameWindowPixmap();
    else
        grabber_->releasePixmap();
    return viewable_;
}

void Worker::fail(std::string message) {
    if (ended_) return;
    ended_ = true;
    if (!s_->stopRequested && s_->handlers.onStopped) s_->handlers.onStopped(makeError(std::move(message)));
}

void Worker::handleEvent(const xcb_generic_event_t* ev) {
    const int type = ev->response_type & 0x7f;
    if (type == 0) {
        const auto* e = reinterpret_cast<const xcb_generic_error_t*>(ev);
        // A request on a window that has just gone away; the DestroyNotify tells the rest.
        (void)e;
        return;
    }
    if (type == ext_.damageEventBase + XCB_DAMAGE_NOTIFY) {
        dirty_ = true;
        return;
    }
    if (type == ext_.xfixesEventBase + XCB_XFIXES_CURSOR_NOTIFY) {
        if (pointerInside_) dirty_ = true;
        return;
    }
    switch (type) {
    case XCB_CONFIGURE_NOTIFY: {
        const auto* e = reinterpret_cast<const xcb_configure_notify_event_t*>(ev);
        if (e->window != s_->window) break;
        if (e->width != width_ || e->height != height_) {
            width_ = e->width;
            height_ = e->height;
            // A named pixmap keeps the old size: name the new one.
            if (viewable_) refreshViewable();
            dirty_ = true;
        }
        break;
    }
    case XCB_MAP_NOTIFY:
        if (reinterpret_cast<const xcb_map_notify_event_t*>(ev)->window == s_->window) {
            refreshViewable();
            dirty_ = true;
        }
        break;
    case XCB_UNMAP_NOTIFY:
        if (reinterpret_cast<const xcb_unmap_notify_event_t*>(ev)->window == s_->window) {
            viewable_ = false;
            grabber_->releasePixmap();
        }
        break;
    case XCB_DESTROY_NOTIFY:
        if (reinterpret_cast<const xcb_destroy_notify_event_t*>(ev)->window == s_->window) {
            grabber_->releasePixmap();
            fail("The captured window was closed");
        }
        break;
    default:
        break;
    }
}

void Worker::pollPointer(double now) {
    if (now < nextPointerPoll_) return;
    nextPointerPoll_ = now + s_->config.minimumFrameInterval;
    Owned<xcb_query_pointer_reply_t> p{
        xcb_query_pointer_reply(c_, xcb_query_pointer(c_, s_->window), nullptr)};
    if (!p) return;
    const bool inside =
        p->same_screen && p->win_x >= 0 && p->win_y >= 0 && p->win_x < width_ && p->win_y < height_;
    if (inside != pointerInside_ || (inside && (p->win_x != pointerX_ || p->win_y != pointerY_)))
        dirty_ = true;
    pointerInside_ = inside;
    pointerX_ = p->win_x;
    pointerY_ = p->win_y;
}

void Worker::capture(double now) {
    if (!grabber_->hasPixmap() && !refreshViewable()) {
        dirty_ = false; // not viewable (yet): the next map or damage brings it back
        return;
    }
    xcb_damage_subtract(c_, damage_, XCB_NONE, XCB_NONE);
    auto g = grabber_->grab(width_, height_);
    switch (g.failure) {
    case Grabber::Failure::none:
        break;
    case Grabber::Failure::busy:
        nextAllowed_ = now + 0.005; // every frame is still held downstream: try again shortly
        return;
    case Grabber::Failure::gone:
        // Unmapped or destroyed between the event and the read; the events that follow decide.
        refreshViewable();
        dirty_ = false;
        return;
    case Grabber::Failure::error:
        fail(g.message);
        return;
    }
    if (s_->config.showsCursor) {
        Owned<xcb_query_pointer_reply_t> p{
            xcb_query_pointer_reply(c_, xcb_query_pointer(c_, s_->window), nullptr)};
        if (p && p->same_screen && p->win_x >= 0 && p->win_y >= 0 && p->win_x < width_ && p->win_y < height_)
            grabber_->drawCursor(*g.frame, p->win_x, p->win_y);
    }
    dirty_ = false;
    nextAllowed_ = std::max(now, g.frame->hostTime) + s_->config.minimumFrameInterval;
    if (s_->handlers.onFrame && !s_->stopRequested) s_->handlers.onFrame(std::move(g.frame));
}

void Worker::run() {
    pollfd fds[2] = {{xcb_get_file_descriptor(c_), POLLIN, 0}, {s_->wake.fd(), POLLIN, 0}};
    while (!ended_ && !s_->stopRequested) {
        while (xcb_generic_event_t* ev = xcb_poll_for_event(c_)) {
            Owned<xcb_generic_event_t> hold{ev};
            handleEvent(ev);
            if (ended_) return;
        }
        if (xcb_connection_has_error(c_)) {
            fail("The connection to the X server was lost");
            return;
        }
        double now = uptime();
        if (s_->config.showsCursor && viewable_) pollPointer(now);
        if (dirty_ && viewable_ && now >= nextAllowed_) capture(now);
        if (ended_) return;
        xcb_flush(c_);

        // Events that arrived while waiting for a reply sit in xcb's queue, not in the socket:
        // handle them before sleeping on the socket.
        bool queued = false;
        while (xcb_generic_event_t* ev = xcb_poll_for_queued_event(c_)) {
            Owned<xcb_generic_event_t> hold{ev};
            handleEvent(ev);
            queued = true;
            if (ended_) return;
        }
        if (queued) continue;

        now = uptime();
        int timeout = -1;
        if (dirty_ && viewable_) timeout = std::max(0, int(std::ceil((nextAllowed_ - now) * 1000)));
        if (s_->config.showsCursor && viewable_) {
            const int t = std::max(0, int(std::ceil((nextPointerPoll_ - now) * 1000)));
            timeout = timeout < 0 ? t : std::min(timeout, t);
        }
        if (poll(fds, 2, timeout) < 0 && errno != EINTR) {
            fail("The capture stream failed");
            return;
        }
    }
}

class X11CaptureStream final : public CaptureStream {
public:
    explicit X11CaptureStream(std::shared_ptr<State> s) : s_(std::move(s)) {}
    ~X11CaptureStream() override { stop(); }

    Result<void> start() override {
        if (thread_.joinable()) return makeError("The capture stream was already started");
        std::promise<Result<void>> ready;
        auto started = ready.get_future();
        thread_ = std::thread([s = s_, ready = std::move(ready)]() mutable {
            Worker w(s);
            auto r = w.setUp();
            const bool ok = r.ok();
            ready.set_value(std::move(r));
            if (ok) w.run();
        });
        auto r = started.get();
        if (!r.ok()) thread_.join();
        return r;
    }

    void stop() override {
        s_->stopRequested = true;
        s_->wake.signal();
        if (!thread_.joinable()) return;
        if (thread_.get_id() == std::this_thread::get_id())
            thread_.detach(); // called from a callback: the thread ends when it returns
        else
            thread_.join();
    }

private:
    std::shared_ptr<State> s_;
    std::thread thread_;
};

} // namespace

std::unique_ptr<CaptureStream> makeCaptureStream(std::string display, std::uint32_t window,
                                                 StreamConfiguration configuration,
                                                 CaptureStream::Handlers handlers) {
    auto s = std::make_shared<State>();
    s->display = std::move(display);
    s->window = window;
    s->config = configuration;
    if (!(s->config.minimumFrameInterval >= 0)) s->config.minimumFrameInterval = 0;
    s->handlers = std::move(handlers);
    return std::make_unique<X11CaptureStream>(std::move(s));
}

} // namespace lc::x11
