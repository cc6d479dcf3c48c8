#include "platform/x11/Overlay.h"

#include "platform/x11/RingMask.h"

#include <xcb/shape.h>

#include <algorithm>
#include <cmath>
#include <unistd.h>

namespace lc::x11 {

Overlay::Overlay(std::shared_ptr<DisplayConnection> d, const std::string& title) : d_(std::move(d)) {
    xcb_connection_t* c = d_->c();
    if (d_->screen()) visual_ = findVisual(c, d_->screen()->root_visual);
    window_ = xcb_generate_id(c);
    const std::uint32_t values[] = {0, 1}; // back pixel, override-redirect
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window_, d_->root(), 0, 0, std::uint16_t(frame_.width),
                      std::uint16_t(frame_.height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    setProperties(title);
    // Clicks pass through: an empty input region.
    if (d_->extensions().shape)
        xcb_shape_rectangles(c, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_INPUT, XCB_CLIP_ORDERING_UNSORTED, window_, 0,
                             0, 0, nullptr);
    reshape();
    xcb_flush(c);
}

Overlay::~Overlay() {
    xcb_destroy_window(d_->c(), window_);
    xcb_flush(d_->c());
}

void Overlay::setProperties(const std::string& title) {
    xcb_connection_t* c = d_->c();
    const Atoms& a = d_->atoms();
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window_, a._NET_WM_NAME, a.UTF8_STRING, 8,
                        std::uint32_t(title.size()), title.data());
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window_, XCB_ATOM_WM_NAME, a.UTF8_STRING, 8,
                        std::uint32_t(title.size()), title.data());
    static constexpr char cls[] = "lc-outline\0Loomcast";
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window_, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8, sizeof cls,
                        cls);
    const std::uint32_t pid = std::uint32_t(getpid());
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window_, a._NET_WM_PID, XCB_ATOM_CARDINAL, 32, 1, &pid);
}

void Overlay::setFrame(const Rect& f) {
    const Rect r{std::round(f.x), std::round(f.y), std::max(1.0, std::round(f.width)),
                 std::max(1.0, std::round(f.height))};
    if (r == frame_) return;
    const bool resized = r.size() != frame_.size();
    frame_ = r;
    const std::uint32_t values[] = {std::uint32_t(std::int32_t(r.x)), std::uint32_t(std::int32_t(r.y)),
                                    std::uint32_t(r.width), std::uint32_t(r.height)};
    xcb_configure_window(d_->c(), window_,
                         XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH |
                             XCB_CONFIG_WINDOW_HEIGHT,
                         values);
    if (resized) reshape();
    xcb_flush(d_->c());
}

void Overlay::setRing(const RingStyle& ring) {
    if (ring == ring_) return;
    const bool shapeChanged = ring.lineWidth != ring_.lineWidth || ring.inset != ring_.inset ||
                              ring.cornerRadius != ring_.cornerRadius;
    ring_ = ring;
    // Without a compositing manager nothing blends: translucency is approximated over a
    // mid-grey background, so lighter styles still look lighter.
    const double alpha = std::clamp(ring.colour.alpha, 0.0, 1.0);
    auto channel = [alpha](double v) { return std::clamp(v, 0.0, 1.0) * alpha + 0.5 * (1 - alpha); };
    const std::uint32_t pixel =
        truePixel(visual_, channel(ring.colour.red), channel(ring.colour.green), channel(ring.colour.blue));
    xcb_change_window_attributes(d_->c(), window_, XCB_CW_BACK_PIXEL, &pixel);
    xcb_clear_area(d_->c(), 0, window_, 0, 0, 0, 0);
    if (shapeChanged) reshape();
    xcb_flush(d_->c());
}

void Overlay::show() {
    if (visible_) return;
    visible_ = true;
    xcb_map_window(d_->c(), window_);
    xcb_flush(d_->c());
}

void Overlay::hide() {
    if (!visible_) return;
    visible_ = false;
    xcb_unmap_window(d_->c(), window_);
    xcb_flush(d_->c());
}

void Overlay::orderAbove(std::uint32_t target) {
    d_->drain();
    const auto tops = d_->topLevels({target});
    const auto it = tops.find(target);
    if (it == tops.end()) return;
    const std::uint32_t values[] = {it->second, XCB_STACK_MODE_ABOVE};
    xcb_configure_window(d_->c(), window_, XCB_CONFIG_WINDOW_SIBLING | XCB_CONFIG_WINDOW_STACK_MODE, values);
    xcb_flush(d_->c());
}

void Overlay::reshape() {
    if (!d_->extensions().shape) return;
    const auto rects = ringRectangles(int(frame_.width), int(frame_.height), ring_.inset, ring_.cornerRadius,
                                      ring_.lineWidth);
    std::vector<xcb_rectangle_t> xr;
    xr.reserve(rects.size());
    for (const auto& r : rects)
        xr.push_back({std::int16_t(r.x), std::int16_t(r.y), std::uint16_t(r.width), std::uint16_t(r.height)});
    xcb_shape_rectangles(d_->c(), XCB_SHAPE_SO_SET, XCB_SHAPE_SK_BOUNDING, XCB_CLIP_ORDERING_YX_BANDED,
                         window_, 0, 0, std::uint32_t(xr.size()), xr.data());
}

} // namespace lc::x11
