#pragma once
// One window's capture stream: its own X connection and thread (Composite + Damage + MIT-SHM).
// start() and stop() come from the owner's thread (stop() also from inside a handler); the
// handlers run on the stream's thread. Destroying the stream stops it.
#include "platform/ScreenCapture.h"

#include <memory>
#include <string>

namespace lc::x11 {

std::unique_ptr<CaptureStream> makeCaptureStream(std::string display, std::uint32_t window,
                                                 StreamConfiguration configuration,
                                                 CaptureStream::Handlers handlers);

} // namespace lc::x11
