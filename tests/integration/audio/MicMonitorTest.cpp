// The microphone monitor on the test environment's PulseAudio daemon and the real M4A writer:
// devices, the level, the microphone file (checked with ffprobe/ffmpeg) and the faults.
#include "capture/MicMonitor.h"
#include "AudioAnalysis.h"
#include "TestSupport.h"
#include "capture/Timecode.h"
#include "common/Clock.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

using namespace std::chrono_literals;
using lc::MicMonitor;

namespace {

bool startAndWait(MicMonitor& m, std::optional<std::string> id) {
    auto ran = std::make_shared<std::promise<bool>>();
    auto result = ran->get_future();
    m.start(std::move(id), [ran](bool ok) { ran->set_value(ok); });
    return result.wait_for(10s) == std::future_status::ready && result.get();
}

std::optional<lc::MicFileSpan> finish(MicMonitor& m) {
    auto f = m.finishFile();
    f.waitForFinished();
    return f.result();
}

struct Probe {
    double duration = -1;
    QString comment, date;
};

Probe probe(const QString& path) {
    const QString out =
        lc::test::run("ffprobe", {"-v", "error", "-show_entries", "format=duration:format_tags=comment,date",
                                  "-of", "default=noprint_wrappers=1", path});
    Probe p;
    for (const auto& line : out.split('\n')) {
        if (line.startsWith("duration=")) p.duration = line.mid(9).toDouble();
        if (line.startsWith("TAG:comment=")) p.comment = line.mid(12);
        if (line.startsWith("TAG:date=")) p.date = line.mid(9);
    }
    return p;
}

// The file's sound as mono samples.
std::vector<double> decode(const QString& path) {
    QProcess ff;
    ff.start("ffmpeg", {"-v", "error", "-i", path, "-f", "s16le", "-ac", "1", "-ar", "48000", "-"});
    ff.waitForFinished(20000);
    const QByteArray raw = ff.readAllStandardOutput();
    std::vector<double> x(std::size_t(raw.size()) / 2);
    const auto* s = reinterpret_cast<const std::int16_t*>(raw.constData());
    for (std::size_t i = 0; i < x.size(); ++i)
        x[i] = s[i];
    return x;
}

// A source of the test server, for as long as the object lives: a null sink remapped as an
// ordinary (non-monitor) source, so that it is listed among the microphones.
struct ExtraSource {
    QString sink, source, module1, module2;
    explicit ExtraSource(const QString& name) : sink(name + "_feed"), source(name) {
        module1 = lc::test::run("pactl", {"load-module", "module-null-sink", "sink_name=" + sink,
                                          "rate=48000", "norewinds=1"})
                      .trimmed();
        module2 = lc::test::run("pactl", {"load-module", "module-remap-source", "master=" + sink + ".monitor",
                                          "source_name=" + source})
                      .trimmed();
    }
    void remove() {
        if (!module2.isEmpty()) lc::test::run("pactl", {"unload-module", module2});
        if (!module1.isEmpty()) lc::test::run("pactl", {"unload-module", module1});
        module1.clear();
        module2.clear();
    }
    ~ExtraSource() { remove(); }
};

// Runs its action when the scope ends, also when an assertion leaves early.
struct AtExit {
    std::function<void()> action;
    ~AtExit() { action(); }
};

struct Levels {
    std::mutex mutex;
    std::vector<float> values;
    std::function<void(float)> sink() {
        return [this](float v) {
            std::lock_guard lock(mutex);
            values.push_back(v);
        };
    }
    std::vector<float> take() {
        std::lock_guard lock(mutex);
        return std::exchange(values, {});
    }
    std::size_t size() {
        std::lock_guard lock(mutex);
        return values.size();
    }
    std::optional<float> last() {
        std::lock_guard lock(mutex);
        return values.empty() ? std::nullopt : std::optional<float>(values.back());
    }
};

} // namespace

TEST(MicMonitorLive, LevelIsZeroForSilenceAndOneForAFullScaleTone) {
    LC_REQUIRE_TEST_ENV();
    ExtraSource quiet("lc_quiet"), loud("lc_loud");
    MicMonitor mic(lc::systemAudio(), lc::createMovieWriter);
    Levels levels;
    mic.setOnLevel(levels.sink());

    const double from = lc::uptime();
    ASSERT_TRUE(startAndWait(mic, "lc_quiet"));
    ASSERT_TRUE(lc::test::waitUntil([&] { return levels.size() >= 5; }, 5s));
    const double elapsed = lc::uptime() - from;
    auto silent = levels.take();
    EXPECT_LE(double(silent.size()), elapsed / 0.08 + 2) << "at most one report every 80 ms";
    for (float v : silent)
        EXPECT_EQ(v, 0.0f);

    QProcess player;
    player.start(QStringLiteral(LC_ONSET_PLAYER), {"--lead", "0", "--burst", "1.5", "--sink", loud.sink});
    ASSERT_TRUE(startAndWait(mic, "lc_loud"));
    ASSERT_TRUE(player.waitForFinished(10000));
    mic.stop();
    EXPECT_TRUE(lc::test::waitUntil([&] { return levels.last() == 0.0f; }, 5s)) << "stop reports 0";
    auto tone = levels.take();
    ASSERT_FALSE(tone.empty());
    EXPECT_EQ(*std::max_element(tone.begin(), tone.end()), 1.0f);
}

TEST(MicMonitorLive, WritesTheMicrophoneFileWithItsToneLengthAndComment) {
    LC_REQUIRE_TEST_ENV();
    QTemporaryDir dir;
    const QString path = QDir(dir.path()).filePath("Mic.m4a");
    MicMonitor mic(lc::systemAudio(), lc::createMovieWriter);
    ASSERT_TRUE(startAndWait(mic, std::nullopt));
    std::this_thread::sleep_for(200ms);
    // A recorder's view of the same sound: every buffer, on the host clock.
    lc::test::ChunkCollector seen;
    mic.subscribe(QUuid::createUuid(), [&](const auto& c) { seen.add(*c); });
    const double armed = lc::uptime();
    mic.startFile(path.toStdString());
    std::this_thread::sleep_for(2500ms);
    const double finishing = lc::uptime();
    const auto span = finish(mic);
    const double finished = lc::uptime();
    mic.stop();

    ASSERT_TRUE(span);
    // The file holds the sound from the arming to the finish: not a buffer before or after (a
    // busy machine may start it later, and end it before sound the server still holds arrived).
    EXPECT_GE(span->firstUptime, armed - 0.05);
    EXPECT_LE(span->firstUptime, finishing);
    EXPECT_GE(span->firstUptime + span->end, armed + 1.5);
    EXPECT_LE(span->firstUptime + span->end, finished + 0.05);
    EXPECT_EQ(mic.fileTimecode().size(), 11);

    const Probe p = probe(path);
    EXPECT_NEAR(p.duration, span->end, 0.05) << "the file lasts as long as the capture";
    const QRegularExpression form(
        R"(^timecode=(\d\d:\d\d:\d\d:\d\d) fps=30 start=(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(Z|[+-]\d\d:\d\d))$)");
    std::printf("comment: %s\n", qPrintable(p.comment));
    const auto m = form.match(p.comment);
    ASSERT_TRUE(m.hasMatch()) << p.comment.toStdString();
    EXPECT_EQ(m.captured(1), mic.fileTimecode());
    EXPECT_EQ(p.date, m.captured(2));
    // The timecode is the wall-clock time of the first sample, counted at 30 fps.
    const auto firstWall = std::chrono::system_clock::now() -
                           std::chrono::duration_cast<std::chrono::system_clock::duration>(
                               std::chrono::duration<double>(lc::uptime() - span->firstUptime));
    const auto expected = lc::Timecode::frameNumber(firstWall, 30);
    const auto parts = mic.fileTimecode().split(':');
    const auto written = std::uint32_t(
        ((parts[0].toInt() * 60 + parts[1].toInt()) * 60 + parts[2].toInt()) * 30 + parts[3].toInt());
    EXPECT_LE(std::abs(std::int64_t(written) - std::int64_t(expected)), 1);

    const auto pcm = decode(path);
    EXPECT_NEAR(lc::test::dominantFrequency(pcm), 440, 2);
    EXPECT_GT(lc::test::medianToneAmplitude(pcm, 440), 1000);

    const auto chunks = seen.chunks();
    ASSERT_FALSE(chunks.empty());
    EXPECT_LE(chunks.front().hostTime, span->firstUptime + 1e-9);
}

TEST(MicMonitorLive, ArmingAndFinishingWithoutSoundWritesNoFile) {
    LC_REQUIRE_TEST_ENV();
    QTemporaryDir dir;
    const QString path = QDir(dir.path()).filePath("Mic.m4a");
    MicMonitor mic(lc::systemAudio(), lc::createMovieWriter); // never started: no buffer arrives
    mic.startFile(path.toStdString());
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(finish(mic).has_value());
    EXPECT_FALSE(QFile::exists(path));
}

TEST(MicMonitorLive, WithoutASoundServerStartReportsFalse) {
    LC_REQUIRE_TEST_ENV();
    const QByteArray saved = qgetenv("PULSE_SERVER");
    AtExit restore{[saved] { qputenv("PULSE_SERVER", saved); }};
    qputenv("PULSE_SERVER", "unix:/nonexistent/loomcast/native");
    {
        MicMonitor mic(lc::systemAudio(), lc::createMovieWriter);
        EXPECT_FALSE(startAndWait(mic, std::nullopt));
        EXPECT_FALSE(mic.isRunning());
        EXPECT_TRUE(mic.devices().empty());
        EXPECT_EQ(mic.authorization(), lc::MicAuthorization::restricted);
    }
}

TEST(MicMonitorLive, AMicrophoneThatVanishesEndsCaptureAndKeepsTheFile) {
    LC_REQUIRE_TEST_ENV();
    ExtraSource usb("lc_usb");
    QProcess player;
    player.start(QStringLiteral(LC_ONSET_PLAYER),
                 {"--lead", "0", "--burst", "5", "--hz", "600", "--sink", usb.sink});
    ASSERT_TRUE(player.waitForStarted());
    QTemporaryDir dir;
    const QString path = QDir(dir.path()).filePath("Mic.m4a");
    MicMonitor mic(lc::systemAudio(), lc::createMovieWriter);
    auto failed = std::make_shared<std::promise<std::string>>();
    mic.setOnFail([failed](const std::string& why) { failed->set_value(why); });
    ASSERT_TRUE(startAndWait(mic, "lc_usb"));
    mic.startFile(path.toStdString());
    std::this_thread::sleep_for(1500ms);
    // The microphone vanishes while pactl unloads it, which takes a while on a loaded machine and
    // longer on PipeWire, whose source may play silence meanwhile.
    const double removing = lc::uptime();
    usb.remove();
    const double removed = lc::uptime();
    auto why = failed->get_future();
    ASSERT_EQ(why.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(why.get(), "The microphone was disconnected");
    EXPECT_FALSE(mic.isRunning());
    const auto span = finish(mic);
    ASSERT_TRUE(span);
    EXPECT_GT(span->end, removing - span->firstUptime - 0.05)
        << "the file keeps everything up to the removal";
    EXPECT_LT(span->end, removed - span->firstUptime + 0.25) << "and ends when the microphone is gone";
    EXPECT_NEAR(probe(path).duration, span->end, 0.05);
    // The microphone's own sound up to the removal (what the server delivers while it takes the
    // source apart is its business).
    const auto pcm = decode(path);
    const auto cut = std::min(pcm.size(), std::size_t((removing - span->firstUptime) * 48000));
    EXPECT_NEAR(lc::test::dominantFrequency({pcm.begin(), pcm.begin() + std::ptrdiff_t(cut)}), 600, 3);
    player.kill();
    player.waitForFinished();
}

TEST(MicMonitorLive, ASoundServerThatDiesLeavesAPlayableFileAndTheMonitorStopped) {
    LC_REQUIRE_TEST_ENV();
    QTemporaryDir dir;
    const QString envDir = QDir(dir.path()).filePath("env");
    const QString script = QStringLiteral(LC_SOURCE_ROOT "/scripts/test-env");
    AtExit stopEnv{[&] { lc::test::run(script, {"stop", envDir}, 30000); }};
    ASSERT_FALSE(lc::test::run(script, {"start", envDir, "--no-wm"}, 30000).isEmpty());
    const QString env = lc::test::run("cat", {envDir + "/env"});
    const auto server = QRegularExpression("PULSE_SERVER=(\\S+)").match(env);
    ASSERT_TRUE(server.hasMatch());
    const QByteArray saved = qgetenv("PULSE_SERVER");
    AtExit restore{[saved] { qputenv("PULSE_SERVER", saved); }};
    qputenv("PULSE_SERVER", server.captured(1).toUtf8());

    const QString path = QDir(dir.path()).filePath("Mic.m4a");
    {
        MicMonitor mic(lc::systemAudio(), lc::createMovieWriter);
        auto failed = std::make_shared<std::promise<std::string>>();
        mic.setOnFail([failed](const std::string& why) { failed->set_value(why); });
        ASSERT_TRUE(startAndWait(mic, std::nullopt));
        mic.startFile(path.toStdString());
        std::this_thread::sleep_for(1500ms);
        lc::test::run(script, {"stop", envDir}, 30000);
        auto why = failed->get_future();
        ASSERT_EQ(why.wait_for(5s), std::future_status::ready);
        EXPECT_NE(why.get().find("sound server"), std::string::npos);
        EXPECT_FALSE(mic.isRunning());
        const auto span = finish(mic);
        ASSERT_TRUE(span);
        EXPECT_NEAR(probe(path).duration, span->end, 0.05);
        EXPECT_NEAR(lc::test::dominantFrequency(decode(path)), 440, 2);
        EXPECT_FALSE(startAndWait(mic, std::nullopt)) << "no server to start from";
    }
}
