#pragma once
// Single pictures of a window or of a display with chosen windows, read from the windows' own
// pixels on a short-lived connection per call (so any thread may ask, and the picture never
// shares memory with the server). The window list gives the screens and the stacking.
#include "platform/ScreenCapture.h"

#include <span>
#include <string>
#include <utility>

namespace lc::x11 {

class WindowList;

class Screenshots {
public:
    // `windows` outlives this object.
    Screenshots(std::string display, WindowList& windows) : display_(std::move(display)), windows_(windows) {}

    Result<BgraFramePtr> window(std::uint32_t windowID, int width, int height, bool showsCursor);
    Result<BgraFramePtr> display(std::uint32_t displayID, std::span<const std::uint32_t> windowIDs, int width,
                                 int height);

private:
    std::string display_;
    WindowList& windows_;
};

} // namespace lc::x11
