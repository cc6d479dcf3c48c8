#include "capture/PlaneScaler.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define LC_X86 1
#define LC_SSSE3 __attribute__((target("ssse3")))
#endif

namespace lc {
namespace {

// 7-bit weights: a·(128 − f) + b·f. A zero fraction reads the same sample twice at 64/64, so
// both weights fit a signed byte and nothing past the last sample is touched.
inline std::uint8_t blend(int a, int b, int f) {
    return std::uint8_t((a * (128 - f) + b * f + 64) >> 7);
}

void blendRowsScalar(const std::uint8_t* r0, const std::uint8_t* r1, int f, std::uint8_t* out, int from,
                     int n) {
    for (int x = from; x < n; ++x)
        out[x] = blend(r0[x], r1[x], f);
}

void scaleRowScalar(const std::uint8_t* src, const PlaneScaler::Tap* taps, int from, int to,
                    std::uint8_t* out) {
    for (int x = from; x < to; ++x) {
        const PlaneScaler::Tap t = taps[x];
        out[x] = t.fraction ? blend(src[t.index], src[t.index + 1], t.fraction) : src[t.index];
    }
}

#ifdef LC_X86
// Eight outputs: their (a, b) pairs picked out of one 16-byte load, weighted, as 16-bit lanes.
LC_SSSE3 inline __m128i block8(const std::uint8_t* src, const std::uint8_t* shuffle,
                               const std::int8_t* weights) {
    const __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    const __m128i pairs = _mm_shuffle_epi8(s, _mm_loadu_si128(reinterpret_cast<const __m128i*>(shuffle)));
    const __m128i sums = _mm_maddubs_epi16(pairs, _mm_loadu_si128(reinterpret_cast<const __m128i*>(weights)));
    return _mm_srli_epi16(_mm_add_epi16(sums, _mm_set1_epi16(64)), 7);
}

LC_SSSE3 void scaleRowSsse3(const std::uint8_t* src, const std::uint8_t* shuffles, const std::int8_t* weights,
                            const int* base, int blocks, std::uint8_t* out) {
    int b = 0;
    for (; b + 2 <= blocks; b += 2) {
        const __m128i lo = block8(src + base[b], shuffles + 16 * b, weights + 16 * b);
        const __m128i hi = block8(src + base[b + 1], shuffles + 16 * (b + 1), weights + 16 * (b + 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * b), _mm_packus_epi16(lo, hi));
    }
    if (b < blocks) {
        const __m128i last = block8(src + base[b], shuffles + 16 * b, weights + 16 * b);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 8 * b), _mm_packus_epi16(last, last));
    }
}
#endif

#ifdef LC_X86
// 16 outputs per step: the two rows' bytes interleaved and weighted (128 − f, f) in one go.
LC_SSSE3 void blendRowsSsse3(const std::uint8_t* r0, const std::uint8_t* r1, int f, std::uint8_t* out,
                             int n) {
    const __m128i w = _mm_set1_epi16(std::int16_t(((f & 0xff) << 8) | (128 - f)));
    const __m128i round = _mm_set1_epi16(64);
    int x = 0;
    for (; x + 16 <= n; x += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r0 + x));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r1 + x));
        const __m128i lo = _mm_maddubs_epi16(_mm_unpacklo_epi8(a, b), w);
        const __m128i hi = _mm_maddubs_epi16(_mm_unpackhi_epi8(a, b), w);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x),
                         _mm_packus_epi16(_mm_srli_epi16(_mm_add_epi16(lo, round), 7),
                                          _mm_srli_epi16(_mm_add_epi16(hi, round), 7)));
    }
    blendRowsScalar(r0, r1, f, out, x, n);
}
#endif

bool haveSsse3() {
#ifdef LC_X86
    static const bool yes = __builtin_cpu_supports("ssse3");
    return yes;
#else
    return false;
#endif
}

// out = r0 · (128 − f) + r1 · f, in 1/128; f in 1…127.
void blendRows(const std::uint8_t* r0, const std::uint8_t* r1, int f, std::uint8_t* out, int n) {
#ifdef LC_X86
    if (haveSsse3()) return blendRowsSsse3(r0, r1, f, out, n);
#endif
    blendRowsScalar(r0, r1, f, out, 0, n);
}

} // namespace

PlaneScaler::Tap PlaneScaler::tap(int i, int n, int N) {
    // The centre of output sample i, in 1/128 of an input sample: ((i + ½)·n / N − ½)·128.
    const long long num = (2LL * i + 1) * n * 128 - 128LL * N;
    const long long p = num <= 0 ? 0 : (num + N) / (2LL * N);
    Tap t{int(p >> 7), int(p & 127)};
    if (t.index >= n - 1) t = {n - 1, 0};
    return t;
}

void PlaneScaler::prepare(int w, int W) {
    if (w == w_ && W == W_) return;
    w_ = w;
    W_ = W;
    taps_.resize(std::size_t(W));
    for (int x = 0; x < W; ++x)
        taps_[std::size_t(x)] = tap(x, w, W);
    // Eight outputs span at most 7·(w / W) + 2 ≤ 16 inputs down to half the size, so one 16-byte
    // load serves them.
    const int blocks = W / 8;
    shuffles_.assign(std::size_t(blocks) * 16, 0);
    weights_.assign(std::size_t(blocks) * 16, 0);
    blockBase_.assign(std::size_t(blocks), 0);
    simdBlocks_ = 0;
    for (int b = 0; b < blocks; ++b) {
        const int base = taps_[std::size_t(8 * b)].index;
        const Tap last = taps_[std::size_t(8 * b + 7)];
        if (base + 16 > w || last.index + 1 - base > 15) break; // the rest is done sample by sample
        blockBase_[std::size_t(b)] = base;
        for (int j = 0; j < 8; ++j) {
            const Tap t = taps_[std::size_t(8 * b + j)];
            const std::size_t k = std::size_t(16 * b + 2 * j);
            const int d = t.index - base;
            shuffles_[k] = std::uint8_t(d);
            shuffles_[k + 1] = std::uint8_t(t.fraction ? d + 1 : d);
            weights_[k] = std::int8_t(t.fraction ? 128 - t.fraction : 64);
            weights_[k + 1] = std::int8_t(t.fraction ? t.fraction : 64);
        }
        simdBlocks_ = b + 1;
    }
    for (auto& r : rows_)
        r.resize(std::size_t(W));
    rowIndex_[0] = rowIndex_[1] = -1;
}

void PlaneScaler::scaleRow(const std::uint8_t* src, std::uint8_t* out) const {
    int done = 0;
#ifdef LC_X86
    if (haveSsse3() && simdBlocks_ > 0) {
        scaleRowSsse3(src, shuffles_.data(), weights_.data(), blockBase_.data(), simdBlocks_, out);
        done = 8 * simdBlocks_;
    }
#endif
    scaleRowScalar(src, taps_.data(), done, W_, out);
}

void PlaneScaler::scale(const std::uint8_t* src, int srcStride, int w, int h, std::uint8_t* dst,
                        int dstStride, int W, int H) {
    if (!handles(w, h, W, H)) return;
    prepare(w, W);
    // The two source rows an output row blends, scaled across once each and reused while the
    // output walks down between them.
    rowIndex_[0] = rowIndex_[1] = -1;
    auto scaled = [&](int row) -> const std::uint8_t* {
        for (int k = 0; k < 2; ++k)
            if (rowIndex_[k] == row) return rows_[k].data();
        // Replace the row that is not the other one needed next (the lower index).
        const int k = rowIndex_[0] < rowIndex_[1] ? 0 : 1;
        scaleRow(src + std::ptrdiff_t(row) * srcStride, rows_[k].data());
        rowIndex_[k] = row;
        return rows_[k].data();
    };
    for (int y = 0; y < H; ++y) {
        const Tap t = tap(y, h, H);
        std::uint8_t* out = dst + std::ptrdiff_t(y) * dstStride;
        if (t.fraction == 0) {
            std::memcpy(out, scaled(t.index), std::size_t(W));
            continue;
        }
        const std::uint8_t* r0 = scaled(t.index);
        const std::uint8_t* r1 = scaled(t.index + 1);
        blendRows(r0, r1, t.fraction, out, W);
    }
}

void PlaneScaler::scaleScalar(const std::uint8_t* src, int srcStride, int w, int h, std::uint8_t* dst,
                              int dstStride, int W, int H) {
    if (!handles(w, h, W, H)) return;
    const auto n = std::size_t(W);
    std::vector<Tap> taps(n);
    for (int x = 0; x < W; ++x)
        taps[std::size_t(x)] = tap(x, w, W);
    std::vector<std::uint8_t> r0(n), r1(n);
    for (int y = 0; y < H; ++y) {
        const Tap t = tap(y, h, H);
        scaleRowScalar(src + std::ptrdiff_t(t.index) * srcStride, taps.data(), 0, W, r0.data());
        std::uint8_t* out = dst + std::ptrdiff_t(y) * dstStride;
        if (t.fraction == 0) {
            std::memcpy(out, r0.data(), std::size_t(W));
            continue;
        }
        scaleRowScalar(src + std::ptrdiff_t(t.index + 1) * srcStride, taps.data(), 0, W, r1.data());
        blendRowsScalar(r0.data(), r1.data(), t.fraction, out, 0, W);
    }
}

} // namespace lc
