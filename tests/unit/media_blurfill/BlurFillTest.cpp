// Blur fill: the geometry of every case, checked on the pixels it writes, and its cache.
#include "capture/BlurFill.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace lc;

namespace {

struct Bgr {
    std::uint8_t b, g, r;
};

// Black, with white strips of `strip` pixels at the left and right edges.
std::shared_ptr<BgraFrame> stripes(int w, int h, int strip, std::uint64_t serial = 1) {
    auto f = BgraFrame::allocate(w, h);
    f->serial = serial;
    for (int y = 0; y < h; ++y) {
        std::uint8_t* row = f->row(y);
        for (int x = 0; x < w; ++x) {
            const std::uint8_t v = (x < strip || x >= w - strip) ? 255 : 0;
            row[4 * x] = row[4 * x + 1] = row[4 * x + 2] = v;
            row[4 * x + 3] = 255;
        }
    }
    return f;
}

std::shared_ptr<BgraFrame> solid(int w, int h, Bgr c) {
    auto f = BgraFrame::allocate(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint8_t* p = f->row(y) + 4 * x;
            p[0] = c.b, p[1] = c.g, p[2] = c.r, p[3] = 255;
        }
    return f;
}

int luma(const YuvFrame& f, int x, int y) {
    return f.planes[0][y * f.strides[0] + x];
}

YuvFramePtr render(const BgraFrame& src, int W, int H) {
    auto out = YuvFrame::allocate(W, H);
    BlurFill(W, H).render(src, *out);
    return out;
}

} // namespace

TEST(BlurFillLayout, GeometryOfEachCase) {
    // Wider preset than the window: fitted by height, blurred bars left and right.
    auto l = BlurFill::layout(1600, 1200, 1920, 1080);
    EXPECT_FALSE(l.stretch);
    EXPECT_DOUBLE_EQ(l.fitScale, 0.9);
    EXPECT_DOUBLE_EQ(l.coverScale, 1.2);
    EXPECT_EQ(l.fgX, 240);
    EXPECT_EQ(l.fgY, 0);
    EXPECT_EQ(l.fgWidth, 1440);
    EXPECT_EQ(l.fgHeight, 1080);
    EXPECT_DOUBLE_EQ(l.smallWidth, 320);
    EXPECT_DOUBLE_EQ(l.smallHeight, 180);
    EXPECT_DOUBLE_EQ(l.coverWidth, 320);
    EXPECT_DOUBLE_EQ(l.coverHeight, 240);
    EXPECT_DOUBLE_EQ(l.coverX, 0);
    EXPECT_DOUBLE_EQ(l.coverY, -30);
    EXPECT_EQ(l.sigma, 6);

    // Tall window: centred at round((1920 − 540) / 2).
    l = BlurFill::layout(800, 1600, 1920, 1080);
    EXPECT_FALSE(l.stretch);
    EXPECT_EQ(l.fgX, 690);
    EXPECT_EQ(l.fgWidth, 540);
    EXPECT_EQ(l.fgHeight, 1080);

    // Same shape, or under 3 free pixels on both axes: stretched.
    EXPECT_TRUE(BlurFill::layout(2880, 1620, 1920, 1080).stretch);
    EXPECT_TRUE(BlurFill::layout(1918, 1080, 1920, 1080).stretch);
    EXPECT_FALSE(BlurFill::layout(1917, 1080, 1920, 1080).stretch) << "3 free pixels is a blur fill";

    // Halves round away from zero: 481 free pixels put the picture at 241.
    l = BlurFill::layout(1439, 1080, 1920, 1080);
    EXPECT_EQ(l.fgX, 241);
    EXPECT_EQ(l.fgWidth, 1439);
}

TEST(BlurFillRender, ForegroundSitsOnItsPixelsOverBlurredBars) {
    // 40-pixel white strips become 36 pixels at scale 0.9.
    auto out = render(*stripes(1600, 1200, 40), 1920, 1080);
    for (int y : {0, 540, 1079}) {
        EXPECT_GT(luma(*out, 240, y), 225) << "foreground starts at x = 240, row " << y;
        EXPECT_GT(luma(*out, 1679, y), 225) << "and ends at 1679";
        EXPECT_LT(luma(*out, 239, y), 110) << "bar left of it";
        EXPECT_LT(luma(*out, 1680, y), 110) << "bar right of it";
        EXPECT_LT(luma(*out, 277, y), 30) << "black picture inside";
    }
    // The bars are the picture's white edge, enlarged and blurred: bright at the frame's edge,
    // fading smoothly inwards, never black.
    const int a = luma(*out, 2, 540), b = luma(*out, 60, 540), c = luma(*out, 120, 540),
              d = luma(*out, 200, 540);
    EXPECT_GT(a, 120);
    EXPECT_GT(a, b);
    EXPECT_GT(b, c);
    EXPECT_GE(c, d);
    EXPECT_GT(b, 40);
    EXPECT_GT(luma(*out, 1917, 540), 120) << "right bar mirrors the right strip";
}

TEST(BlurFillRender, TallWindowIsCentredWithBarsBothSides) {
    auto out = render(*stripes(800, 1600, 20), 1920, 1080);
    EXPECT_GT(luma(*out, 690, 540), 225);
    EXPECT_LT(luma(*out, 689, 540), 110);
    EXPECT_GT(luma(*out, 1229, 540), 225);
    EXPECT_LT(luma(*out, 1230, 540), 110);
    EXPECT_GT(luma(*out, 0, 540), 60) << "blurred white edge, enlarged 2.4×, reaches the frame's edge";
}

TEST(BlurFillRender, OddOffsetKeepsExactLumaEdges) {
    auto out = render(*stripes(1439, 1080, 10), 1920, 1080);
    EXPECT_LT(luma(*out, 240, 300), 110);
    EXPECT_GT(luma(*out, 241, 300), 225);
    EXPECT_GT(luma(*out, 1679, 300), 225);
    EXPECT_LT(luma(*out, 1680, 300), 110);
}

TEST(BlurFillRender, OddSizedSmallWindowKeepsItsLastColumnAndRow) {
    // 301 x 211, black with a white last column and row, enlarged into 640 x 360: 514 x 360 at 63.
    auto src = solid(301, 211, {0, 0, 0});
    for (int y = 0; y < 211; ++y)
        std::memset(src->row(y) + 4 * 300, 255, 4);
    std::memset(src->row(210), 255, 4 * 301);
    auto out = render(*src, 640, 360);
    const BlurFillLayout l = BlurFill::layout(301, 211, 640, 360);
    ASSERT_EQ(l.fgWidth, 514);
    EXPECT_GT(luma(*out, l.fgX + l.fgWidth - 1, 100), 225);
    EXPECT_GT(luma(*out, 300, l.fgY + l.fgHeight - 1), 225);
    EXPECT_LT(luma(*out, l.fgX + 10, 100), 30);
    // Grey everywhere: no chroma left over from a half-filled edge.
    for (int p = 1; p < 3; ++p)
        for (int y = 0; y < 180; y += 7)
            for (int x = 0; x < 320; x += 5)
                ASSERT_NEAR(out->planes[p][y * out->strides[p] + x], 128, 2) << p << " " << x << "," << y;
}

TEST(BlurFillRender, NearlySameShapeIsStretchedToFill) {
    auto out = render(*stripes(1918, 1080, 4), 1920, 1080);
    for (int y : {0, 540, 1079}) {
        EXPECT_GT(luma(*out, 0, y), 225);
        EXPECT_GT(luma(*out, 1919, y), 225) << "no bar: the picture reaches both edges";
        EXPECT_LT(luma(*out, 960, y), 30);
    }
    auto same = render(*stripes(2880, 1620, 6), 1920, 1080);
    EXPECT_GT(luma(*same, 0, 10), 225);
    EXPECT_GT(luma(*same, 1919, 10), 225);
    EXPECT_LT(luma(*same, 5, 10), 30) << "6 pixels become 4";
    // An exact 3/4 reduction takes the planar route.
    auto threeQuarters = render(*stripes(2560, 1440, 8), 1920, 1080);
    for (int y : {0, 540, 1079}) {
        EXPECT_GT(luma(*threeQuarters, 4, y), 225) << "8 pixels become 6";
        EXPECT_GT(luma(*threeQuarters, 1915, y), 225);
        EXPECT_LT(luma(*threeQuarters, 8, y), 30);
        EXPECT_LT(luma(*threeQuarters, 960, y), 30);
    }
}

TEST(BlurFillRender, WritesBt709LimitedRange) {
    struct Case {
        Bgr colour;
        int y, u, v;
    };
    // BT.709 (a BT.601 matrix would give red Y = 81).
    for (auto c :
         {Case{{0, 0, 255}, 63, 102, 240}, Case{{0, 255, 0}, 173, 42, 26}, Case{{255, 0, 0}, 32, 240, 118},
          Case{{255, 255, 255}, 235, 128, 128}, Case{{0, 0, 0}, 16, 128, 128}}) {
        // 34 pixels: two vector steps and a scalar tail, which must agree.
        auto out = render(*solid(34, 32, c.colour), 34, 32);
        for (int x : {0, 33}) {
            EXPECT_NEAR(luma(*out, x, 10), c.y, 1);
            EXPECT_NEAR(out->planes[1][5 * out->strides[1] + x / 2], c.u, 1);
            EXPECT_NEAR(out->planes[2][5 * out->strides[2] + x / 2], c.v, 1);
        }
        EXPECT_EQ(luma(*out, 0, 10), luma(*out, 33, 10));
    }
}

TEST(BlurFillCompose, RepeatedFrameIsServedFromTheCache) {
    BlurFill fill(640, 360);
    auto a = stripes(400, 400, 20, 1);
    auto first = fill.compose(a);
    ASSERT_TRUE(first);
    EXPECT_EQ(fill.compose(a), first) << "the same frame again: the same output";
    EXPECT_EQ(fill.renderCount(), 1u);

    auto b = stripes(400, 400, 100, 2);
    auto second = fill.compose(b);
    ASSERT_TRUE(second);
    EXPECT_NE(second, first);
    EXPECT_EQ(fill.renderCount(), 2u);

    // The same storage handed out again by a capture pool is a new frame.
    b->serial = 3;
    EXPECT_NE(fill.compose(b), second);
    EXPECT_EQ(fill.renderCount(), 3u);
    EXPECT_EQ(fill.compose(nullptr), nullptr);
}

TEST(BlurFillCompose, NoFreeOutputFrameGivesNothing) {
    int handed = 0;
    BlurFill fill(64, 64, [&]() -> YuvFramePtr { return handed++ ? nullptr : YuvFrame::allocate(64, 64); });
    EXPECT_TRUE(fill.compose(stripes(100, 50, 5, 1)));
    EXPECT_FALSE(fill.compose(stripes(100, 50, 5, 2)));
    // A frame of the wrong size is refused as well.
    BlurFill wrong(64, 64, [] { return YuvFrame::allocate(32, 32); });
    EXPECT_FALSE(wrong.compose(stripes(100, 50, 5, 1)));
}
