// CPU cost of live capture on the sound server of the environment (scripts/test-env): this
// process's CPU time per second of capture, for the microphone back end alone, the whole
// microphone monitor (meter, M4A file, one subscriber) and one application's audio.
//
//   bench_audio_capture [SECONDS]
#include "capture/MicMonitor.h"
#include "common/Clock.h"
#include "platform/Audio.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <future>
#include <thread>

namespace {

double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

void report(const char* what, double cpu, double wall, double sound) {
    std::printf("%-42s %6.2f %% of one core  (%.1f ms CPU per second of sound, %.1f s captured)\n", what,
                100 * cpu / wall, 1000 * cpu / sound, sound);
}

} // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    auto audio = lc::systemAudio();

    {
        std::atomic<std::size_t> frames{0};
        const double c0 = cpuSeconds(), w0 = lc::uptime();
        auto capture =
            audio->captureMicrophone(std::nullopt, {[&](lc::AudioChunk c) { frames += c.frameCount(); }, {}});
        if (!capture) {
            std::fprintf(stderr, "bench_audio_capture: %s\n", capture.error().message.c_str());
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        (*capture)->stop();
        report("microphone capture (back end)", cpuSeconds() - c0, lc::uptime() - w0, frames / 48000.0);
    }
    {
        QTemporaryDir dir;
        lc::MicMonitor mic(audio, lc::createMovieWriter);
        std::atomic<std::size_t> frames{0};
        std::atomic<int> levels{0};
        mic.setOnLevel([&](float) { ++levels; });
        const double c0 = cpuSeconds(), w0 = lc::uptime();
        std::promise<bool> started;
        mic.start(std::nullopt, [&](bool ok) { started.set_value(ok); });
        if (!started.get_future().get()) return 1;
        mic.subscribe(QUuid::createUuid(), [&](const auto& c) { frames += c->frameCount(); });
        mic.startFile(QDir(dir.path()).filePath("Mic.m4a").toStdString());
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        auto span = mic.finishFile();
        span.waitForFinished();
        mic.stop();
        report("microphone monitor (meter, M4A, subscriber)", cpuSeconds() - c0, lc::uptime() - w0,
               frames / 48000.0);
    }
    {
        QProcess window;
        window.start(QStringLiteral(LC_TEST_WINDOW), {"--title", "bench-tone", "--tone", "440"});
        window.waitForStarted();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        std::atomic<std::size_t> frames{0};
        const double c0 = cpuSeconds(), w0 = lc::uptime();
        auto capture = audio->captureApplication(int(window.processId()),
                                                 {[&](lc::AudioChunk c) { frames += c.frameCount(); }, {}});
        if (!capture) return 1;
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        (*capture)->stop();
        report("application audio (one stream)", cpuSeconds() - c0, lc::uptime() - w0, frames / 48000.0);
        window.terminate();
        window.waitForFinished();
    }
    return 0;
}
