// Cost of capturing one 1920×1080 window frame the way capture streams do (Composite pixmap read
// through MIT-SHM into a pooled frame, alpha made opaque), with and without the pointer drawn in,
// and the conversion a depth-30 window's pixels need.
// Needs an X display: run through bench/x11/run (or scripts/test-env run -- THIS).
#include "platform/x11/FrameGrabber.h"
#include "platform/x11/Grabber.h"

#include <QProcess>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

std::uint32_t window = 0;
int serverPid = 0;

// The X server started next to us by the test environment (a sibling process named Xvfb).
int findServer() {
    DIR* proc = opendir("/proc");
    if (!proc) return 0;
    int found = 0;
    while (dirent* e = readdir(proc)) {
        const int pid = std::atoi(e->d_name);
        if (pid <= 0) continue;
        std::ifstream in("/proc/" + std::string(e->d_name) + "/stat");
        std::string line;
        std::getline(in, line);
        const auto close = line.rfind(')');
        if (close == std::string::npos || line.find("(Xvfb)") == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 2));
        char state;
        int ppid = 0;
        rest >> state >> ppid;
        if (ppid == getppid()) found = pid;
    }
    closedir(proc);
    return found;
}

// CPU seconds the process has used (user + system).
double cpuOf(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(in, line);
    const auto close = line.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    double utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::stod(field);
        if (i == 15) stime = std::stod(field);
    }
    return (utime + stime) / double(sysconf(_SC_CLK_TCK));
}

void grab(benchmark::State& state, bool cursor) {
    auto g = lc::x11::FrameGrabber::open(window);
    if (!g) {
        state.SkipWithError(g.error().message.c_str());
        return;
    }
    const double server0 = serverPid ? cpuOf(serverPid) : 0;
    for (auto _ : state) {
        auto f = g.value()->grab(cursor);
        if (!f) {
            state.SkipWithError(f.error().message.c_str());
            return;
        }
        benchmark::DoNotOptimize(f.value()->data);
    }
    // The X server copies the pixels into the shared memory: its CPU is part of the cost.
    if (serverPid)
        state.counters["server_ms"] = 1000 * (cpuOf(serverPid) - server0) / double(state.iterations());
}

void BM_Capture1080p(benchmark::State& state) {
    grab(state, false);
}
void BM_Capture1080pWithCursor(benchmark::State& state) {
    grab(state, true);
}

// The part of a capture spent making depth-24 pixels opaque.
void BM_ForceOpaque1080p(benchmark::State& state) {
    std::vector<std::uint8_t> px(1920 * 1080 * 4);
    for (auto _ : state) {
        lc::x11::forceOpaque(px.data(), 1920 * 4, 1920, 1080);
        benchmark::DoNotOptimize(px.data());
    }
}

// The same for a depth-30 window: 10-bit channels cut to 8 (instead of the above).
void BM_TenBitToBgra1080p(benchmark::State& state) {
    std::vector<std::uint8_t> px(1920 * 1080 * 4);
    for (auto _ : state) {
        lc::x11::toOpaqueBgra(lc::x11::PixelLayout::x2r10g10b10, px.data(), 1920 * 4, 1920, 1080);
        benchmark::DoNotOptimize(px.data());
    }
}

BENCHMARK(BM_Capture1080p)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Capture1080pWithCursor)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ForceOpaque1080p)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TenBitToBgra1080p)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fprintf(stderr, "bench_x11_capture: needs an X display (bench/x11/run)\n");
        return 1;
    }
    QProcess w;
    w.start(LC_TEST_WINDOW,
            {"--title", "bench", "--size", "1920x1080", "--pos", "0,0", "--animate", "--fps", "30"});
    if (!w.waitForReadyRead(20000)) {
        std::fprintf(stderr, "bench_x11_capture: the test window did not come up\n");
        return 1;
    }
    window = w.readLine().trimmed().toUInt();
    serverPid = findServer();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    w.terminate();
    w.waitForFinished();
    return 0;
}
