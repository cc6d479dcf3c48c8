// The test environment's sound tooling, on whichever server it runs: the test microphone really
// carries its tone, a killed server comes back with the same devices, and the hung server hangs.
#include "AudioAnalysis.h"
#include "TestSupport.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <chrono>

using namespace std::chrono_literals;
using lc::test::run;

namespace {

// One second of the default microphone as mono samples, recorded by ffmpeg through the server.
std::vector<double> recordMicrophone() {
    QProcess ff;
    ff.start("ffmpeg", {"-v", "error", "-f", "pulse", "-i", "default", "-t", "1", "-f", "s16le", "-ac", "1",
                        "-ar", "48000", "-"});
    if (!ff.waitForFinished(30000)) {
        ff.kill();
        ff.waitForFinished();
        return {};
    }
    const QByteArray raw = ff.readAllStandardOutput();
    std::vector<double> x(std::size_t(raw.size()) / 2);
    const auto* s = reinterpret_cast<const std::int16_t*>(raw.constData());
    for (std::size_t i = 0; i < x.size(); ++i)
        x[i] = s[i];
    return x;
}

void expectTestDevices() {
    const QString info = run("pactl", {"info"});
    EXPECT_TRUE(info.contains("Default Sink: lc_speakers")) << info.toStdString();
    EXPECT_TRUE(info.contains("Default Source: lc_mic")) << info.toStdString();
    const auto pcm = recordMicrophone();
    ASSERT_GE(pcm.size(), 24000u) << "at least half of the second arrives";
    EXPECT_NEAR(lc::test::dominantFrequency(pcm), 440, 2);
    EXPECT_GT(lc::test::toneAmplitude(pcm, 440), 10000) << "the tone at about 2/3 of full scale";
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
