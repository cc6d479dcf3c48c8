#include "platform/x11/FrameGrabber.h"

#include "platform/x11/Grabber.h"
#include "platform/x11/Xcb.h"

namespace lc::x11 {

struct FrameGrabber::Impl {
    Connection conn;
    std::unique_ptr<Grabber> grabber;
    xcb_window_t window = XCB_NONE;
};

Result<std::unique_ptr<FrameGrabber>> FrameGrabber::open(std::uint32_t window, const std::string& display) {
    auto d = std::make_unique<Impl>();
    d->conn = Connection(display);
    if (!d->conn.ok()) return makeError("Cannot connect to the X display");
    xcb_connection_t* c = d->conn.get();
    if (!initExtensions(c).canCapture()) return makeError("The X server lacks the capture extensions");
    d->window = window;
    d->grabber = std::make_unique<Grabber>(c, window, 6);
    if (!d->grabber->redirect() || !d->grabber->nameWindowPixmap())
        return makeError("The window cannot be captured");
    return std::make_unique<FrameGrabber>(std::move(d));
}

FrameGrabber::FrameGrabber(std::unique_ptr<Impl> impl) : d_(std::move(impl)) {}
FrameGrabber::~FrameGrabber() = default;

Result<BgraFramePtr> FrameGrabber::grab(bool cursor) {
    xcb_connection_t* c = d_->conn.get();
    Owned<xcb_get_geometry_reply_t> g{xcb_get_geometry_reply(c, xcb_get_geometry(c, d_->window), nullptr)};
    if (!g) return makeError("The window is no longer available");
    if (g->depth != 24 && g->depth != 32) return makeError("The window's pixel format cannot be captured");
    auto r = d_->grabber->grab(g->width, g->height);
    if (!r.frame) return makeError(r.failure == Grabber::Failure::busy ? "Every frame is in use" : r.message);
    if (cursor) {
        Owned<xcb_query_pointer_reply_t> p{
            xcb_query_pointer_reply(c, xcb_query_pointer(c, d_->window), nullptr)};
        if (p && p->same_screen && p->win_x >= 0 && p->win_y >= 0 && p->win_x < g->width &&
            p->win_y < g->height)
            d_->grabber->drawCursor(*r.frame, p->win_x, p->win_y);
    }
    return BgraFramePtr(std::move(r.frame));
}

} // namespace lc::x11
