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

// Per-thread scratch: the one-sixth background canvas, blur rows and a second full frame for
// dissolves. Kept between frames so a running export allocates nothing.
struct Scratch {
    std::shared_ptr<YuvFrame> small;
    std::shared_ptr<YuvFrame> second;
    std::vector<std::uint32_t> sums;
    std::vector<std::uint8_t> row;

    YuvFrame& smallFrame(int w, int h) {
        if (!small || small->width != w || small->height != h) small = YuvFrame::allocate(w, h);
        return *small;
    }
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

// Scales one plane of `src` into a rectangle of `dst`.
void scaleInto(const std::uint8_t* src, int srcStride, int sw, int sh, std::uint8_t* dst, int dstStride,
               int dx, int dy, int dw, int dh, libyuv::FilterMode filter) {
    if (dw <= 0 || dh <= 0 || sw <= 0 || sh <= 0) return;
    libyuv::ScalePlane(src, srcStride, sw, sh, dst + std::ptrdiff_t(dy) * dstStride + dx, dstStride, dw, dh,
                       filter);
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
    const BlurFillLayout L = BlurFill::layout(w, h, W, H);
    if (L.stretch) {
        if (w == W && h == H) {
            libyuv::I420Copy(src.planes[0], src.strides[0], src.planes[1], src.strides[1], src.planes[2],
                             src.strides[2], dst.planes[0], dst.strides[0], dst.planes[1], dst.strides[1],
                             dst.planes[2], dst.strides[2], W, H);
            return;
        }
        libyuv::I420Scale(src.planes[0], src.strides[0], src.planes[1], src.strides[1], src.planes[2],
                          src.strides[2], w, h, dst.planes[0], dst.strides[0], dst.planes[1], dst.strides[1],
                          dst.planes[2], dst.strides[2], W, H, libyuv::kFilterBox);
        return;
    }

    // Background at one sixth: the part of the source that the covering image shows in the
    // small canvas, scaled down into it, blurred, then enlarged over the whole frame.
    // Even, so that the chroma planes of the canvas are exactly half its size.
    const int smallW = std::max(2, 2 * int(std::lround(L.smallWidth / 2)));
    const int smallH = std::max(2, 2 * int(std::lround(L.smallHeight / 2)));
    const double toSrcX = double(w) / L.coverWidth, toSrcY = double(h) / L.coverHeight;
    int cx = int(std::floor(-L.coverX * toSrcX)), cy = int(std::floor(-L.coverY * toSrcY));
    int cw = int(std::lround(L.smallWidth * toSrcX)), ch = int(std::lround(L.smallHeight * toSrcY));
    cx = std::clamp(cx & ~1, 0, std::max(0, w - 2));
    cy = std::clamp(cy & ~1, 0, std::max(0, h - 2));
    cw = std::clamp(cw, 1, w - cx);
    ch = std::clamp(ch, 1, h - cy);
    Scratch& s = scratch();
    YuvFrame& small = s.smallFrame(smallW, smallH);
    for (int p = 0; p < 3; ++p) {
        const int div = p == 0 ? 1 : 2;
        const std::uint8_t* from = src.planes[p] + std::ptrdiff_t(cy / div) * src.strides[p] + cx / div;
        const int fw = p == 0 ? cw : std::max(1, chroma(cx + cw) - cx / 2);
        const int fh = p == 0 ? ch : std::max(1, chroma(cy + ch) - cy / 2);
        const int tw = p == 0 ? smallW : chroma(smallW), th = p == 0 ? smallH : chroma(smallH);
        scaleInto(from, src.strides[p], fw, fh, small.planes[p], small.strides[p], 0, 0, tw, th,
                  libyuv::kFilterBox);
        blurPlane(small.planes[p], small.strides[p], tw, th, p == 0 ? L.sigma : L.sigma / 2);
        scaleInto(small.planes[p], small.strides[p], tw, th, dst.planes[p], dst.strides[p], 0, 0,
                  p == 0 ? W : chroma(W), p == 0 ? H : chroma(H), libyuv::kFilterBilinear);
    }

    // Foreground: the fitted picture on whole pixels; chroma covers the half-pixels it touches.
    const int x0 = std::clamp(L.fgX, 0, W), y0 = std::clamp(L.fgY, 0, H);
    const int x1 = std::clamp(L.fgX + L.fgWidth, 0, W), y1 = std::clamp(L.fgY + L.fgHeight, 0, H);
    scaleInto(src.planes[0], src.strides[0], w, h, dst.planes[0], dst.strides[0], x0, y0, x1 - x0, y1 - y0,
              libyuv::kFilterBox);
    const int c0x = x0 / 2, c0y = y0 / 2, c1x = chroma(x1), c1y = chroma(y1);
    for (int p = 1; p < 3; ++p)
        scaleInto(src.planes[p], src.strides[p], chroma(w), chroma(h), dst.planes[p], dst.strides[p], c0x,
                  c0y, c1x - c0x, c1y - c0y, libyuv::kFilterBox);
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
