#pragma once
// Window control through the window manager (EWMH): where client windows are, what they are
// called, and moving or resizing them. Any thread may call; requests go out on the shared
// connection, which it holds with the desktop that made it.
#include "platform/WindowControl.h"
#include "platform/x11/DisplayConnection.h"

#include <memory>

namespace lc::x11 {

class WindowController {
public:
    explicit WindowController(std::shared_ptr<DisplayConnection> d) : d_(std::move(d)) {}

    bool isTrusted();
    Result<std::vector<std::uint32_t>> windowsOf(std::int32_t pid);
    std::optional<Point> position(std::uint32_t window);
    std::optional<Size> size(std::uint32_t window);
    std::optional<std::string> title(std::uint32_t window);
    std::optional<bool> isFullScreen(std::uint32_t window);
    bool isSizeSettable(std::uint32_t window);
    FrameExtents frameExtents(std::uint32_t window);
    bool setPosition(std::uint32_t window, Point clientTopLeft);
    bool setSize(std::uint32_t window, Size clientSize);

private:
    void sendMoveResize(xcb_window_t w, std::uint32_t flags, std::int32_t x, std::int32_t y,
                        std::int32_t width, std::int32_t height);

    std::shared_ptr<DisplayConnection> d_;
};

} // namespace lc::x11
