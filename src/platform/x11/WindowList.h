#pragma once
// The windows, screens and frontmost application as the window manager and the server tell
// them. Any thread may ask (one batch of requests per call on the shared connection); it holds
// the connection with the desktop that made it.
#include "platform/ScreenCapture.h"
#include "platform/WindowServer.h"
#include "platform/x11/DesktopEntries.h"
#include "platform/x11/DisplayConnection.h"

#include <memory>

namespace lc::x11 {

struct WindowInfo;

class WindowList {
public:
    explicit WindowList(std::shared_ptr<DisplayConnection> d) : d_(std::move(d)) {}

    // Managed windows and titled popups, front to back, with their applications.
    Result<ShareableContent> shareableContent(bool onScreenOnly);
    WindowContentInfo contentInfo(const ShareableWindow& window);
    std::vector<Screen> screens();
    std::optional<std::int32_t> frontmostProcess();
    // Mapped top-level windows front to back, each by its client window when it has one.
    std::vector<OnScreenWindow> onScreenWindows();

private:
    std::vector<xcb_window_t> clients(const std::vector<xcb_window_t>& children, bool& managed);
    std::vector<xcb_window_t> candidates(const std::vector<xcb_window_t>& children);
    std::optional<OwningApplication> owner(const WindowInfo& info);
    std::vector<xcb_window_t> shownFrontToBack();
    std::vector<Screen> monitors();
    std::vector<Screen> randrMonitors();
    Rect workArea();

    std::shared_ptr<DisplayConnection> d_;
    DesktopEntries desktopEntries_;
};

} // namespace lc::x11
