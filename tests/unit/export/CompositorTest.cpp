#include "export/FocusCompositor.h"

#include <gtest/gtest.h>

namespace lc {
namespace {

YuvFramePtr solid(int w, int h, std::uint8_t y, std::uint8_t u, std::uint8_t v) {
    auto f = YuvFrame::allocate(w, h);
    for (int r = 0; r < h; ++r)
        std::fill_n(f->planes[0] + r * f->strides[0], w, y);
    for (int r = 0; r < h / 2; ++r) {
        std::fill_n(f->planes[1] + r * f->strides[1], w / 2, u);
        std::fill_n(f->planes[2] + r * f->strides[2], w / 2, v);
    }
    return f;
}

int lumaAt(const YuvFrame& f, int x, int y) {
    return f.planes[0][y * f.strides[0] + x];
}

TEST(FocusCompositor, TallPictureIsCentredOverItsBlurAndSameShapeIsStretched) {
    FocusCompositor c(1920, 1080);
    // 800 x 1600 into 1920 x 1080: 540 x 1080 at x = 690. The left half is dark, the right bright,
    // so the blurred bars show the picture's own edge colours.
    auto src = solid(800, 1600, 40, 128, 128);
    for (int r = 0; r < 1600; ++r)
        std::fill_n(src->planes[0] + r * src->strides[0] + 400, 400, 200);
    auto dst = YuvFrame::allocate(1920, 1080);
    c.layout(*src, *dst);
    EXPECT_EQ(lumaAt(*dst, 700, 540), 40);      // inside the picture, left half
    EXPECT_EQ(lumaAt(*dst, 1220, 540), 200);    // inside, right half
    EXPECT_NEAR(lumaAt(*dst, 100, 540), 40, 3); // left bar: the blurred, enlarged left part
    EXPECT_NEAR(lumaAt(*dst, 1820, 540), 200, 3);
    EXPECT_EQ(lumaAt(*dst, 955, 540), 40); // the picture's own middle edge stays sharp
    EXPECT_EQ(lumaAt(*dst, 965, 540), 200);

    // 1918 x 1080 differs by less than 3 pixels: stretched over the whole frame, no bars.
    auto wide = solid(1918, 1080, 90, 100, 150);
    c.layout(*wide, *dst);
    EXPECT_EQ(lumaAt(*dst, 0, 0), 90);
    EXPECT_EQ(lumaAt(*dst, 1919, 1079), 90);
    EXPECT_TRUE(c.passesThrough(*solid(1920, 1080, 0, 0, 0)));
    EXPECT_FALSE(c.passesThrough(*wide));
}

TEST(FocusCompositor, BackgroundAndDissolve) {
    FocusCompositor c(64, 36);
    auto dst = YuvFrame::allocate(64, 36);
    c.compose(nullptr, nullptr, 0, *dst);
    EXPECT_EQ(lumaAt(*dst, 10, 10), 27); // sRGB 0.05 grey in BT.709 limited range
    EXPECT_EQ(dst->planes[1][5], 128);

    auto a = solid(64, 36, 50, 100, 200), b = solid(64, 36, 150, 200, 100);
    c.compose(a.get(), b.get(), 0.5, *dst);
    EXPECT_NEAR(lumaAt(*dst, 30, 20), 100, 1);
    EXPECT_NEAR(dst->planes[1][10 * dst->strides[1] + 10], 150, 1);
    EXPECT_NEAR(dst->planes[2][10 * dst->strides[2] + 10], 150, 1);
    c.compose(a.get(), b.get(), 1.0, *dst);
    EXPECT_EQ(lumaAt(*dst, 30, 20), 150);
    c.compose(nullptr, b.get(), 0.5, *dst); // no picture: from the background
    EXPECT_NEAR(lumaAt(*dst, 30, 20), (27 + 150) / 2.0, 1);
}

TEST(FocusCompositor, BlurKeepsFlatAreasAndSoftensEdges) {
    std::vector<std::uint8_t> plane(100 * 20, 0);
    for (int r = 0; r < 20; ++r)
        std::fill_n(plane.begin() + r * 100 + 50, 50, 200);
    FocusCompositor::blurPlane(plane.data(), 100, 100, 20, 6);
    EXPECT_EQ(plane[10 * 100 + 2], 0);    // far from the edge: unchanged
    EXPECT_EQ(plane[10 * 100 + 97], 200); // edges extend, so the border stays flat too
    EXPECT_NEAR(plane[10 * 100 + 50], 100, 20);
    for (int x = 31; x < 70; ++x)
        EXPECT_LE(plane[10 * 100 + x - 1], plane[10 * 100 + x]);
}

} // namespace
} // namespace lc
