// Live recording cost: N animated test windows recorded at once by WindowRecorder, then
// `ffmpeg -f x11grab … -c:v libx264 -preset ultrafast` recording the first of them for as long.
// Prints timer ticks and skipped ticks per recorder, CPU seconds per window-second for both, and
// their ratio. The X server's own CPU (capture work happens there for both) is shown beside.
//
//   bench_recorder [--seconds S] [--windows N] [--fps F] [--xserver-pid PID] [--keep]
#include "capture/WindowRecorder.h"
#include "common/Clock.h"
#include "platform/x11/X11Desktop.h"

#include <QCoreApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

using namespace lc;

namespace {

double selfCpu() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// utime + stime of another process, seconds (0 when unknown).
double processCpu(int pid) {
    if (pid <= 0) return 0;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = all.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream rest(all.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; rest >> field; ++i) {
        if (i == 14 || i == 15) ticks += std::stod(field);
        if (i == 15) break;
    }
    return ticks / double(sysconf(_SC_CLK_TCK));
}

[[noreturn]] void usage(const char* why) {
    std::fprintf(stderr, "bench_recorder: %s\n", why);
    std::exit(2);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int seconds = 60, count = 3, fps = 30, xserverPid = 0;
    bool keep = false;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        auto value = [&] {
            if (i + 1 >= args.size()) usage("missing value");
            return args[++i].toInt();
        };
        if (args[i] == "--seconds")
            seconds = value();
        else if (args[i] == "--windows")
            count = value();
        else if (args[i] == "--fps")
            fps = value();
        else if (args[i] == "--xserver-pid")
            xserverPid = value();
        else if (args[i] == "--keep")
            keep = true;
        else
            usage(qPrintable("unknown option " + args[i]));
    }
    if (seconds < 1 || count < 1 || fps < 1) usage("values must be positive");
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    QTemporaryDir dir;
    dir.setAutoRemove(!keep);
    auto desktop = x11::X11Desktop::connect();
    if (!desktop) usage(desktop.error().message.c_str());

    // The windows, side by side, each animating at the recording rate.
    std::vector<std::unique_ptr<QProcess>> windows;
    std::vector<std::uint32_t> ids;
    for (int i = 0; i < count; ++i) {
        auto p = std::make_unique<QProcess>();
        p->start(LC_TEST_WINDOW, {"--pos", QString("%1,0").arg(i * 1920), "--size", "1920x1080", "--animate",
                                  "--fps", QString::number(fps), "--title", QString("bench %1").arg(i)});
        if (!p->waitForReadyRead(10000)) usage("test-window did not start");
        ids.push_back(p->readLine().trimmed().toUInt());
        windows.push_back(std::move(p));
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::vector<ShareableWindow> shareable;
    if (auto content = (*desktop)->shareableContent(false))
        for (auto id : ids)
            for (const auto& w : content->windows)
                if (w.windowID == id) shareable.push_back(w);
    if (int(shareable.size()) != count) usage("not every test window is listed");

    // Ours: all windows at once.
    std::vector<std::unique_ptr<WindowRecorder>> recorders;
    std::vector<QFuture<Result<void>>> starts;
    const double cpu0 = selfCpu(), x0 = processCpu(xserverPid), t0 = uptime();
    for (int i = 0; i < count; ++i) {
        WindowRecorder::Services services;
        services.capture = desktop->get();
        services.audio = systemAudio();
        services.makeWriter = [](const std::string& path, MovieFileType type) {
            return createMovieWriter(path, type);
        };
        auto r = std::make_unique<WindowRecorder>(std::move(services));
        WindowRecorder::StartOptions o;
        o.window = shareable[std::size_t(i)];
        o.preset = Preset{"Custom", 1920, 1080};
        o.fps = fps;
        o.path = dir.filePath(QString("window %1.mov").arg(i)).toStdString();
        starts.push_back(r->start(o));
        recorders.push_back(std::move(r));
    }
    for (auto& f : starts)
        if (auto started = (f.waitForFinished(), f.result()); !started)
            usage(started.error().message.c_str());
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    std::vector<QFuture<double>> stops;
    for (auto& r : recorders)
        stops.push_back(r->stop());
    std::vector<double> durations;
    for (auto& f : stops)
        durations.push_back((f.waitForFinished(), f.result()));
    const double cpu1 = selfCpu(), x1 = processCpu(xserverPid), t1 = uptime();

    std::printf("recorder: %d windows of 1920x1080 at %d fps for %d s (wall %.1f s incl. start and finish)\n",
                count, fps, seconds, t1 - t0);
    std::uint64_t skipped = 0, frames = 0;
    for (int i = 0; i < count; ++i) {
        const auto s = recorders[std::size_t(i)]->stats();
        skipped += s.skippedTicks;
        frames += s.framesWritten;
        std::printf(
            "  window %d: duration %.3f s, ticks %llu, skipped ticks %llu, frames %llu (slots %.0f)\n", i,
            durations[std::size_t(i)], (unsigned long long)s.ticks, (unsigned long long)s.skippedTicks,
            (unsigned long long)s.framesWritten, durations[std::size_t(i)] * fps);
    }
    const double ours = (cpu1 - cpu0) / (count * double(seconds));
    std::printf("  cpu %.2f s = %.4f s per window-second; X server %.2f s = %.4f s per window-second\n",
                cpu1 - cpu0, ours, x1 - x0, (x1 - x0) / (count * double(seconds)));
    std::printf("  skipped ticks in all: %llu; cpu per written frame %.2f ms\n", (unsigned long long)skipped,
                1000 * (cpu1 - cpu0) / double(std::max<std::uint64_t>(1, frames)));
    recorders.clear();

    // ffmpeg on the first window's client area, for the same time.
    const Rect r = shareable[0].frame;
    const QString input =
        QString("%1+%2,%3").arg(qEnvironmentVariable("DISPLAY")).arg(int(r.x)).arg(int(r.y));
    const QString out = dir.filePath("ffmpeg.mp4");
    const QString command =
        QString("TIMEFORMAT='%R %U %S'; { time ffmpeg -nostdin -v error -y -f x11grab -framerate %1 "
                "-video_size 1920x1080 -i %2 -t %3 -c:v libx264 -preset ultrafast '%4' ; } 2>&1")
            .arg(fps)
            .arg(input)
            .arg(seconds)
            .arg(out);
    const double fx0 = processCpu(xserverPid);
    QProcess ff;
    ff.start("bash", {"-c", command});
    ff.waitForFinished(-1);
    const double fx1 = processCpu(xserverPid);
    const QStringList lines = QString::fromUtf8(ff.readAll()).trimmed().split('\n');
    const QStringList times = lines.isEmpty() ? QStringList{} : lines.last().split(' ');
    if (times.size() != 3) usage(qPrintable("ffmpeg: " + lines.join(" | ")));
    const double ffCpu = times[1].toDouble() + times[2].toDouble();
    QProcess probe;
    probe.start("ffprobe", {"-v", "error", "-select_streams", "v:0", "-count_packets", "-show_entries",
                            "stream=nb_read_packets", "-of", "csv=p=0", out});
    probe.waitForFinished(60000);
    const double theirs = ffCpu / double(seconds);
    const int ffFrames = QString::fromUtf8(probe.readAllStandardOutput()).trimmed().toInt();
    std::printf("ffmpeg x11grab + libx264 ultrafast: 1 window for %d s: %d frames; cpu per frame %.2f ms\n",
                seconds, ffFrames, 1000 * ffCpu / double(std::max(1, ffFrames)));
    std::printf("  cpu %.2f s = %.4f s per window-second; X server %.2f s = %.4f s per window-second\n",
                ffCpu, theirs, fx1 - fx0, (fx1 - fx0) / double(seconds));
    std::printf("ratio recorder / ffmpeg (cpu per window-second): %.3f\n", ours / theirs);
    std::printf("ratio incl. X server: %.3f\n",
                (ours + (x1 - x0) / (count * double(seconds))) / (theirs + (fx1 - fx0) / double(seconds)));

    for (auto& w : windows) {
        w->terminate();
        w->waitForFinished(5000);
    }
    return skipped == 0 ? 0 : 1;
}
