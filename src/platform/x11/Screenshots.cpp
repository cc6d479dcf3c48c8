#include "platform/x11/Screenshots.h"

#include "common/Clock.h"
#include "platform/x11/Grabber.h"
#include "platform/x11/RingMask.h"
#include "platform/x11/WindowList.h"

#include <libyuv/scale_argb.h>
#include <xcb/shape.h>

#include <algorithm>

namespace lc::x11 {
namespace {

// Scales a picture to width × height (the picture itself when that is its size or 0 × 0).
BgraFramePtr scaled(std::shared_ptr<BgraFrame> src, int width, int height) {
    if ((width <= 0 || height <= 0) || (width == src->width && height == src->height)) return src;
    auto out = BgraFrame::allocate(width, height);
    libyuv::ARGBScale(src->data, src->stride, src->width, src->height, out->data, out->stride, width, height,
                      libyuv::kFilterBox);
    forceOpaque(out->data, out->stride, width, height); // the box filter's rounding reaches alpha too
    out->serial = src->serial;
    out->hostTime = src->hostTime;
    return out;
}

// A copy in memory of our own: the picture outlives the connection and its pool.
std::shared_ptr<BgraFrame> detached(const BgraFrame& frame) {
    auto copy = BgraFrame::allocate(frame.width, frame.height);
    for (int y = 0; y < copy->height; ++y)
        std::copy_n(frame.row(y), std::size_t(copy->width) * 4, copy->row(y));
    copy->serial = frame.serial;
    copy->hostTime = frame.hostTime;
    return copy;
}

Result<std::shared_ptr<BgraFrame>> grab(xcb_connection_t* c, xcb_window_t w, bool cursor) {
    Grabber grabber(c, w, 1);
    const auto size = grabber.readableSize();
    if (!size) return size.error();
    grabber.redirect();
    if (!grabber.nameWindowPixmap()) return makeError("The window is not on screen");
    auto r = grabber.grab(size->width, size->height);
    if (!r.frame) return makeError(r.message.empty() ? "The window's pixels cannot be read" : r.message);
    auto copy = detached(*r.frame);
    if (cursor) grabber.drawPointer(*copy);
    return copy;
}

// The parts of the window that show: its bounding shape (the outlines' ring), else all of it.
std::vector<IntRect> shownParts(const CaptureConnection& cc, xcb_window_t w, const BgraFrame& pic) {
    std::vector<IntRect> parts{{0, 0, pic.width, pic.height}};
    if (!cc.ext.shape) return parts;
    xcb_connection_t* c = cc.c();
    const auto r =
        pending(c, xcb_shape_get_rectangles(c, w, XCB_SHAPE_SK_BOUNDING), xcb_shape_get_rectangles_reply)
            .take();
    if (!r) return parts;
    parts.clear();
    const xcb_rectangle_t* rs = xcb_shape_get_rectangles_rectangles(r.get());
    for (int i = 0; i < xcb_shape_get_rectangles_rectangles_length(r.get()); ++i)
        parts.push_back({rs[i].x, rs[i].y, rs[i].width, rs[i].height});
    return parts;
}

// Copies the parts of `src` onto `canvas` with its top-left at (ox, oy).
void paint(BgraFrame& canvas, const BgraFrame& src, const std::vector<IntRect>& parts, int ox, int oy) {
    for (const IntRect& part : parts) {
        const int x0 = std::max({0, part.x, -ox}),
                  x1 = std::min({src.width, part.x + part.width, canvas.width - ox});
        const int y0 = std::max({0, part.y, -oy}),
                  y1 = std::min({src.height, part.y + part.height, canvas.height - oy});
        for (int y = y0; y < y1; ++y)
            if (x1 > x0)
                std::copy_n(src.row(y) + x0 * 4, std::size_t(x1 - x0) * 4,
                            canvas.row(oy + y) + (ox + x0) * 4);
    }
}

} // namespace

Result<BgraFramePtr> Screenshots::window(std::uint32_t windowID, int width, int height, bool showsCursor) {
    const auto cc = openCaptureConnection(display_);
    if (!cc) return makeError("Cannot capture on this X display");
    auto r = grab(cc->c(), windowID, showsCursor);
    if (!r) return r.error();
    return scaled(std::move(r.value()), width, height);
}

Result<BgraFramePtr> Screenshots::display(std::uint32_t displayID, std::span<const std::uint32_t> windowIDs,
                                          int width, int height) {
    const auto all = windows_.screens();
    if (displayID >= all.size()) return makeError("No such display");
    const Rect area = all[displayID].frame;
    const auto cc = openCaptureConnection(display_);
    if (!cc) return makeError("Cannot capture on this X display");

    // Bottom to top, so that windows in front are painted last.
    const auto order = windows_.onScreenWindows();
    std::vector<OnScreenWindow> included;
    for (auto it = order.rbegin(); it != order.rend(); ++it)
        if (std::find(windowIDs.begin(), windowIDs.end(), it->windowID) != windowIDs.end())
            included.push_back(*it);

    auto canvas = BgraFrame::allocate(int(area.width), int(area.height));
    for (int y = 0; y < canvas->height; ++y) {
        auto* p = reinterpret_cast<std::uint32_t*>(canvas->row(y));
        std::fill(p, p + canvas->width, 0xff000000u);
    }
    canvas->hostTime = uptime();
    for (const auto& w : included) {
        const auto pic = grab(cc->c(), w.windowID, false);
        if (!pic) continue;
        paint(*canvas, *pic.value(), shownParts(*cc, w.windowID, *pic.value()), int(w.frame.x - area.x),
              int(w.frame.y - area.y));
    }
    return scaled(std::move(canvas), width, height);
}

} // namespace lc::x11
