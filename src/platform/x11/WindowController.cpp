#include "platform/x11/WindowController.h"

#include "platform/x11/WindowInfo.h"

#include <xcb/xcb_icccm.h>

#include <algorithm>
#include <cmath>

namespace lc::x11 {

bool WindowController::isTrusted() {
    if (!d_->ok()) return false;
    d_->drain();
    return d_->wmRunning();
}

Result<std::vector<std::uint32_t>> WindowController::windowsOf(std::int32_t pid) {
    if (!d_->ok()) return makeError("The connection to the X server was lost", 2);
    d_->drain();
    if (!d_->wmRunning()) return makeError("No window manager is running", 1);
    const auto list = d_->rootProperty(d_->atoms()._NET_CLIENT_LIST);
    if (!list) return makeError("The window manager lists no windows", 3);
    const auto ids = list->cardinals();
    std::vector<std::uint32_t> out;
    for (const auto& info : describeWindows(*d_, {ids.begin(), ids.end()}))
        if (info.exists && info.pid == pid) out.push_back(info.id);
    return out;
}

std::optional<Point> WindowController::position(std::uint32_t window) {
    if (!d_->ok()) return std::nullopt;
    const auto p = requestTranslation(d_->c(), window, d_->root()).take();
    if (!p) return std::nullopt;
    return Point{double(p->dst_x), double(p->dst_y)};
}

std::optional<Size> WindowController::size(std::uint32_t window) {
    if (!d_->ok()) return std::nullopt;
    const auto g = requestGeometry(d_->c(), window).take();
    if (!g) return std::nullopt;
    return Size{double(g->width), double(g->height)};
}

std::optional<std::string> WindowController::title(std::uint32_t window) {
    if (!d_->ok()) return std::nullopt;
    d_->drain();
    const auto info = describeWindows(*d_, {window});
    if (info.empty() || !info[0].exists) return std::nullopt;
    return info[0].title;
}

std::optional<bool> WindowController::isFullScreen(std::uint32_t window) {
    if (!d_->ok()) return std::nullopt;
    d_->drain();
    const auto info = describeWindows(*d_, {window});
    if (info.empty() || !info[0].exists) return std::nullopt;
    return info[0].fullScreen;
}

bool WindowController::isSizeSettable(std::uint32_t window) {
    if (!d_->ok()) return false;
    d_->drain();
    xcb_connection_t* c = d_->c();
    xcb_size_hints_t hints{};
    if (xcb_icccm_get_wm_normal_hints_reply(c, xcb_icccm_get_wm_normal_hints(c, window), &hints, nullptr)) {
        const bool hasMin = hints.flags & XCB_ICCCM_SIZE_HINT_P_MIN_SIZE;
        const bool hasMax = hints.flags & XCB_ICCCM_SIZE_HINT_P_MAX_SIZE;
        if (hasMin && hasMax && hints.min_width == hints.max_width && hints.min_height == hints.max_height &&
            hints.max_width > 0)
            return false;
    }
    if (const auto actions = readProperty(c, window, d_->atoms()._NET_WM_ALLOWED_ACTIONS)) {
        const auto v = actions->cardinals();
        if (std::find(v.begin(), v.end(), d_->atoms()._NET_WM_ACTION_RESIZE) == v.end()) return false;
    }
    return true;
}

FrameExtents WindowController::frameExtents(std::uint32_t window) {
    if (!d_->ok()) return {};
    return d_->frameExtents(window);
}

bool WindowController::setPosition(std::uint32_t window, Point clientTopLeft) {
    if (!d_->ok() || !std::isfinite(clientTopLeft.x) || !std::isfinite(clientTopLeft.y)) return false;
    d_->drain();
    // The request places the frame's outer corner.
    const FrameExtents e = d_->frameExtents(window);
    sendMoveResize(window, (1u << 8) | (1u << 9), std::int32_t(std::lround(clientTopLeft.x - e.left)),
                   std::int32_t(std::lround(clientTopLeft.y - e.top)), 0, 0);
    return true;
}

bool WindowController::setSize(std::uint32_t window, Size clientSize) {
    if (!d_->ok() || !(clientSize.width >= 1) || !(clientSize.height >= 1) || clientSize.width > 32767 ||
        clientSize.height > 32767)
        return false;
    d_->drain();
    sendMoveResize(window, (1u << 10) | (1u << 11), 0, 0, std::int32_t(std::lround(clientSize.width)),
                   std::int32_t(std::lround(clientSize.height)));
    return true;
}

void WindowController::sendMoveResize(xcb_window_t w, std::uint32_t flags, std::int32_t x, std::int32_t y,
                                      std::int32_t width, std::int32_t height) {
    xcb_client_message_event_t ev{};
    ev.response_type = XCB_CLIENT_MESSAGE;
    ev.format = 32;
    ev.window = w;
    ev.type = d_->atoms()._NET_MOVERESIZE_WINDOW;
    // Gravity from the window's hints (0); source: a pager, whose requests window managers obey.
    ev.data.data32[0] = flags | (2u << 12);
    ev.data.data32[1] = std::uint32_t(x);
    ev.data.data32[2] = std::uint32_t(y);
    ev.data.data32[3] = std::uint32_t(width);
    ev.data.data32[4] = std::uint32_t(height);
    xcb_send_event(d_->c(), 0, d_->root(),
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&ev));
    xcb_flush(d_->c());
}

} // namespace lc::x11
