#include "capture/BlurFill.h"

#include "capture/PlaneScaler.h"
#include "platform/YuvFramePool.h"

#include <libyuv/planar_functions.h>
#include <libyuv/scale.h>
#include <libyuv/scale_argb.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define LC_X86 1
// A second copy of the hot loops for AVX2 machines, chosen at load time.
#define LC_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define LC_CLONES
#endif

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

// BGRA → I420, BT.709 limited range, with 7-bit coefficients (as libyuv's own BT.601 kernels):
//   Y  = 16 + (8B + 79G + 23R) / 128
//   Cb = 128 + (56B − 43G − 13R) / 128,  Cr = 128 + (−5B − 51G + 56R) / 128
// Chroma comes from the 2×2 average (rows, then pairs, each rounded up like pavgb). The SIMD
// and the scalar code give identical results. Two rows at a time; width even.
inline std::uint8_t avgUp(int a, int b) {
    return std::uint8_t((a + b + 1) >> 1);
}

void bgraRowsToI420Scalar(const std::uint8_t* s0, const std::uint8_t* s1, std::uint8_t* y0, std::uint8_t* y1,
                          std::uint8_t* u, std::uint8_t* v, int from, int width) {
    for (int x = from; x < width; ++x) {
        y0[x] = std::uint8_t(((8 * s0[4 * x] + 79 * s0[4 * x + 1] + 23 * s0[4 * x + 2] + 64) >> 7) + 16);
        y1[x] = std::uint8_t(((8 * s1[4 * x] + 79 * s1[4 * x + 1] + 23 * s1[4 * x + 2] + 64) >> 7) + 16);
    }
    for (int i = from / 2; i < width / 2; ++i) {
        int c[3];
        for (int k = 0; k < 3; ++k)
            c[k] = avgUp(avgUp(s0[8 * i + k], s1[8 * i + k]), avgUp(s0[8 * i + 4 + k], s1[8 * i + 4 + k]));
        u[i] = std::uint8_t((56 * c[0] - 43 * c[1] - 13 * c[2] + 16448) >> 7);
        v[i] = std::uint8_t((-5 * c[0] - 51 * c[1] + 56 * c[2] + 16448) >> 7);
    }
}

#ifdef LC_X86
#define LC_SSSE3 __attribute__((target("ssse3")))

// Luma of 16 pixels.
LC_SSSE3 inline void luma16(const std::uint8_t* s, std::uint8_t* y) {
    const __m128i kY = _mm_set1_epi32(0x00174F08); // B 8, G 79, R 23
    const __m128i round7 = _mm_set1_epi16(64);
    const __m128i* p = reinterpret_cast<const __m128i*>(s);
    const __m128i a = _mm_hadd_epi16(_mm_maddubs_epi16(_mm_loadu_si128(p), kY),
                                     _mm_maddubs_epi16(_mm_loadu_si128(p + 1), kY));
    const __m128i b = _mm_hadd_epi16(_mm_maddubs_epi16(_mm_loadu_si128(p + 2), kY),
                                     _mm_maddubs_epi16(_mm_loadu_si128(p + 3), kY));
    const __m128i packed = _mm_packus_epi16(_mm_srli_epi16(_mm_add_epi16(a, round7), 7),
                                            _mm_srli_epi16(_mm_add_epi16(b, round7), 7));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(y), _mm_add_epi8(packed, _mm_set1_epi8(16)));
}

// Averages pixel pairs (0,1), (2,3), … of 8 pixels in two registers into 4 pixels.
LC_SSSE3 inline __m128i pairAverage(__m128i l, __m128i r) {
    const __m128 lf = _mm_castsi128_ps(l), rf = _mm_castsi128_ps(r);
    return _mm_avg_epu8(_mm_castps_si128(_mm_shuffle_ps(lf, rf, 0x88)),
                        _mm_castps_si128(_mm_shuffle_ps(lf, rf, 0xdd)));
}

// 16 pixels of two rows per step.
LC_SSSE3 void bgraRowsToI420Ssse3(const std::uint8_t* s0, const std::uint8_t* s1, std::uint8_t* y0,
                                  std::uint8_t* y1, std::uint8_t* u, std::uint8_t* v, int width) {
    const __m128i kU = _mm_set1_epi32(0x00F3D538); // B 56, G −43, R −13
    const __m128i kV = _mm_set1_epi32(0x0038CDFB); // B −5, G −51, R 56
    const __m128i c128 = _mm_set1_epi16(16448);    // 128 × 128 + 64
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        luma16(s0 + 4 * x, y0 + x);
        luma16(s1 + 4 * x, y1 + x);
        const __m128i* p0 = reinterpret_cast<const __m128i*>(s0 + 4 * x);
        const __m128i* p1 = reinterpret_cast<const __m128i*>(s1 + 4 * x);
        __m128i a[4];
        for (int k = 0; k < 4; ++k)
            a[k] = _mm_avg_epu8(_mm_loadu_si128(p0 + k), _mm_loadu_si128(p1 + k));
        const __m128i c0 = pairAverage(a[0], a[1]), c1 = pairAverage(a[2], a[3]);
        const __m128i us = _mm_hadd_epi16(_mm_maddubs_epi16(c0, kU), _mm_maddubs_epi16(c1, kU));
        const __m128i vs = _mm_hadd_epi16(_mm_maddubs_epi16(c0, kV), _mm_maddubs_epi16(c1, kV));
        const __m128i uv = _mm_packus_epi16(_mm_srli_epi16(_mm_add_epi16(us, c128), 7),
                                            _mm_srli_epi16(_mm_add_epi16(vs, c128), 7));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(u + x / 2), uv);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(v + x / 2), _mm_unpackhi_epi64(uv, uv));
    }
    bgraRowsToI420Scalar(s0, s1, y0, y1, u, v, x, width);
}

#endif

void bgraRowsToI420(const std::uint8_t* s0, const std::uint8_t* s1, std::uint8_t* y0, std::uint8_t* y1,
                    std::uint8_t* u, std::uint8_t* v, int width) {
#ifdef LC_X86
    static const bool simd = __builtin_cpu_supports("ssse3");
    if (simd) return bgraRowsToI420Ssse3(s0, s1, y0, y1, u, v, width);
#endif
    bgraRowsToI420Scalar(s0, s1, y0, y1, u, v, 0, width);
}

// Converts a BGRA picture of even size into I420 planes.
void bgraToI420(const std::uint8_t* src, int srcStride, int width, int height, std::uint8_t* y, int yStride,
                std::uint8_t* u, int uStride, std::uint8_t* v, int vStride) {
    for (int row = 0; row + 1 < height; row += 2)
        bgraRowsToI420(src + std::ptrdiff_t(row) * srcStride, src + std::ptrdiff_t(row + 1) * srcStride,
                       y + std::ptrdiff_t(row) * yStride, y + std::ptrdiff_t(row + 1) * yStride,
                       u + std::ptrdiff_t(row / 2) * uStride, v + std::ptrdiff_t(row / 2) * vStride, width);
}

// `src` in I420 at its own size, odd sizes included: a last odd column or row repeats its
// neighbour for the chroma it shares. `f` is reused while the size stays.
void bgraToYuvFrame(const BgraFrame& src, std::shared_ptr<YuvFrame>& f) {
    const int w = src.width, h = src.height, we = w & ~1;
    if (!f || f->width != w || f->height != h) {
        f = YuvFrame::allocate((w + 1) & ~1, (h + 1) & ~1); // room for the repeated edge
        f->width = w;
        f->height = h;
    }
    YuvFrame& o = *f;
    for (int row = 0; row < h; row += 2) {
        const std::uint8_t* s0 = src.row(row);
        const std::uint8_t* s1 = src.row(std::min(row + 1, h - 1));
        std::uint8_t* y0 = o.planes[0] + std::ptrdiff_t(row) * o.strides[0];
        std::uint8_t* y1 = y0 + o.strides[0]; // the allocation's even height has this row
        std::uint8_t* u = o.planes[1] + std::ptrdiff_t(row / 2) * o.strides[1];
        std::uint8_t* v = o.planes[2] + std::ptrdiff_t(row / 2) * o.strides[2];
        bgraRowsToI420(s0, s1, y0, y1, u, v, we);
        if (w & 1) {
            std::uint8_t e0[8], e1[8], ey[2][2];
            std::memcpy(e0, s0 + 4 * (w - 1), 4);
            std::memcpy(e0 + 4, s0 + 4 * (w - 1), 4);
            std::memcpy(e1, s1 + 4 * (w - 1), 4);
            std::memcpy(e1 + 4, s1 + 4 * (w - 1), 4);
            bgraRowsToI420Scalar(e0, e1, ey[0], ey[1], u + we / 2, v + we / 2, 0, 2);
            y0[w - 1] = ey[0][0];
            y1[w - 1] = ey[1][0];
        }
    }
}

// A symmetric Gaussian kernel: weights[0] is the centre, weights[k] the taps at ±k.
std::vector<float> gaussian(double sigma, int radius) {
    std::vector<float> w(std::size_t(radius) + 1);
    double sum = 0;
    for (int k = -radius; k <= radius; ++k)
        sum += std::exp(-(k * k) / (2 * sigma * sigma));
    for (int k = 0; k <= radius; ++k)
        w[std::size_t(k)] = float(std::exp(-(k * k) / (2 * sigma * sigma)) / sum);
    return w;
}

// out[j] = w0 · c[j] + Σ w[k] · (lo_k[j] + hi_k[j]), with rows lo_k/hi_k given by `row(±k)`.
template <class Row>
__attribute__((always_inline)) inline void accumulate(float* out, int n, const std::vector<float>& w,
                                                      Row row) {
    const float* c = row(0);
    for (int j = 0; j < n; ++j)
        out[j] = w[0] * c[j];
    for (int k = 1; k < int(w.size()); ++k) {
        const float wk = w[std::size_t(k)];
        const float* lo = row(-k);
        const float* hi = row(k);
        for (int j = 0; j < n; ++j)
            out[j] += wk * (lo[j] + hi[j]);
    }
}

// Blurs one plane of the covering copy with clamped edges and crops it:
// dst(x, y) = Σ w · src(clamp(x − offX ± k), clamp(y − offY ± k)), src being srcW × srcH of which
// only rows [firstRow, firstRow + rows) are present (enough for every row the crop reaches).
LC_CLONES void blurPlane(const std::uint8_t* src, int srcStride, int srcW, int srcH, int firstRow, int offX,
                         int offY, std::uint8_t* dst, int dstStride, int dstW, int dstH,
                         const std::vector<float>& w, std::vector<float>& scratch) {
    const int r = int(w.size()) - 1;
    const int rowLo = std::max(0, -offY - r), rowHi = std::min(srcH, -offY + dstH + r); // needed source rows
    const int padded = dstW + 2 * r;
    scratch.resize(std::size_t(padded) + std::size_t(dstW) * std::size_t(rowHi - rowLo + 1) +
                   std::size_t(dstW));
    float* line = scratch.data();
    float* horizontal = line + padded;
    float* out = horizontal + std::size_t(dstW) * std::size_t(rowHi - rowLo);
    for (int y = rowLo; y < rowHi; ++y) {
        const std::uint8_t* in = src + std::ptrdiff_t(y - firstRow) * srcStride;
        for (int x = 0; x < padded; ++x)
            line[x] = in[std::clamp(x - r - offX, 0, srcW - 1)];
        accumulate(horizontal + std::size_t(y - rowLo) * std::size_t(dstW), dstW, w,
                   [&](int k) { return line + r + k; });
    }
    for (int y = 0; y < dstH; ++y) {
        accumulate(out, dstW, w, [&](int k) {
            return horizontal +
                   std::size_t(std::clamp(y - offY + k, rowLo, rowHi - 1) - rowLo) * std::size_t(dstW);
        });
        std::uint8_t* o = dst + std::ptrdiff_t(y) * dstStride;
        for (int x = 0; x < dstW; ++x)
            o[x] = std::uint8_t(out[x] + 0.5f);
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

struct Rect {
    int x, y, w, h;
};

// Scales `src` to outW × outH (even) and converts it into I420 planes, a band of rows at a time
// so that the scaled pixels never leave the cache.
void scaleToI420(const BgraFrame& src, int outW, int outH, Bgra& band, std::shared_ptr<YuvFrame>& whole,
                 std::uint8_t* y, int yStride, std::uint8_t* u, int uStride, std::uint8_t* v, int vStride) {
    if (src.width == outW && src.height == outH) {
        bgraToI420(src.data, src.stride, outW, outH, y, yStride, u, uStride, v, vStride);
        return;
    }
    // An exact 3/4 reduction (2560×1440 into 1920×1080) has a dedicated plane kernel in libyuv but
    // none for BGRA: there, converting first and scaling the planes is cheaper (bench/media).
    if (src.width % 2 == 0 && src.height % 2 == 0 && 4 * outW == 3 * src.width &&
        4 * outH == 3 * src.height) {
        if (!whole || whole->width != src.width || whole->height != src.height)
            whole = YuvFrame::allocate(src.width, src.height);
        YuvFrame& f = *whole;
        bgraToI420(src.data, src.stride, src.width, src.height, f.planes[0], f.strides[0], f.planes[1],
                   f.strides[1], f.planes[2], f.strides[2]);
        libyuv::I420Scale(f.planes[0], f.strides[0], f.planes[1], f.strides[1], f.planes[2], f.strides[2],
                          src.width, src.height, y, yStride, u, uStride, v, vStride, outW, outH,
                          libyuv::kFilterBox);
        return;
    }
    constexpr int kBand = 16;
    band.resize(outW, kBand);
    for (int y0 = 0; y0 < outH; y0 += kBand) {
        const int rows = std::min(kBand, outH - y0);
        // libyuv writes a clipped band at its place in the whole picture: aim the picture's origin
        // so that the band lands in our buffer.
        auto* origin = reinterpret_cast<std::uint8_t*>(reinterpret_cast<std::uintptr_t>(band.pixels.data()) -
                                                       std::uintptr_t(y0) * std::uintptr_t(band.stride));
        libyuv::ARGBScaleClip(src.data, src.stride, src.width, src.height, origin, band.stride, outW, outH, 0,
                              y0, outW, rows, libyuv::kFilterBox);
        bgraToI420(band.pixels.data(), band.stride, outW, rows, y + std::ptrdiff_t(y0) * yStride, yStride,
                   u + std::ptrdiff_t(y0 / 2) * uStride, uStride, v + std::ptrdiff_t(y0 / 2) * vStride,
                   vStride);
    }
}

// The blurred background `sm` (sw × sh) enlarged over `dst`, but only where the foreground of
// layout `l` leaves the frame uncovered. One scaler per band and plane, so that their taps are
// computed once for a layout, not again for every frame.
using BandScalers = std::array<PlaneScaler, 12>;
void enlargeBands(const YuvFrame& sm, const BlurFillLayout& l, YuvFrame& dst, BandScalers& up) {
    const int W = dst.width, H = dst.height, sw = sm.width, sh = sm.height;
    const Rect bands[] = {{0, 0, W, l.fgY},
                          {0, l.fgY + l.fgHeight, W, H - l.fgY - l.fgHeight},
                          {0, l.fgY, l.fgX, l.fgHeight},
                          {l.fgX + l.fgWidth, l.fgY, W - l.fgX - l.fgWidth, l.fgHeight}};
    for (std::size_t b = 0; b < 4; ++b) {
        const Rect& band = bands[b];
        if (band.w <= 0 || band.h <= 0) continue;
        for (int p = 0; p < 3; ++p) {
            const int shift = p ? 1 : 0;
            // Chroma bands widen to whole 2×2 blocks; the foreground overwrites any overlap.
            const int x0 = band.x >> shift, y0 = band.y >> shift;
            const int x1 = (band.x + band.w + shift) >> shift, y1 = (band.y + band.h + shift) >> shift;
            const int pw = W >> shift, ph = H >> shift, spw = sw >> shift, sph = sh >> shift;
            const int sx0 = std::min(spw - 1, x0 * spw / pw), sy0 = std::min(sph - 1, y0 * sph / ph);
            const int sx1 = std::max(sx0 + 1, (x1 * spw + pw - 1) / pw),
                      sy1 = std::max(sy0 + 1, (y1 * sph + ph - 1) / ph);
            const std::uint8_t* from = sm.planes[p] + std::ptrdiff_t(sy0) * sm.strides[p] + sx0;
            std::uint8_t* to = dst.planes[p] + std::ptrdiff_t(y0) * dst.strides[p] + x0;
            if (PlaneScaler::handles(sx1 - sx0, sy1 - sy0, x1 - x0, y1 - y0))
                up[3 * b + std::size_t(p)].scale(from, sm.strides[p], sx1 - sx0, sy1 - sy0, to,
                                                 dst.strides[p], x1 - x0, y1 - y0);
            else
                libyuv::ScalePlane(from, sm.strides[p], sx1 - sx0, sy1 - sy0, to, dst.strides[p], x1 - x0,
                                   y1 - y0, libyuv::kFilterBilinear);
        }
    }
}

// One plane scaled bilinearly; a picture more than twice too large is first halved (2 × 2
// averages) until it is not, which is what a box filter gives at a fraction of its cost.
void scalePlane(PlaneScaler& scaler, const std::uint8_t* src, int srcStride, int w, int h, std::uint8_t* dst,
                int dstStride, int W, int H) {
    thread_local std::vector<std::uint8_t> halves[2];
    for (int k = 0; !PlaneScaler::handles(w, h, W, H) && w >= 2 && h >= 2; k ^= 1) {
        const int hw = w / 2, hh = h / 2; // an odd last column or row is dropped
        halves[k].resize(std::size_t(hw) * std::size_t(hh));
        libyuv::ScalePlane(src, srcStride, 2 * hw, 2 * hh, halves[k].data(), hw, hw, hh, libyuv::kFilterBox);
        src = halves[k].data();
        srcStride = w = hw;
        h = hh;
    }
    if (PlaneScaler::handles(w, h, W, H))
        scaler.scale(src, srcStride, w, h, dst, dstStride, W, H);
    else // a plane one pixel across and far too long
        libyuv::ScalePlane(src, srcStride, w, h, dst, dstStride, W, H, libyuv::kFilterBox);
}

// The even-sized canvas and cover of a layout's background, and where the cover sits in it.
struct BackgroundGeometry {
    int sw, sh, cw, ch, ox, oy;
    explicit BackgroundGeometry(const BlurFillLayout& l)
        : sw(evenAtLeast2(l.smallWidth)), sh(evenAtLeast2(l.smallHeight)),
          cw(std::max(sw, evenAtLeast2(l.coverWidth))), ch(std::max(sh, evenAtLeast2(l.coverHeight))),
          ox(2 * roundHalfAway((sw - cw) / 4.0)), oy(2 * roundHalfAway((sh - ch) / 4.0)) {}
};

} // namespace

struct BlurFill::Scratch {
    Bgra band;                       // a band of the scaled picture on its way to I420
    std::shared_ptr<YuvFrame> whole; // the source in I420
    std::unique_ptr<YuvFramePool> pool;

    static void ensure(std::shared_ptr<YuvFrame>& f, int w, int h) {
        if (!f || f->width != w || f->height != h) f = YuvFrame::allocate(w, h);
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
        scaleToI420(src, W, H, s.band, s.whole, dst.planes[0], dst.strides[0], dst.planes[1], dst.strides[1],
                    dst.planes[2], dst.strides[2]);
        return;
    }

    // A window of another shape: converted at its own size and composed by the final video's
    // routine, so the recordings' fill and the final video's agree (and converting first is the
    // cheaper order for every window up to twice its place's size, the usual case).
    bgraToYuvFrame(src, s.whole);
    renderYuv(*s.whole, dst);
}

void BlurFill::renderYuv(const YuvFrame& src, YuvFrame& dst) {
    const int w = src.width, h = src.height, W = dst.width, H = dst.height;
    const BlurFillLayout l = layout(w, h, W, H);
    if (l.fgWidth <= 0 || l.fgHeight <= 0) return;
    struct YuvScratch {
        std::shared_ptr<YuvFrame> cover, small;
        std::vector<float> blur;
        const std::vector<float> lumaWeights = gaussian(kSigma, kBlurRadius);
        const std::vector<float> chromaWeights = gaussian(kSigma / 2, kBlurRadius / 2);
        PlaneScaler luma, chroma;
        BandScalers bands;
    };
    thread_local YuvScratch s;
    if (l.stretch) {
        for (int p = 0; p < 3; ++p)
            scalePlane(p ? s.chroma : s.luma, src.planes[p], src.strides[p], p ? (w + 1) / 2 : w,
                       p ? (h + 1) / 2 : h, dst.planes[p], dst.strides[p], p ? W / 2 : W, p ? H / 2 : H);
        return;
    }
    // The same background as render(): the covering copy (bilinear), the same Gaussian with
    // clamped edges, the same crop and enlargement; only the colour conversion comes first here.
    const BackgroundGeometry g(l);
    Scratch::ensure(s.cover, g.cw, g.ch);
    YuvFrame& cy = *s.cover;
    libyuv::I420Scale(src.planes[0], src.strides[0], src.planes[1], src.strides[1], src.planes[2],
                      src.strides[2], w, h, cy.planes[0], cy.strides[0], cy.planes[1], cy.strides[1],
                      cy.planes[2], cy.strides[2], g.cw, g.ch, libyuv::kFilterBilinear);
    Scratch::ensure(s.small, g.sw, g.sh);
    YuvFrame& sm = *s.small;
    blurPlane(cy.planes[0], cy.strides[0], g.cw, g.ch, 0, g.ox, g.oy, sm.planes[0], sm.strides[0], g.sw, g.sh,
              s.lumaWeights, s.blur);
    for (int p = 1; p < 3; ++p)
        blurPlane(cy.planes[p], cy.strides[p], g.cw / 2, g.ch / 2, 0, g.ox / 2, g.oy / 2, sm.planes[p],
                  sm.strides[p], g.sw / 2, g.sh / 2, s.chromaWeights, s.blur);
    enlargeBands(sm, l, dst, s.bands);

    // Foreground: luma on exact pixels; chroma covers the half pixels it touches.
    const int x0 = std::clamp(l.fgX, 0, W), y0 = std::clamp(l.fgY, 0, H);
    const int x1 = std::clamp(l.fgX + l.fgWidth, 0, W), y1 = std::clamp(l.fgY + l.fgHeight, 0, H);
    if (x1 <= x0 || y1 <= y0) return;
    const int c0x = x0 / 2, c0y = y0 / 2, c1x = (x1 + 1) / 2, c1y = (y1 + 1) / 2;
    for (int p = 0; p < 3; ++p) {
        const int sw = p ? (w + 1) / 2 : w, sh = p ? (h + 1) / 2 : h;
        const int px = p ? c0x : x0, py = p ? c0y : y0, pw = p ? c1x - c0x : x1 - x0,
                  ph = p ? c1y - c0y : y1 - y0;
        std::uint8_t* out = dst.planes[p] + std::ptrdiff_t(py) * dst.strides[p] + px;
        scalePlane(p ? s.chroma : s.luma, src.planes[p], src.strides[p], sw, sh, out, dst.strides[p], pw, ph);
    }
}

} // namespace lc
