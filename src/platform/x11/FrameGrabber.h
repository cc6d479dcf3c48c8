#pragma once
// Reads one window's pixels on a connection of its own, exactly as a capture stream does for
// each frame (Composite pixmap, MIT-SHM, pooled frames), without the stream's thread and events.
// For benchmarks and tools; no xcb type appears here.
#include "common/Result.h"
#include "platform/Frame.h"

#include <cstdint>
#include <memory>
#include <string>

namespace lc::x11 {

class FrameGrabber {
public:
    static Result<std::unique_ptr<FrameGrabber>> open(std::uint32_t window, const std::string& display = {});
    ~FrameGrabber();

    // One frame of the window's current size; with `cursor`, the pointer drawn in when it is over it.
    Result<BgraFramePtr> grab(bool cursor = false);

    struct Impl;
    explicit FrameGrabber(std::unique_ptr<Impl> impl);

private:
    std::unique_ptr<Impl> d_;
};

} // namespace lc::x11
