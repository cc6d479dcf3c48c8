// The blur fill's bilinear scaling: the fast path against its scalar reference, and what any
// bilinear scaling must keep (flat stays flat, an identity copies, ramps stay ramps).
#include "capture/PlaneScaler.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using namespace lc;

namespace {

struct Plane {
    int w, h, stride;
    std::vector<std::uint8_t> px;
    Plane(int w_, int h_, int pad = 7) : w(w_), h(h_), stride(w_ + pad), px(std::size_t(stride) * h_, 0xEE) {}
    std::uint8_t& at(int x, int y) { return px[std::size_t(y) * stride + x]; }
};

Plane noise(int w, int h, unsigned seed) {
    Plane p(w, h);
    std::mt19937 rng(seed);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            p.at(x, y) = std::uint8_t(rng());
    return p;
}

Plane scaled(PlaneScaler& s, Plane& src, int W, int H) {
    Plane out(W, H, 3);
    s.scale(src.px.data(), src.stride, src.w, src.h, out.px.data(), out.stride, W, H);
    return out;
}

TEST(PlaneScaler, FastPathEqualsTheScalarReferenceForEveryGeometry) {
    // Near 1 (4:3 windows in 1080p, luma and chroma), large factors (the background), widths
    // with and without whole blocks, single samples, the identity, and reductions down to half
    // (a portrait window's foreground).
    const int cases[][4] = {{1280, 1024, 1350, 1080},
                            {640, 512, 675, 540},
                            {17, 9, 40, 21},
                            {1, 1, 5, 3},
                            {3, 2, 3, 2},
                            {100, 50, 250, 125},
                            {15, 15, 16, 16},
                            {33, 7, 1000, 7},
                            {64, 64, 64, 200},
                            {200, 3, 203, 4}};
    PlaneScaler s; // one object across geometries: its taps must follow each change
    unsigned seed = 1;
    for (const auto& c : cases) {
        Plane src = noise(c[0], c[1], seed++);
        const Plane fast = scaled(s, src, c[2], c[3]);
        Plane ref(c[2], c[3], 3);
        PlaneScaler::scaleScalar(src.px.data(), src.stride, src.w, src.h, ref.px.data(), ref.stride, c[2],
                                 c[3]);
        const std::string what = std::to_string(c[0]) + "x" + std::to_string(c[1]) + " -> " +
                                 std::to_string(c[2]) + "x" + std::to_string(c[3]);
        ASSERT_EQ(fast.px, ref.px) << what; // the row padding is untouched too
    }
}

TEST(PlaneScaler, KeepsWhatAnyBilinearScalingKeeps) {
    EXPECT_TRUE(PlaneScaler::handles(100, 100, 50, 50));
    EXPECT_FALSE(PlaneScaler::handles(100, 100, 49, 50)); // below half a box filter is needed
    EXPECT_FALSE(PlaneScaler::handles(0, 10, 10, 10));
    PlaneScaler s;
    // The identity copies.
    Plane src = noise(90, 40, 7);
    Plane same = scaled(s, src, 90, 40);
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 90; ++x)
            ASSERT_EQ(same.at(x, y), src.at(x, y)) << x << "," << y;
    // A flat plane stays flat; the output's row padding stays as it was.
    Plane flat(50, 30);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 50; ++x)
            flat.at(x, y) = 77;
    for (const auto& [W, H] : {std::pair{133, 71}, std::pair{26, 16}}) {
        Plane big = scaled(s, flat, W, H);
        for (int y = 0; y < H; ++y) {
            for (int x = 0; x < W; ++x)
                ASSERT_EQ(big.at(x, y), 77) << x << "," << y;
            ASSERT_EQ(big.px[std::size_t(y) * big.stride + W], 0xEE);
        }
    }
    // A ramp stays a ramp: monotone, its ends clamped to the source's ends.
    Plane ramp(64, 2);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 64; ++x)
            ramp.at(x, y) = std::uint8_t(4 * x);
    Plane wide = scaled(s, ramp, 67, 2);
    EXPECT_EQ(wide.at(0, 0), 0);
    EXPECT_EQ(wide.at(66, 0), 252);
    for (int x = 1; x < 67; ++x)
        ASSERT_GE(wide.at(x, 1), wide.at(x - 1, 1)) << x;
}

TEST(PlaneScaler, TapsMapCentresOntoCentres) {
    // Twice as wide: outputs 2k and 2k+1 sit a quarter sample either side of input k.
    EXPECT_EQ(PlaneScaler::tap(0, 4, 8).index, 0);
    EXPECT_EQ(PlaneScaler::tap(0, 4, 8).fraction, 0); // clamped at the edge
    EXPECT_EQ(PlaneScaler::tap(1, 4, 8).fraction, 32);
    EXPECT_EQ(PlaneScaler::tap(2, 4, 8).index, 0);
    EXPECT_EQ(PlaneScaler::tap(2, 4, 8).fraction, 96);
    EXPECT_EQ(PlaneScaler::tap(7, 4, 8).index, 3); // clamped at the far edge
    EXPECT_EQ(PlaneScaler::tap(7, 4, 8).fraction, 0);
    // Same size: every output on its input.
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(PlaneScaler::tap(i, 9, 9).index, i);
        EXPECT_EQ(PlaneScaler::tap(i, 9, 9).fraction, 0);
    }
}

} // namespace
