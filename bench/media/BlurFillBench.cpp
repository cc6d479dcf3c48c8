// Composition of a captured BGRA frame into a 1920×1080 output frame (budget: 3 ms).
#include "capture/BlurFill.h"

#include <benchmark/benchmark.h>

using namespace lc;

namespace {

std::shared_ptr<BgraFrame> pattern(int w, int h) {
    auto f = BgraFrame::allocate(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint8_t* p = f->row(y) + 4 * x;
            p[0] = std::uint8_t(x * 255 / w);
            p[1] = std::uint8_t(y * 255 / h);
            p[2] = ((x / 16 + y / 16) & 1) ? 220 : 40;
            p[3] = 255;
        }
    return f;
}

// A new captured frame every iteration (a changing window): full render each time.
void BM_Compose(benchmark::State& state) {
    const int w = int(state.range(0)), h = int(state.range(1));
    auto src = pattern(w, h);
    BlurFill fill(1920, 1080);
    std::uint64_t serial = 0;
    for (auto _ : state) {
        src->serial = ++serial;
        benchmark::DoNotOptimize(fill.compose(src));
    }
    state.SetLabel(std::to_string(w) + "x" + std::to_string(h) + " -> 1920x1080");
}
BENCHMARK(BM_Compose)
    ->Args({2560, 1440})
    ->Args({800, 1600})
    ->Args({1600, 1200})
    ->Args({1280, 1024})
    ->Args({2160, 3840})
    ->Args({1920, 1080})
    ->Unit(benchmark::kMillisecond);

// The timer repeating a static window's frame.
void BM_ComposeRepeat(benchmark::State& state) {
    auto src = pattern(800, 1600);
    BlurFill fill(1920, 1080);
    fill.compose(src);
    for (auto _ : state)
        benchmark::DoNotOptimize(fill.compose(src));
}
BENCHMARK(BM_ComposeRepeat)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
