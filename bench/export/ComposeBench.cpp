// Cost of one 1920x1080 output frame of the final video, per kind of frame.
#include "export/FocusCompositor.h"

#include <benchmark/benchmark.h>
#include <cstring>

namespace {

lc::YuvFramePtr pattern(int w, int h) {
    auto f = lc::YuvFrame::allocate(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            f->planes[0][y * f->strides[0] + x] = std::uint8_t((x ^ y) & 0xff);
    for (int p = 1; p < 3; ++p)
        for (int y = 0; y < h / 2; ++y)
            std::memset(f->planes[p] + y * f->strides[p], 100 + 40 * p, w / 2);
    return f;
}

void compose(benchmark::State& state, int w, int h, bool dissolve) {
    const lc::FocusCompositor c(1920, 1080);
    auto src = pattern(w, h), other = pattern(1920, 1080), dst = lc::YuvFrame::allocate(1920, 1080);
    for (auto _ : state) {
        c.compose(src.get(), dissolve ? other.get() : nullptr, 0.5, *dst);
        benchmark::DoNotOptimize(dst->planes[0][0]);
    }
}

void BM_Portrait(benchmark::State& s) {
    compose(s, 1080, 1920, false);
}
void BM_FourByThree(benchmark::State& s) {
    compose(s, 1280, 1024, false);
}
void BM_SameShapeScaled(benchmark::State& s) {
    compose(s, 2880, 1620, false);
}
void BM_DissolvePortraitToSameSize(benchmark::State& s) {
    compose(s, 1080, 1920, true);
}

BENCHMARK(BM_Portrait)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FourByThree)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SameShapeScaled)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DissolvePortraitToSameSize)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
