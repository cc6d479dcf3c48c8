#include "platform/x11/CaptureWorker.h"

#include "common/Clock.h"

#include <xcb/damage.h>
#include <xcb/xfixes.h>

#include <cmath>

namespace lc::x11 {

Result<void> CaptureWorker::setUp() {
    auto opened = openCaptureConnection(s_->display);
    if (!opened) return opened.error();
    conn_.emplace(std::move(opened).value());
    c_ = conn_->c();

    const xcb_window_t w = s_->window;
    const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    const auto selected = check(c_, xcb_change_window_attributes_checked(c_, w, XCB_CW_EVENT_MASK, &mask));
    grabber_ = std::make_unique<Grabber>(c_, w, std::max(1, s_->config.queueDepth));
    if (!selected) return makeError("The window is no longer available");
    const auto size = grabber_->readableSize();
    if (!size) return size.error();
    width_ = size->width;
    height_ = size->height;

    if (!grabber_->redirect()) return makeError("The window cannot be redirected for capture");
    damage_ = xcb_generate_id(c_);
    xcb_damage_create(c_, damage_, w, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    if (s_->config.showsCursor)
        xcb_xfixes_select_cursor_input(c_, conn_->conn.root(), XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
    // Creating the damage object reports the whole visible area once; that is not new content.
    xcb_damage_subtract(c_, damage_, XCB_NONE, XCB_NONE);
    if (!sync(c_)) return makeError("The connection to the X server was lost");
    while (const Event ev = pollEvent(c_))
        if (eventType(*ev) != conn_->ext.damageEventBase + XCB_DAMAGE_NOTIFY) handleEvent(*ev);
    if (ended_) return makeError("The window is no longer available");
    refreshViewable();
    dirty_ = viewable_; // the first frame
    return {};
}

bool CaptureWorker::refreshViewable() {
    const auto a = requestAttributes(c_, s_->window).take();
    viewable_ = a && a->map_state == XCB_MAP_STATE_VIEWABLE;
    if (viewable_)
        viewable_ = grabber_->nameWindowPixmap();
    else
        grabber_->releasePixmap();
    return viewable_;
}

void CaptureWorker::fail(std::string message) {
    if (ended_) return;
    ended_ = true;
    if (!s_->stopRequested && s_->handlers.onStopped) s_->handlers.onStopped(makeError(std::move(message)));
}

void CaptureWorker::handleEvent(const xcb_generic_event_t& ev) {
    const int type = eventType(ev);
    // An error: a request on a window that has just gone away; the DestroyNotify tells the rest.
    if (type == 0) return;
    if (type == conn_->ext.damageEventBase + XCB_DAMAGE_NOTIFY)
        dirty_ = true;
    else if (type == conn_->ext.xfixesEventBase + XCB_XFIXES_CURSOR_NOTIFY)
        dirty_ = dirty_ || pointerInside_;
    else
        handleWindowEvent(ev);
}

void CaptureWorker::handleWindowEvent(const xcb_generic_event_t& ev) {
    switch (eventType(ev)) {
    case XCB_CONFIGURE_NOTIFY: {
        const auto& e = reinterpret_cast<const xcb_configure_notify_event_t&>(ev);
        if (e.window != s_->window || (e.width == width_ && e.height == height_)) break;
        width_ = e.width;
        height_ = e.height;
        // A named pixmap keeps the old size: name the new one.
        if (viewable_) refreshViewable();
        dirty_ = true;
        break;
    }
    case XCB_MAP_NOTIFY:
        if (reinterpret_cast<const xcb_map_notify_event_t&>(ev).window != s_->window) break;
        refreshViewable();
        dirty_ = true;
        break;
    case XCB_UNMAP_NOTIFY:
        if (reinterpret_cast<const xcb_unmap_notify_event_t&>(ev).window != s_->window) break;
        viewable_ = false;
        grabber_->releasePixmap();
        break;
    case XCB_DESTROY_NOTIFY:
        if (reinterpret_cast<const xcb_destroy_notify_event_t&>(ev).window != s_->window) break;
        grabber_->releasePixmap();
        fail("The captured window was closed");
        break;
    default:
        break;
    }
}

void CaptureWorker::pollPointer(double now) {
    if (now < nextPointerPoll_) return;
    nextPointerPoll_ = now + s_->config.minimumFrameInterval;
    const auto p = grabber_->pointer(width_, height_);
    if (!p) return;
    if (p->inside != pointerInside_ || (p->inside && (p->x != pointerX_ || p->y != pointerY_))) dirty_ = true;
    pointerInside_ = p->inside;
    pointerX_ = p->x;
    pointerY_ = p->y;
}

void CaptureWorker::capture(double now) {
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
    if (s_->config.showsCursor) grabber_->drawPointer(*g.frame);
    dirty_ = false;
    nextAllowed_ = std::max(now, g.frame->hostTime) + s_->config.minimumFrameInterval;
    if (s_->handlers.onFrame && !s_->stopRequested) s_->handlers.onFrame(std::move(g.frame));
}

bool CaptureWorker::takeEvents(bool queuedOnly) {
    bool any = false;
    while (const Event ev = queuedOnly ? pollQueuedEvent(c_) : pollEvent(c_)) {
        any = true;
        handleEvent(*ev);
        if (ended_) break;
    }
    return any;
}

int CaptureWorker::sleepTimeout(double now) const {
    int timeout = -1;
    if (dirty_ && viewable_) timeout = std::max(0, int(std::ceil((nextAllowed_ - now) * 1000)));
    if (s_->config.showsCursor && viewable_) {
        const int t = std::max(0, int(std::ceil((nextPointerPoll_ - now) * 1000)));
        timeout = timeout < 0 ? t : std::min(timeout, t);
    }
    return timeout;
}

void CaptureWorker::run() {
    while (!ended_ && !s_->stopRequested) {
        takeEvents(false);
        if (ended_) return;
        if (xcb_connection_has_error(c_)) {
            fail("The connection to the X server was lost");
            return;
        }
        const double now = uptime();
        if (s_->config.showsCursor && viewable_) pollPointer(now);
        if (dirty_ && viewable_ && now >= nextAllowed_) capture(now);
        if (ended_) return;
        xcb_flush(c_);
        // Events that arrived while waiting for a reply sit in xcb's queue, not in the socket:
        // handle them before sleeping on the socket.
        const bool queued = takeEvents(true);
        if (ended_) return;
        if (queued) continue;
        if (!waitForEvents(xcb_get_file_descriptor(c_), s_->wake, sleepTimeout(uptime()))) {
            fail("The capture stream failed");
            return;
        }
    }
}

} // namespace lc::x11
