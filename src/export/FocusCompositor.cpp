#include "export/FocusCompositor.h"

#include "capture/BlurFill.h"

#include <algorithm>
#include <cmath>
#include <libyuv/planar_functions.h>
#include <libyuv/scale.h>

namespace lc {
namespace {

// BT.709 limited range of sRGB (0.05, 0.05, 0.05).
constexpr std::uint8_t backgroundY = 27;
constexpr std::uint8_t backgroundC = 128;

int chroma(int n) {
    return (n + 1) / 2;
}

// Per-thread scratch: a second full frame for dissolves. Kept between frames so a running
// export allocates nothing.
struct Scratch {
    std::shared_ptr<YuvFrame> second;

    YuvFrame& secondFrame(int w, int h) {
        if (!second || second->width != w || second->height != h) second = YuvFrame::allocate(w, h);
        return *second;
    }
};

Scratch& scratch() {
    thread_local Scratch s;
    return s;
}

} // namespace

void FocusCompositor::fillBackground(YuvFrame& dst) {
    libyuv::SetPlane(dst.planes[0], dst.strides[0], dst.width, dst.height, backgroundY);
    libyuv::SetPlane(dst.planes[1], dst.strides[1], chroma(dst.width), chroma(dst.height), backgroundC);
    libyuv::SetPlane(dst.planes[2], dst.strides[2], chroma(dst.width), chroma(dst.height), backgroundC);
}

void FocusCompositor::layout(const YuvFrame& src, YuvFrame& dst) const {
    const int w = src.width, h = src.height, W = dst.width, H = dst.height;
    if (w <= 0 || h <= 0) return fillBackground(dst);
    if (w == W && h == H) {
        libyuv::I420Copy(src.planes[0], src.strides[0], src.planes[1], src.strides[1], src.planes[2],
                         src.strides[2], dst.planes[0], dst.strides[0], dst.planes[1], dst.strides[1],
                         dst.planes[2], dst.strides[2], W, H);
        return;
    }
    // The recorder's own fill, so a clip looks the same in the final video as in its recording.
    BlurFill::renderYuv(src, dst);
}

void FocusCompositor::compose(const YuvFrame* from, const YuvFrame* to, double progress,
                              YuvFrame& dst) const {
    if (from)
        layout(*from, dst);
    else
        fillBackground(dst);
    if (!to) return;
    const int amount = int(std::lround(std::clamp(progress, 0.0, 1.0) * 256.0));
    if (amount <= 0) return;
    if (amount >= 256) return layout(*to, dst);
    YuvFrame& second = scratch().secondFrame(dst.width, dst.height);
    layout(*to, second);
    for (int p = 0; p < 3; ++p) {
        const int pw = p == 0 ? dst.width : chroma(dst.width), ph = p == 0 ? dst.height : chroma(dst.height);
        libyuv::InterpolatePlane(dst.planes[p], dst.strides[p], second.planes[p], second.strides[p],
                                 dst.planes[p], dst.strides[p], pw, ph, amount);
    }
}

} // namespace lc
