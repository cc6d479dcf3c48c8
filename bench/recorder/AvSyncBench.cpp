// A/V sync of a long recording: a test window flashes and clicks at the same instant every
// period; the recorder records it with its application audio; the file is read back and every
// flash is paired with its click. Prints the offset (audio minus picture: > 0 is audio late), its
// spread and its drift per minute, and where each side sits against the instants the window
// was told (picture and sound on the shared clock).
//
//   bench_av_sync [--seconds S] [--fps F] [--period P] [--keep]
#include "FlashClick.h"
#include "MediaProbe.h"
#include "capture/WindowRecorder.h"
#include "common/Clock.h"
#include "platform/x11/X11Desktop.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <cstdio>
#include <thread>

using namespace lc;
namespace fc = lc::test::flashclick;

namespace {

[[noreturn]] void usage(const char* why) {
    std::fprintf(stderr, "bench_av_sync: %s\n", why);
    std::exit(2);
}

void print(const char* what, const fc::Summary& s) {
    std::printf(
        "%s: %d pairs, mean %+.1f ms, deviation %.1f ms, range %+.1f … %+.1f ms (%.1f ms), drift %+.2f "
        "ms/min\n",
        what, s.count, 1000 * s.mean, 1000 * s.deviation, 1000 * s.min, 1000 * s.max, 1000 * (s.max - s.min),
        1000 * s.driftPerMinute);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int seconds = 120, fps = 30;
    double period = 1.013; // not a multiple of a frame: the flashes fall everywhere between two slots
    bool keep = false;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        auto value = [&] {
            if (i + 1 >= args.size()) usage("missing value");
            return args[++i].toDouble();
        };
        if (args[i] == "--seconds")
            seconds = int(value());
        else if (args[i] == "--fps")
            fps = int(value());
        else if (args[i] == "--period")
            period = value();
        else if (args[i] == "--keep")
            keep = true;
        else
            usage(qPrintable("unknown option " + args[i]));
    }
    if (seconds < 5 || fps < 1 || period < 0.3) usage("--seconds ≥ 5, --fps ≥ 1, --period ≥ 0.3");
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    QTemporaryDir dir;
    dir.setAutoRemove(!keep);
    if (keep) std::printf("files in %s\n", qPrintable(dir.path()));
    auto desktop = x11::X11Desktop::connect();
    if (!desktop) usage(desktop.error().message.c_str());

    const double firstFlash = uptime() + 2.0;
    QProcess window;
    window.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    window.start(LC_TEST_WINDOW, {"--pos", "0,0", "--size", "640x360", "--flash", QString::number(period),
                                  "--flash-at", QString::number(firstFlash, 'f', 6)});
    if (!window.waitForReadyRead(10000)) usage("test-window did not start");
    const std::uint32_t id = window.readLine().trimmed().toUInt();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::optional<ShareableWindow> shareable;
    if (auto content = (*desktop)->shareableContent(false))
        for (const auto& w : content->windows)
            if (w.windowID == id) shareable = w;
    if (!shareable || !shareable->owningApplication) usage("the test window is not listed with its process");

    WindowRecorder::Services services;
    services.capture = desktop->get();
    services.audio = systemAudio();
    services.makeWriter = [](const std::string& path, MovieFileType type) {
        return createMovieWriter(path, type);
    };
    WindowRecorder recorder(std::move(services));
    WindowRecorder::StartOptions o;
    o.window = *shareable;
    o.preset = Preset{"Custom", 640, 360};
    o.fps = fps;
    o.appAudio = true;
    o.path = dir.filePath("flash.mov").toStdString();
    if (auto started = recorder.startAndWait(o); !started) usage(started.error().message.c_str());
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double duration = recorder.stopAndWait();
    window.terminate();
    window.waitForFinished(5000);
    const auto stats = recorder.stats();
    const double origin = recorder.firstFrameUptime().value_or(0);

    const test::ProbedFile f = test::probeFile(o.path);
    const test::ProbedStream* v = f.first("video");
    if (!f.opened || !v) usage(("cannot read the recording: " + f.error).c_str());
    std::vector<std::int64_t> pts = v->pts;
    std::sort(pts.begin(), pts.end());
    std::vector<double> times;
    std::size_t changes = 0;
    for (std::size_t i = 0; i < pts.size(); ++i) {
        times.push_back(double(pts[i]) / double(v->timeBaseDen));
        if (i >= 2 && pts[i] - pts[i - 1] != pts[i - 1] - pts[i - 2]) ++changes;
    }
    std::printf(
        "recording: %d s at %d fps, duration %.3f s, %zu frames, packet duration changes %zu, ticks %llu, "
        "skipped %llu\n",
        seconds, fps, duration, pts.size(), changes, (unsigned long long)stats.ticks,
        (unsigned long long)stats.skippedTicks);

    const auto flashes = fc::flashTimes(fc::pictureBrightness(QString::fromStdString(o.path)), times);
    const auto clicks = fc::clickTimes(test::decodeAudioTrack(o.path, 0));
    const auto pairs = fc::pairUp(flashes, clicks);
    std::printf("flashes %zu, clicks %zu\n", flashes.size(), clicks.size());
    print("offset audio - picture", fc::summarise(pairs));

    // Each side against the instant the window was told to flash and click.
    std::vector<fc::Pair> picture, sound;
    auto told = [&](double fileTime) {
        const double at = origin + fileTime;
        return firstFlash + std::round((at - firstFlash) / period) * period - origin;
    };
    for (double t : flashes)
        picture.push_back({told(t), t});
    for (double t : clicks)
        sound.push_back({told(t), t});
    print("picture - told instant", fc::summarise(picture));
    print("sound - told instant", fc::summarise(sound));
    return pairs.empty() ? 1 : 0;
}
