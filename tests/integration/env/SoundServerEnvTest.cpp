// The test environment's sound tooling, on whichever server it runs: the test microphone really
// carries its tone, a killed server comes back with the same devices, the hung server hangs, and
// stopping an environment leaves none of its processes behind.
#include "AudioAnalysis.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>

using namespace std::chrono_literals;
using lc::test::run;

namespace {

// The default microphone's sound from its first audible sample on (a new capture may start with
// silence while the server links it), as mono samples recorded by ffmpeg through the server.
std::vector<double> recordMicrophone() {
    QProcess ff;
    ff.start("ffmpeg", {"-v", "error", "-f", "pulse", "-i", "default", "-t", "2", "-f", "s16le", "-ac", "1",
                        "-ar", "48000", "-"});
    if (!ff.waitForFinished(30000)) {
        ff.kill();
        ff.waitForFinished();
        return {};
    }
    const QByteArray raw = ff.readAllStandardOutput();
    const auto* s = reinterpret_cast<const std::int16_t*>(raw.constData());
    const std::size_t n = std::size_t(raw.size()) / 2;
    std::size_t first = 0;
    while (first < n && std::abs(s[first]) < 1000)
        ++first;
    return {s + first, s + n};
}

void expectTestDevices() {
    const QString info = run("pactl", {"info"});
    EXPECT_TRUE(info.contains("Default Sink: lc_speakers")) << info.toStdString();
    EXPECT_TRUE(info.contains("Default Source: lc_mic")) << info.toStdString();
    const auto pcm = recordMicrophone();
    ASSERT_GE(pcm.size(), 24000u) << "at least half a second of sound arrives";
    // Pitch per tenth of a second, the median: a cycle the loaded machine's graph missed spoils
    // one window, not the check.
    std::vector<double> pitches, amplitudes;
    for (std::size_t at = 0; at + 4800 <= pcm.size(); at += 4800) {
        const std::vector<double> window(pcm.begin() + std::ptrdiff_t(at),
                                         pcm.begin() + std::ptrdiff_t(at + 4800));
        pitches.push_back(lc::test::dominantFrequency(window));
        amplitudes.push_back(lc::test::toneAmplitude(window, 440));
    }
    auto median = [](std::vector<double>& v) {
        std::nth_element(v.begin(), v.begin() + std::ptrdiff_t(v.size() / 2), v.end());
        return v[v.size() / 2];
    };
    EXPECT_NEAR(median(pitches), 440, 2);
    EXPECT_GT(median(amplitudes), 10000) << "the tone at about 2/3 of full scale";
}

} // namespace

TEST(SoundServerEnv, TheTestMicrophoneCarriesA440HzTone) {
    LC_REQUIRE_TEST_ENV();
    std::printf("sound server: %s\n", qPrintable(lc::test::soundServerName()));
    const QString name = run("pactl", {"info"});
    if (lc::test::soundServerName() == "pipewire")
        EXPECT_TRUE(name.contains("on PipeWire")) << name.toStdString();
    else
        EXPECT_EQ(lc::test::soundServerName(), "pulseaudio");
    expectTestDevices();
}

TEST(SoundServerEnv, AKilledServerComesBackWithTheSameDevices) {
    LC_REQUIRE_TEST_ENV();
    {
        lc::test::SoundServerOutage outage;
        ASSERT_TRUE(outage.active());
        QProcess pactl;
        pactl.start("pactl", {"info"});
        ASSERT_TRUE(pactl.waitForFinished(10000));
        EXPECT_NE(pactl.exitCode(), 0) << "no server answers during the outage";
        ASSERT_TRUE(outage.end());
        expectTestDevices();
    }
    {
        // Left to its end of scope, the outage also brings the server back.
        lc::test::SoundServerOutage outage;
        ASSERT_TRUE(outage.active());
    }
    expectTestDevices();
}

TEST(SoundServerEnv, TheHungServerAcceptsAndNeverAnswers) {
    LC_REQUIRE_TEST_ENV();
    const QString hung = lc::test::hungSoundServer();
    ASSERT_TRUE(hung.startsWith("unix:")) << hung.toStdString();
    QProcess pactl;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("PULSE_SERVER", hung);
    pactl.setProcessEnvironment(env);
    pactl.start("pactl", {"info"});
    ASSERT_TRUE(pactl.waitForStarted());
    // A missing or refusing socket fails pactl at once; a hung server keeps it waiting.
    EXPECT_FALSE(pactl.waitForFinished(1500)) << "pactl got an answer: " << pactl.readAll().toStdString();
    pactl.kill();
    pactl.waitForFinished();
    EXPECT_TRUE(run("pactl", {"info"}).contains("Default Source: lc_mic")) << "the real server is untouched";
}

namespace {

// Alive and not merely waiting to be reaped by whoever adopted it.
bool running(const QString& pid) {
    QFile stat("/proc/" + pid + "/stat");
    if (!stat.open(QIODevice::ReadOnly)) return false;
    const QByteArray line = stat.readAll();
    const auto close = line.lastIndexOf(')');
    return close > 0 && line.mid(close + 2, 1) != "Z";
}

QStringList pidsIn(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
}

} // namespace

TEST(SoundServerEnv, StopEndsEveryProcessItStartedIncludingTheBus) {
    LC_REQUIRE_TEST_ENV();
    QTemporaryDir dir;
    const QString env = QDir(dir.path()).filePath("env");
    const QString script = qEnvironmentVariable("LC_TEST_ENV");
    ASSERT_FALSE(script.isEmpty());
    ASSERT_FALSE(run(script, {"start", env, "--no-wm"}, 60000).isEmpty());
    const QStringList pids = pidsIn(env + "/pids") + pidsIn(env + "/sound.pids");
    QStringList names;
    for (const QString& pid : pids)
        names << run("cat", {"/proc/" + pid + "/comm"}).trimmed();
    std::printf("started: %s\n", qPrintable(names.join(' ')));
    EXPECT_TRUE(names.contains("Xvfb"));
    if (lc::test::soundServerName() == "pipewire") {
        for (const char* name : {"dbus-daemon", "pipewire", "wireplumber", "pipewire-pulse", "pacat"})
            EXPECT_TRUE(names.contains(name)) << name;
    } else {
        EXPECT_TRUE(names.contains("pulseaudio"));
    }
    run(script, {"stop", env}, 60000);
    for (const QString& pid : pids)
        EXPECT_FALSE(running(pid)) << pid.toStdString() << " still runs";
}
