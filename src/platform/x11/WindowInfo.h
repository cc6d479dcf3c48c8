#pragma once
// What the window list and window control read about client windows: one batch of pipelined
// requests per call, on the caller's thread, over a connection the caller holds.
#include "platform/Geometry.h"
#include "platform/x11/DisplayConnection.h"
#include "platform/x11/Text.h"

#include <optional>
#include <string>
#include <vector>

namespace lc::x11 {

inline constexpr int kLayerNormal = 0;
inline constexpr int kLayerFloating = 3;
inline constexpr int kLayerDock = 20;
inline constexpr int kLayerPopup = 101;

struct WindowInfo {
    xcb_window_t id = XCB_NONE;
    bool exists = false; // false: gone before it could be read; nothing else is set
    bool overrideRedirect = false;
    bool viewable = false;
    bool hidden = false;
    bool fullScreen = false;
    bool desktopType = false;
    int layer = kLayerNormal;
    std::optional<std::uint32_t> desktop;
    Rect frame; // the client area in root coordinates
    std::optional<std::string> title;
    std::optional<std::int32_t> pid;
    std::string appId;
    WmClass wmClass;
};

// One entry per window, in the same order.
std::vector<WindowInfo> describeWindows(DisplayConnection& d, const std::vector<xcb_window_t>& windows);

} // namespace lc::x11
