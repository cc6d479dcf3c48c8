#include "capture/BlurFill.h"

#include "platform/YuvFramePool.h"

#include <libyuv/planar_functions.h>
#include <libyuv/scale.h>
#include <libyuv/scale_argb.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace lc {
namespace {

constexpr int kBlurRadius = 18; // 3 sigma at sigma 6
constexpr double kSigma = 6.0;

// Halves away from zero.
int roundHalfAway(double v) {
    return int(std::lround(v));
}

int evenAtLeast2(double v) {
    return std::max(2, 2 * roundHalfAway(v / 2));
}

// BGRA → I420, BT.709 limited range, 16-bit fixed point. Two rows at a time; width even.
// Written for the compiler's vectoriser; one copy per instruction set.
__attribute__((target_clones("avx2", "default"))) void
bgraRowsToI420(const std::uint8_t* s0, const std::uint8_t* s1, std::uint8_t* y0, std::uint8_t* y1,
               std::uint8_t* u, std::uint8_t* v, int width) {
    constexpr int kr = 11966, kg = 40254, kb = 4064; // 0.2126, 0.7152, 0.0722 × 219/255
    constexpr int yOff = (16 << 16) + (1 << 15);
    for (int x = 0; x < width; ++x) {
        y0[x] = std::uint8_t((kr * s0[4 * x + 2] + kg * s0[4 * x + 1] + kb * s0[4 * x] + yOff) >> 16);
        y1[x] = std::uint8_t((kr * s1[4 * x + 2] + kg * s1[4 * x + 1] + kb * s1[4 * x] + yOff) >> 16);
    }
    // Chroma from the 2×2 sums (×4), so the coefficients are quartered: Cb = −0.1006R − 0.3386G
    // + 0.4392B, Cr = 0.4392R − 0.3989G − 0.0403B (× 224/255 already).
    constexpr int ur = -6596, ug = -22189, ub = 28784, vr = 28784, vg = -26145, vb = -2639;
    constexpr int cOff = (128 << 18) + (1 << 17);
    for (int i = 0; i < width / 2; ++i) {
        const int b = s0[8 * i] + s0[8 * i + 4] + s1[8 * i] + s1[8 * i + 4];
        const int g = s0[8 * i + 1] + s0[8 * i + 5] + s1[8 * i + 1] + s1[8 * i + 5];
        const int r = s0[8 * i + 2] + s0[8 * i + 6] + s1[8 * i + 2] + s1[8 * i + 6];
        u[i] = std::uint8_t((ur * r + ug * g + ub * b + cOff) >> 18);
        v[i] = std::uint8_t((vr * r + vg * g + vb * b + cOff) >> 18);
    }
}

// Converts a BGRA picture of even size into I420 planes.
void bgraToI420(const std::uint8_t* src, int srcStride, int width, int height, std::uint8_t* y, int yStride,
                std::uint8_t* u, int uStride, std::uint8_t* v, int vStride) {
    for (int row = 0; row + 1 < height; row += 2)
        bgraRowsToI420(src + std::ptrdiff_t(row) * srcStride, src + std::ptrdiff_t(row + 1) * srcStride,
                       y + std::ptrdiff_t(row) * yStride, y + std::ptrdiff_t(row + 1) * yStride,
                       u + std::ptrdiff_t(row / 2) * uStride, v + std::ptrdiff_t(row / 2) * vStride, width);
}

// One blur pass over `n` interleaved floats: out[j] = Σ w[k] · in[j + step·k] for k in 0..2R.
__attribute__((target_clones("avx2", "default"))) void convolve(const float* in, float* out, int n, int step,
                                                                const float* weights) {
    std::fill(out, out + n, 0.0f);
    for (int k = 0; k <= 2 * kBlurRadius; ++k) {
        const float w = weights[k];
        const float* s = in + std::ptrdiff_t(step) * k;
        for (int j = 0; j < n; ++j)
            out[j] += w * s[j];
    }
}

struct Bgra {
    std::vector<std::uint8_t> pixels;
    int width = 0, height = 0, stride = 0;
    void resize(int w, int h) {
        width = w;
        height = h;
        stride = 4 * w;
        pixels.resize(std::size_t(stride) * std::size_t(h));
    }
    std::uint8_t* row(int y) { return pixels.data() + std::ptrdiff_t(y) * stride; }
};

} // namespace

struct BlurFill::Scratch {
    Bgra cover;                    // the covering copy at one sixth (only rows near the crop are filled)
    std::vector<float> padded;     // one cover row, edge-extended, as floats
    std::vector<float> horizontal; // horizontally blurred rows
    std::vector<float> column;     // one output row of the vertical pass
    Bgra small;                    // blurred background, smallW × smallH
    std::shared_ptr<YuvFrame> smallYuv;
    Bgra fg; // scaled foreground (with alignment padding)
    std::shared_ptr<YuvFrame> fgYuv;
    std::vector<float> weights;
    std::unique_ptr<YuvFramePool> pool;

    Scratch() {
        weights.resize(2 * kBlurRadius + 1);
        double sum = 0;
        for (int k = -kBlurRadius; k <= kBlurRadius; ++k)
            sum += std::exp(-(k * k) / (2 * kSigma * kSigma));
        for (int k = -kBlurRadius; k <= kBlurRadius; ++k)
            weights[std::size_t(k + kBlurRadius)] = float(std::exp(-(k * k) / (2 * kSigma * kSigma)) / sum);
    }
};

BlurFill::BlurFill(int width, int height, FrameSource source)
    : width_(width), height_(height), source_(std::move(source)), scratch_(std::make_unique<Scratch>()) {
    if (!source_) {
        scratch_->pool = std::make_unique<YuvFramePool>(width, height, 4);
        source_ = [pool = scratch_->pool.get()] { return pool->acquire(); };
    }
}

BlurFill::~BlurFill() = default;

BlurFillLayout BlurFill::layout(int w, int h, int W, int H) {
    BlurFillLayout l;
    l.outWidth = W;
    l.outHeight = H;
    if (w <= 0 || h <= 0 || W <= 0 || H <= 0) return l;
    const double sx = double(W) / w, sy = double(H) / h;
    const double s = std::min(sx, sy), c = std::max(sx, sy);
    l.fitScale = s;
    l.coverScale = c;
    if (W - w * s < 3 && H - h * s < 3) {
        l.stretch = true;
        l.fgWidth = W;
        l.fgHeight = H;
        return l;
    }
    l.smallWidth = W / 6.0;
    l.smallHeight = H / 6.0;
    l.coverWidth = w * c / 6;
    l.coverHeight = h * c / 6;
    l.coverX = (l.smallWidth - l.coverWidth) / 2;
    l.coverY = (l.smallHeight - l.coverHeight) / 2;
    l.fgWidth = roundHalfAway(w * s);
    l.fgHeight = roundHalfAway(h * s);
    l.fgX = roundHalfAway((W - l.fgWidth) / 2.0);
    l.fgY = roundHalfAway((H - l.fgHeight) / 2.0);
    return l;
}

YuvFramePtr BlurFill::compose(const BgraFramePtr& src) {
    if (!src) return nullptr;
    if (src.get() == lastSrc_ && src->serial == lastSerial_ && lastOut_) return lastOut_;
    YuvFramePtr out = source_();
    if (!out || out->width != width_ || out->height != height_) return nullptr;
    render(*src, *out);
    ++renders_;
    lastSrc_ = src.get();
    lastSerial_ = src->serial;
    lastSrcRef_ = src;
    lastOut_ = out;
    return out;
}

void BlurFill::render(const BgraFrame& src, YuvFrame& dst) {
    Scratch& s = *scratch_;
    const int W = dst.width, H = dst.height;
    const BlurFillLayout l = layout(src.width, src.height, W, H);
    if (l.fgWidth <= 0 || l.fgHeight <= 0) return;

    if (l.stretch) {
        if (src.width == W && src.height == H) {
            bgraToI420(src.data, src.stride, W, H, dst.planes[0], dst.strides[0], dst.planes[1],
                       dst.strides[1], dst.planes[2], dst.strides[2]);
            return;
        }
        s.fg.resize(W, H);
        libyuv::ARGBScale(src.data, src.stride, src.width, src.height, s.fg.pixels.data(), s.fg.stride, W, H,
                          libyuv::kFilterBox);
        bgraToI420(s.fg.pixels.data(), s.fg.stride, W, H, dst.planes[0], dst.strides[0], dst.planes[1],
                   dst.strides[1], dst.planes[2], dst.strides[2]);
        return;
    }

    // Background, at one sixth: the covering copy, edge-extended, blurred, cropped to the frame.
    const int sw = evenAtLeast2(l.smallWidth), sh = evenAtLeast2(l.smallHeight);
    const int cw = std::max(sw, roundHalfAway(l.coverWidth)), ch = std::max(sh, roundHalfAway(l.coverHeight));
    const int ox = roundHalfAway((sw - cw) / 2.0), oy = roundHalfAway((sh - ch) / 2.0); // ≤ 0
    // Only the cover rows within the blur's reach of the crop are needed.
    const int rowFirst = std::max(0, -oy - kBlurRadius), rowEnd = std::min(ch, -oy + sh + kBlurRadius);
    s.cover.resize(cw, ch);
    libyuv::ARGBScaleClip(src.data, src.stride, src.width, src.height, s.cover.pixels.data(), s.cover.stride,
                          cw, ch, 0, rowFirst, cw, rowEnd - rowFirst, libyuv::kFilterBilinear);

    // Horizontal pass: every needed cover row, over the crop's columns, edges clamped.
    const int n = 4 * sw;
    const int rows = rowEnd - rowFirst;
    s.padded.resize(std::size_t(4 * (sw + 2 * kBlurRadius)));
    s.horizontal.resize(std::size_t(n) * std::size_t(rows));
    for (int r = 0; r < rows; ++r) {
        const std::uint8_t* in = s.cover.row(rowFirst + r);
        for (int x = -kBlurRadius; x < sw + kBlurRadius; ++x) {
            const int cx = std::clamp(x - ox, 0, cw - 1);
            float* p = &s.padded[std::size_t(4 * (x + kBlurRadius))];
            for (int c = 0; c < 4; ++c)
                p[c] = in[4 * cx + c];
        }
        convolve(s.padded.data(), &s.horizontal[std::size_t(r) * std::size_t(n)], n, 4, s.weights.data());
    }
    // Vertical pass: rows beyond the cover's extent repeat its edge rows.
    s.small.resize(sw, sh);
    s.padded.resize(std::size_t(n) * std::size_t(2 * kBlurRadius + 1));
    s.column.resize(std::size_t(n));
    for (int y = 0; y < sh; ++y) {
        for (int k = 0; k <= 2 * kBlurRadius; ++k) {
            const int cy = std::clamp(y - oy + k - kBlurRadius, 0, ch - 1) - rowFirst;
            std::memcpy(&s.padded[std::size_t(k) * std::size_t(n)],
                        &s.horizontal[std::size_t(cy) * std::size_t(n)], sizeof(float) * std::size_t(n));
        }
        convolve(s.padded.data(), s.column.data(), n, n, s.weights.data());
        std::uint8_t* o = s.small.row(y);
        for (int j = 0; j < n; ++j)
            o[j] = std::uint8_t(std::clamp(s.column[std::size_t(j)] + 0.5f, 0.0f, 255.0f));
    }
    if (!s.smallYuv || s.smallYuv->width != sw || s.smallYuv->height != sh)
        s.smallYuv = YuvFrame::allocate(sw, sh);
    YuvFrame& sy = *s.smallYuv;
    bgraToI420(s.small.pixels.data(), s.small.stride, sw, sh, sy.planes[0], sy.strides[0], sy.planes[1],
               sy.strides[1], sy.planes[2], sy.strides[2]);
    // Enlarged to the whole frame; the foreground then covers its part.
    libyuv::I420Scale(sy.planes[0], sy.strides[0], sy.planes[1], sy.strides[1], sy.planes[2], sy.strides[2],
                      sw, sh, dst.planes[0], dst.strides[0], dst.planes[1], dst.strides[1], dst.planes[2],
                      dst.strides[2], W, H, libyuv::kFilterBilinear);

    // Foreground. Chroma covers 2×2 pixels, so the picture is converted on an even-aligned canvas
    // whose extra edge column/row repeats the picture's edge; the luma lands on exact pixels.
    const int padL = l.fgX & 1, padT = l.fgY & 1;
    const int fw = l.fgWidth + padL + ((l.fgWidth + padL) & 1);
    const int fh = l.fgHeight + padT + ((l.fgHeight + padT) & 1);
    const int x0 = l.fgX - padL, y0 = l.fgY - padT;
    const bool aligned = fw == l.fgWidth && fh == l.fgHeight;
    const std::uint8_t* fgPixels;
    int fgStride;
    if (aligned && src.width == fw && src.height == fh) {
        fgPixels = src.data;
        fgStride = src.stride;
    } else {
        s.fg.resize(fw, fh);
        libyuv::ARGBScale(src.data, src.stride, src.width, src.height, s.fg.row(padT) + 4 * padL, s.fg.stride,
                          l.fgWidth, l.fgHeight, libyuv::kFilterBox);
        for (int y = padT; y < padT + l.fgHeight; ++y) {
            std::uint8_t* r = s.fg.row(y);
            if (padL) std::memcpy(r, r + 4, 4);
            if (fw > padL + l.fgWidth) std::memcpy(r + 4 * (fw - 1), r + 4 * (fw - 2), 4);
        }
        if (padT) std::memcpy(s.fg.row(0), s.fg.row(1), std::size_t(s.fg.stride));
        if (fh > padT + l.fgHeight) std::memcpy(s.fg.row(fh - 1), s.fg.row(fh - 2), std::size_t(s.fg.stride));
        fgPixels = s.fg.pixels.data();
        fgStride = s.fg.stride;
    }
    std::uint8_t* dy = dst.planes[0] + std::ptrdiff_t(y0) * dst.strides[0] + x0;
    std::uint8_t* du = dst.planes[1] + std::ptrdiff_t(y0 / 2) * dst.strides[1] + x0 / 2;
    std::uint8_t* dv = dst.planes[2] + std::ptrdiff_t(y0 / 2) * dst.strides[2] + x0 / 2;
    if (aligned) {
        bgraToI420(fgPixels, fgStride, fw, fh, dy, dst.strides[0], du, dst.strides[1], dv, dst.strides[2]);
        return;
    }
    if (!s.fgYuv || s.fgYuv->width != fw || s.fgYuv->height != fh) s.fgYuv = YuvFrame::allocate(fw, fh);
    YuvFrame& fy = *s.fgYuv;
    bgraToI420(fgPixels, fgStride, fw, fh, fy.planes[0], fy.strides[0], fy.planes[1], fy.strides[1],
               fy.planes[2], fy.strides[2]);
    libyuv::CopyPlane(fy.planes[0] + std::ptrdiff_t(padT) * fy.strides[0] + padL, fy.strides[0],
                      dy + std::ptrdiff_t(padT) * dst.strides[0] + padL, dst.strides[0], l.fgWidth,
                      l.fgHeight);
    libyuv::CopyPlane(fy.planes[1], fy.strides[1], du, dst.strides[1], fw / 2, fh / 2);
    libyuv::CopyPlane(fy.planes[2], fy.strides[2], dv, dst.strides[2], fw / 2, fh / 2);
}

} // namespace lc
