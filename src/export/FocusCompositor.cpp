#include "export/FocusCompositor.h"

#include "capture/BlurFill.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <libyuv/planar_functions.h>
#include <libyuv/scale.h>
#include <vector>

namespace lc {
namespace {

// BT.709 limited range of sRGB (0.05, 0.05, 0.05).
constexpr std::uint8_t backgroundY = 27;
constexpr std::uint8_t backgroundC = 128;

int chroma(int n) {
    return (n + 1) / 2;
}

// Per-thread scratch: blur rows and a second full frame for dissolves. Kept between frames so
// a running export allocates nothing.
struct Scratch {
    std::shared_ptr<YuvFrame> second;
    std::vector<std::uint32_t> sums;
    std::vector<std::uint8_t> row;

    YuvFrame& secondFrame(int w, int h) {
        if (!second || second->width != w || second->height != h) second = YuvFrame::allocate(w, h);
        return *second;
    }
};

Scratch& scratch() {
    thread_local Scratch s;
    return s;
}

// Three box widths whose repeated application approximates a Gaussian of `sigma`.
std::array<int, 3> boxRadii(double sigma) {
    const int n = 3;
    const double ideal = std::sqrt(12.0 * sigma * sigma / n + 1.0);
    int wl = int(std::floor(ideal));
    if (wl % 2 == 0) --wl;
    const int wu = wl + 2;
    const double mIdeal = (12.0 * sigma * sigma - n * wl * wl - 4.0 * n * wl - 3.0 * n) / (-4.0 * wl - 4.0);
    const int m = int(std::lround(mIdeal));
    std::array<int, 3> r{};
    for (int i = 0; i < n; ++i)
        r[std::size_t(i)] = ((i < m ? wl : wu) - 1) / 2;
    return r;
}

void boxRows(std::uint8_t* p, int stride, int w, int h, int r, std::vector<std::uint8_t>& row) {
    const int span = 2 * r + 1;
    row.resize(std::size_t(w + 2 * r + 1));
    for (int y = 0; y < h; ++y) {
        std::uint8_t* line = p + std::ptrdiff_t(y) * stride;
        // The row with its edge pixels repeated r times on both sides.
        std::memset(row.data(), line[0], std::size_t(r));
        std::memcpy(row.data() + r, line, std::size_t(w));
        std::memset(row.data() + r + w, line[w - 1], std::size_t(r + 1));
        std::uint32_t sum = 0;
        for (int i = 0; i < span; ++i)
            sum += row[std::size_t(i)];
        for (int x = 0; x < w; ++x) {
            line[x] = std::uint8_t((sum + std::uint32_t(span / 2)) / std::uint32_t(span));
            sum += row[std::size_t(x + span)];
            sum -= row[std::size_t(x)];
        }
    }
}

void boxColumns(std::uint8_t* p, int stride, int w, int h, int r, std::vector<std::uint32_t>& sums,
                std::vector<std::uint8_t>& tmp) {
    const int span = 2 * r + 1;
    auto line = [&](int y) { return p + std::ptrdiff_t(std::clamp(y, 0, h - 1)) * stride; };
    sums.assign(std::size_t(w), 0);
    for (int i = -r; i <= r; ++i) {
        const std::uint8_t* l = line(i);
        for (int x = 0; x < w; ++x)
            sums[std::size_t(x)] += l[x];
    }
    // Rows are overwritten as the window passes; the originals still needed (r rows back)
    // are kept in a ring.
    const int ring = span + 1;
    tmp.resize(std::size_t(ring) * std::size_t(w));
    for (int y = 0; y < std::min(h, r + 1); ++y)
        std::memcpy(&tmp[std::size_t(y % ring) * w], line(y), std::size_t(w));
    auto original = [&](int y) -> const std::uint8_t* {
        y = std::clamp(y, 0, h - 1);
        return &tmp[std::size_t(y % ring) * w];
    };
    for (int y = 0; y < h; ++y) {
        // Keep the row entering the window before it is overwritten.
        if (y + r + 1 < h)
            std::memcpy(&tmp[std::size_t((y + r + 1) % ring) * w], line(y + r + 1), std::size_t(w));
        std::uint8_t* out = p + std::ptrdiff_t(y) * stride;
        const std::uint8_t* add = original(y + r + 1);
        const std::uint8_t* sub = original(y - r);
        for (int x = 0; x < w; ++x) {
            out[x] = std::uint8_t((sums[std::size_t(x)] + std::uint32_t(span / 2)) / std::uint32_t(span));
            sums[std::size_t(x)] += add[x];
            sums[std::size_t(x)] -= sub[x];
        }
    }
}

} // namespace

void FocusCompositor::blurPlane(std::uint8_t* plane, int stride, int width, int height, double sigma) {
    if (width <= 0 || height <= 0) return;
    Scratch& s = scratch();
    for (int r : boxRadii(sigma)) {
        if (r <= 0) continue;
        boxRows(plane, stride, width, height, r, s.row);
        boxColumns(plane, stride, width, height, r, s.sums, s.row);
    }
}

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
