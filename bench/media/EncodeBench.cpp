// Encode cost of one 1920×1080 frame at 30 fps through the movie writer, per encoder preset and
// thread count, on screen-like content (static text, a scrolling pane, a moving box).
// Counters: cpu_ms/frame is the process CPU time per frame (what several live windows share on
// this machine), wall_ms/frame the elapsed time, kbit/s the resulting bit rate.
#include "platform/MovieWriter.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <sys/resource.h>
#include <thread>

using namespace lc;
namespace fs = std::filesystem;

namespace {

constexpr int W = 1920, H = 1080, kFps = 30;

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + 1e-6 * double(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

// 60 frames of a desktop-like picture.
const std::vector<YuvFramePtr>& frames() {
    static const std::vector<YuvFramePtr> all = [] {
        std::mt19937 rng(7);
        // A page of "text": short dark runs on light rows.
        std::vector<std::uint8_t> page(std::size_t(W) * 2 * H, 235);
        for (int row = 0; row < 2 * H; row += 18)
            for (int x = 40; x < W - 40;) {
                const int word = 8 + int(rng() % 60);
                for (int y = row + 4; y < row + 14; ++y)
                    for (int k = 0; k < word && x + k < W; ++k)
                        if (rng() % 3) page[std::size_t(y) * W + std::size_t(x + k)] = 40;
                x += word + 8;
            }
        std::vector<YuvFramePtr> out;
        for (int i = 0; i < 60; ++i) {
            auto f = YuvFrame::allocate(W, H);
            for (int y = 0; y < H; ++y) {
                // Left pane static, right pane scrolls by 6 rows a frame.
                const std::uint8_t* still = &page[std::size_t(y) * W];
                const std::uint8_t* scrolled = &page[std::size_t((y + 6 * i) % (2 * H)) * W];
                std::memcpy(f->planes[0] + y * f->strides[0], still, W / 2);
                std::memcpy(f->planes[0] + y * f->strides[0] + W / 2, scrolled + W / 2, W / 2);
            }
            for (int p = 1; p < 3; ++p)
                for (int y = 0; y < H / 2; ++y) std::memset(f->planes[p] + y * f->strides[p], 128, W / 2);
            // A moving coloured box.
            const int bx = 100 + 20 * i, by = 200 + 5 * i;
            for (int y = by; y < by + 200; ++y) std::memset(f->planes[0] + y * f->strides[0] + bx, 90, 300);
            for (int y = by / 2; y < (by + 200) / 2; ++y) {
                std::memset(f->planes[1] + y * f->strides[1] + bx / 2, 200, 150);
                std::memset(f->planes[2] + y * f->strides[2] + bx / 2, 60, 150);
            }
            out.push_back(f);
        }
        return out;
    }();
    return all;
}

void encode(benchmark::State& state, VideoCodec codec, const char* preset, int threads, int count) {
    const auto& input = frames();
    const std::string path = (fs::temp_directory_path() / "lc-bench-encode.mov").string();
    double cpu = 0, wall = 0, bytes = 0;
    for (auto _ : state) {
        fs::remove(path);
        auto w = createMovieWriter(path, MovieFileType::mov).value();
        auto s = VideoSettings::forRecording(codec, W, H, kFps);
        s.preset = preset;
        s.threads = threads;
        if (!w->addVideoInput(s).ok() || !w->startWriting().ok() || !w->startSession().ok()) {
            state.SkipWithError("writer did not start");
            return;
        }
        const double c0 = cpuSeconds();
        const auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < count; ++i) {
            while (!w->appendVideo(input[std::size_t(i) % input.size()], std::int64_t(i) * 3000))
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        if (!w->finishAndWait().ok()) state.SkipWithError("finish failed");
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        cpu += cpuSeconds() - c0;
        bytes += double(fs::file_size(path));
    }
    fs::remove(path);
    const double n = double(state.iterations()) * count;
    state.counters["cpu_ms/frame"] = 1000 * cpu / n;
    state.counters["wall_ms/frame"] = 1000 * wall / n;
    state.counters["kbit/s"] = bytes * 8 / 1000 / (n / kFps);
    state.SetLabel(std::string(codec == VideoCodec::hevc ? "x265 " : "x264 ") + preset + " threads=" +
                   (threads ? std::to_string(threads) : "auto"));
}

void BM_EncodeH264(benchmark::State& state) {
    static const char* presets[] = {"ultrafast", "superfast", "veryfast", "faster"};
    encode(state, VideoCodec::h264, presets[state.range(0)], int(state.range(1)), 150);
}
BENCHMARK(BM_EncodeH264)
    ->ArgsProduct({{0, 1, 2, 3}, {1, 0}})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_EncodeHevc(benchmark::State& state) {
    static const char* presets[] = {"ultrafast", "superfast"};
    encode(state, VideoCodec::hevc, presets[state.range(0)], 0, 60);
}
BENCHMARK(BM_EncodeHevc)->DenseRange(0, 1)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
