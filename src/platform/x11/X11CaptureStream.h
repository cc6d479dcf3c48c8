#pragma once
// One window's capture stream: its own X connection and thread (Composite + Damage + MIT-SHM).
#include "platform/ScreenCapture.h"

#include <memory>
#include <string>

namespace lc::x11 {

std::unique_ptr<CaptureStream> makeCaptureStream(std::string display, std::uint32_t window,
                                                 StreamConfiguration configuration,
                                                 CaptureStream::Handlers handlers);

} // namespace lc::x11
