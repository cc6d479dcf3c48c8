#include "capture/BlurFill.h"
#include "export/FocusCompositor.h"

#include <algorithm>
#include <cstdlib>
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
    // A portrait picture, dark above and bright below, into a wide frame: the bars show the
    // blurred cover, flat far from the picture's edge and soft across it.
    auto src = solid(60, 80, 16, 128, 128);
    for (int r = 40; r < 80; ++r)
        std::fill_n(src->planes[0] + r * src->strides[0], 60, 235);
    auto dst = YuvFrame::allocate(320, 180);
    FocusCompositor(320, 180).layout(*src, *dst);
    EXPECT_NEAR(lumaAt(*dst, 4, 2), 16, 4);
    EXPECT_NEAR(lumaAt(*dst, 315, 177), 235, 4);
    EXPECT_NEAR(lumaAt(*dst, 4, 90), (16 + 235) / 2, 40);
    for (int y = 31; y < 150; ++y)
        ASSERT_LE(lumaAt(*dst, 4, y - 1), lumaAt(*dst, 4, y)) << y;
    EXPECT_LT(lumaAt(*dst, 4, 60), lumaAt(*dst, 4, 120) - 60); // a gradient, not a step at one row
    EXPECT_GT(lumaAt(*dst, 4, 70), 30);
}

} // namespace
} // namespace lc

namespace lc {
namespace {

// A captured window of the given size: colour bands and gradients, so that any difference in
// scaling, blurring or cropping shows.
BgraFramePtr pattern(int w, int h) {
    auto f = BgraFrame::allocate(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint8_t* p = f->data + std::ptrdiff_t(y) * f->stride + 4 * x;
            p[0] = std::uint8_t((x * 255) / w);
            p[1] = std::uint8_t(((y / 40) % 2) ? 220 : 30);
            p[2] = std::uint8_t((y * 255) / h);
            p[3] = 255;
        }
    return f;
}

struct Difference {
    double mean = 0;
    int max = 0;
};

// Over the whole frame, or (with `fg`) over the foreground or the background alone.
Difference compare(const YuvFrame& a, const YuvFrame& b, const BlurFillLayout* fg = nullptr,
                   bool inside = false) {
    Difference d;
    double sum = 0;
    std::size_t n = 0;
    for (int p = 0; p < 3; ++p) {
        const int w = p ? a.width / 2 : a.width, h = p ? a.height / 2 : a.height;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                if (fg) {
                    const int s = p ? 2 : 1, X = x * s, Y = y * s;
                    // Two pixels of margin: the foreground's scaled edge belongs to neither.
                    const bool in = X >= fg->fgX - 2 && X < fg->fgX + fg->fgWidth + 2 && Y >= fg->fgY - 2 &&
                                    Y < fg->fgY + fg->fgHeight + 2;
                    const bool core = X >= fg->fgX + 2 && X < fg->fgX + fg->fgWidth - 2 && Y >= fg->fgY + 2 &&
                                      Y < fg->fgY + fg->fgHeight - 2;
                    if (inside ? !core : in) continue;
                }
                const int v =
                    std::abs(int(a.planes[p][y * a.strides[p] + x]) - int(b.planes[p][y * b.strides[p] + x]));
                sum += v;
                d.max = std::max(d.max, v);
                ++n;
            }
    }
    d.mean = n ? sum / double(n) : 0.0;
    return d;
}

TEST(FocusCompositor, FillMatchesTheRecordersPixelForPixel) {
    // A portrait window, a wide one and one far larger than the frame (the recorder reduces it
    // before converting), each into a 1920 x 1080 and a 1080 x 1920 frame.
    for (const auto& [w, h] : {std::pair{540, 960}, std::pair{1600, 500}, std::pair{4000, 1000}}) {
        for (const auto& [W, H] : {std::pair{1920, 1080}, std::pair{1080, 1920}}) {
            const BgraFramePtr window = pattern(w, h);
            // What the recorder writes: the fill straight from the captured pixels.
            BlurFill recorder(W, H);
            auto recorded = YuvFrame::allocate(W, H);
            recorder.render(*window, *recorded);
            // What the exporter gets: the same window as an I420 picture at its own size.
            BlurFill sameSize(w, h);
            auto decoded = YuvFrame::allocate(w, h);
            sameSize.render(*window, *decoded);
            auto exported = YuvFrame::allocate(W, H);
            FocusCompositor(W, H).layout(*decoded, *exported);
            const Difference d = compare(*recorded, *exported);
            const BlurFillLayout L = BlurFill::layout(w, h, W, H);
            const Difference bg = compare(*recorded, *exported, &L, false),
                             fgd = compare(*recorded, *exported, &L, true);
            const std::string what = std::to_string(w) + "x" + std::to_string(h) + " in " +
                                     std::to_string(W) + "x" + std::to_string(H);
            // The blurred fill: the same to a rounding step or two everywhere (a box blur over a
            // crop differed by up to 24).
            EXPECT_LT(bg.mean, 1.3) << what;
            EXPECT_LE(bg.max, 4) << what;
            // The picture itself: only the order of colour conversion and scaling differs.
            EXPECT_LT(fgd.mean, 1.5) << what;
            EXPECT_LT(d.mean, 1.5) << what;
        }
    }
}

} // namespace
} // namespace lc
