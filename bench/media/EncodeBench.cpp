// Encode cost of one 1920×1080 frame at 30 fps through the movie writer, per encoder preset and
// thread count, on screen-like content (static text, a scrolling pane, a moving box).
// Counters: cpu_ms/frame is the process CPU time per frame (what several live windows share on
// this machine), wall_ms/frame the elapsed time, kbit/s the resulting bit rate and psnr_dB the
// mean luma PSNR of the decoded file against its input (quality at the recording bit rate).
#include "platform/MovieWriter.h"

#include <benchmark/benchmark.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <random>
#include <sys/resource.h>

using namespace lc;
namespace fs = std::filesystem;

namespace {

constexpr int W = 1920, H = 1080, kFps = 30;

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           1e-6 * double(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
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
                for (int y = 0; y < H / 2; ++y)
                    std::memset(f->planes[p] + y * f->strides[p], 128, W / 2);
            // A moving coloured box.
            const int bx = 100 + 20 * i, by = 200 + 5 * i;
            for (int y = by; y < by + 200; ++y)
                std::memset(f->planes[0] + y * f->strides[0] + bx, 90, 300);
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

// Mean luma PSNR of the written file against the frames that went in (frame i is input i mod n).
double lumaPsnr(const std::string& path, const std::vector<YuvFramePtr>& input) {
    AVFormatContext* in = nullptr;
    if (avformat_open_input(&in, path.c_str(), nullptr, nullptr) < 0) return 0;
    avformat_find_stream_info(in, nullptr);
    const AVStream* st = in->streams[0];
    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    AVCodecContext* dec = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(dec, st->codecpar);
    avcodec_open2(dec, codec, nullptr);
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    double sum = 0;
    int n = 0;
    auto compare = [&] {
        while (avcodec_receive_frame(dec, frame) >= 0) {
            const YuvFrame& ref = *input[std::size_t(n) % input.size()];
            double se = 0;
            for (int y = 0; y < H; ++y) {
                const std::uint8_t* a = frame->data[0] + y * frame->linesize[0];
                const std::uint8_t* b = ref.planes[0] + y * ref.strides[0];
                for (int x = 0; x < W; ++x)
                    se += double((a[x] - b[x]) * (a[x] - b[x]));
            }
            const double mse = se / (double(W) * H);
            sum += mse > 0 ? 10 * std::log10(255.0 * 255.0 / mse) : 99;
            ++n;
        }
    };
    while (av_read_frame(in, pkt) >= 0) {
        if (pkt->stream_index == 0 && avcodec_send_packet(dec, pkt) >= 0) compare();
        av_packet_unref(pkt);
    }
    avcodec_send_packet(dec, nullptr);
    compare();
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&dec);
    avformat_close_input(&in);
    return n ? sum / n : 0;
}

void encode(benchmark::State& state, VideoCodec codec, const char* preset, int threads, int count,
            bool still = false) {
    const std::vector<YuvFramePtr> input = still ? std::vector<YuvFramePtr>{frames()[0]} : frames();
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
            w->waitUntilReady(0, 10);
            w->appendVideo(input[std::size_t(i) % input.size()], std::int64_t(i) * 3000);
        }
        if (!w->finishAndWait().ok()) state.SkipWithError("finish failed");
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        cpu += cpuSeconds() - c0;
        bytes += double(fs::file_size(path));
    }
    state.counters["psnr_dB"] = lumaPsnr(path, input);
    fs::remove(path);
    const double n = double(state.iterations()) * count;
    state.counters["cpu_ms/frame"] = 1000 * cpu / n;
    state.counters["wall_ms/frame"] = 1000 * wall / n;
    state.counters["kbit/s"] = bytes * 8 / 1000 / (n / kFps);
    state.SetLabel(std::string(codec == VideoCodec::hevc ? "x265 " : "x264 ") + preset +
                   " threads=" + std::to_string(threads) + (still ? " still window" : ""));
}

void BM_EncodeH264(benchmark::State& state) {
    static const char* presets[] = {"ultrafast", "superfast", "veryfast", "faster"};
    encode(state, VideoCodec::h264, presets[state.range(0)], int(state.range(1)), 150);
}
BENCHMARK(BM_EncodeH264)
    ->ArgsProduct({{0, 1, 2, 3}, {1, 3}}) // 3 threads: x264's own choice on 2 cores
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// A window that does not change: the timer repeats its last frame.
void BM_EncodeH264Still(benchmark::State& state) {
    static const char* presets[] = {"ultrafast", "superfast", "veryfast"};
    encode(state, VideoCodec::h264, presets[state.range(0)], 1, 150, true);
}
BENCHMARK(BM_EncodeH264Still)->DenseRange(0, 2)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_EncodeHevc(benchmark::State& state) {
    static const char* presets[] = {"ultrafast", "superfast"};
    encode(state, VideoCodec::hevc, presets[state.range(0)], 2, 60);
}
BENCHMARK(BM_EncodeHevc)->DenseRange(0, 1)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
