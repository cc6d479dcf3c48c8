#pragma once
// Moving and resizing other applications' windows (X11: through the EWMH window manager).
// Windows are named by their number (X11: the client window's id); geometry is the client
// area, top-left origin, like the capture service's frames.
#include "common/Result.h"
#include "platform/Geometry.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lc {

// Decorations the window manager draws around a window's client area (points).
struct FrameExtents {
    double left = 0, right = 0, top = 0, bottom = 0;
    friend bool operator==(const FrameExtents&, const FrameExtents&) = default;
};

class WindowControl {
public:
    virtual ~WindowControl() = default;

    // Windows can be controlled at all (X11: an EWMH window manager runs).
    virtual bool isTrusted() = 0;

    // The process's windows in the window manager's order; the error's code is the failure's
    // status (nonzero).
    virtual Result<std::vector<std::uint32_t>> windowsOf(std::int32_t pid) = 0;

    virtual std::optional<Point> position(std::uint32_t window) = 0; // client area's top-left
    virtual std::optional<Size> size(std::uint32_t window) = 0;      // client area's size
    virtual std::optional<std::string> title(std::uint32_t window) = 0;
    virtual std::optional<bool> isFullScreen(std::uint32_t window) = 0;
    virtual bool isSizeSettable(std::uint32_t window) = 0;
    virtual FrameExtents frameExtents(std::uint32_t window) = 0;

    // Requests; the window manager and the application carry them out a little later, and may
    // refuse or round them. False when the request could not be made.
    virtual bool setPosition(std::uint32_t window, Point clientTopLeft) = 0;
    virtual bool setSize(std::uint32_t window, Size clientSize) = 0;
};

} // namespace lc
