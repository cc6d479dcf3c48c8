#pragma once
// Bilinear scaling of one 8-bit plane (a picture's luma or chroma) by factors from 1/2 upwards:
// the blur fill's foreground, usually a little smaller or larger than its source, and the
// enlargement of its blurred background. libyuv's general bilinear filter spends most of a
// 1080p composition in its column filter there; this one precomputes the taps once per
// geometry and filters 16 pixels per step. Pixel centres map onto pixel centres; the edges are
// clamped. Below 1/2 a bilinear filter skips pixels (a box filter is the right tool). The SIMD
// and the scalar code give identical results (7-bit weights).
#include <cstdint>
#include <vector>

namespace lc {

class PlaneScaler {
public:
    // Whether this scaler takes a w × h plane to W × H (W ≥ w / 2, H ≥ h / 2, all positive).
    static bool handles(int w, int h, int W, int H) { return w > 0 && h > 0 && 2 * W >= w && 2 * H >= h; }

    // Scales `src` (w × h) into `dst` (W × H). Taps are kept between calls of the same geometry;
    // one caller at a time per object.
    void scale(const std::uint8_t* src, int srcStride, int w, int h, std::uint8_t* dst, int dstStride, int W,
               int H);

    // Where output sample i of an axis of N samples reads from an axis of n samples: the sample
    // `index` and the next one weighted `fraction`/128 (0 on and beyond the last sample).
    struct Tap {
        int index;
        int fraction;
    };
    static Tap tap(int i, int n, int N);

    // The scalar reference, for tests and for machines without SSSE3.
    static void scaleScalar(const std::uint8_t* src, int srcStride, int w, int h, std::uint8_t* dst,
                            int dstStride, int W, int H);

private:
    void prepare(int w, int W);
    void scaleRow(const std::uint8_t* src, std::uint8_t* out) const;

    int w_ = 0, W_ = 0;
    std::vector<Tap> taps_;              // one per output column
    std::vector<std::uint8_t> shuffles_; // per block of 8 outputs: 16 byte picks
    std::vector<std::int8_t> weights_;   // per block of 8 outputs: 16 weights
    std::vector<int> blockBase_;         // per block: the first source byte it reads
    int simdBlocks_ = 0;                 // blocks whose 16-byte read stays inside the row
    std::vector<std::uint8_t> rows_[2];  // two scaled source rows
    int rowIndex_[2] = {-1, -1};
};

} // namespace lc
