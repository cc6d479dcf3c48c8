// Per-buffer cost of the audio steps that run for every 10 ms of sound.
#include "capture/MicMonitor.h"
#include "platform/pulse/AudioMixer.h"

#include <benchmark/benchmark.h>

namespace {

lc::AudioChunk chunk(double t) {
    lc::AudioChunk c;
    c.hostTime = t;
    c.samples.resize(480 * 2);
    for (std::size_t i = 0; i < c.samples.size(); ++i)
        c.samples[i] = std::int16_t((i * 37) % 20000 - 10000);
    return c;
}

// One application stream (the common case) and three at once, per 10 ms of sound.
void BM_MixerStreams(benchmark::State& state) {
    const int streams = int(state.range(0));
    std::size_t out = 0;
    lc::pulse::AudioMixer mixer([&](lc::AudioChunk c) { out += c.frameCount(); });
    const lc::AudioChunk c = chunk(0);
    double t = 100.0;
    for (auto _ : state) {
        for (int s = 0; s < streams; ++s) {
            lc::AudioChunk k = c;
            k.hostTime = t;
            mixer.add(s, k);
        }
        t += 0.01;
    }
    benchmark::DoNotOptimize(out);
}
BENCHMARK(BM_MixerStreams)->Arg(1)->Arg(3);

void BM_Level(benchmark::State& state) {
    const lc::AudioChunk c = chunk(0);
    for (auto _ : state)
        benchmark::DoNotOptimize(lc::MicMonitor::level(c.samples));
}
BENCHMARK(BM_Level);

} // namespace

BENCHMARK_MAIN();
