// The PulseAudio back end against the test environment's real daemon: devices, microphone
// capture, per-application capture and the host-clock stamps of both.
#include "AudioAnalysis.h"
#include "TestSupport.h"
#include "common/Clock.h"
#include "platform/Audio.h"

#include <QProcess>
#include <QRegularExpression>
#include <chrono>
#include <cstdio>

using namespace std::chrono_literals;
using lc::AudioChunk;
using lc::test::ChunkCollector;

namespace {

lc::AudioCallbacks into(ChunkCollector& c) {
    return {[&c](AudioChunk chunk) { c.add(chunk); }, {}};
}

struct Child {
    QProcess process;
    explicit Child(const QString& program, const QStringList& args) {
        process.start(program, args);
        process.waitForStarted();
    }
    ~Child() {
        process.terminate();
        if (!process.waitForFinished(2000)) {
            process.kill();
            process.waitForFinished();
        }
    }
    int pid() const { return int(process.processId()); }
};

QString testWindow() {
    return QStringLiteral(LC_TEST_WINDOW);
}
QString onsetPlayer() {
    return QStringLiteral(LC_ONSET_PLAYER);
}

struct Onset {
    double played = 0;  // from the player's own timing reports
    double written = 0; // when the onset reached the server: it cannot have played earlier
    double spread = 0;  // of the player's own timing observations
};

// Runs the onset player to its end and returns when its burst began.
std::optional<Onset> playOnset(QProcess& p) {
    if (!p.waitForFinished(10000) || p.exitCode() != 0) return std::nullopt;
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    const auto played = QRegularExpression("onset ([0-9.]+)").match(out);
    const auto written = QRegularExpression("written ([0-9.]+)").match(out);
    const auto spread = QRegularExpression("spread ([0-9.]+)").match(out);
    if (!played.hasMatch() || !written.hasMatch()) return std::nullopt;
    return Onset{played.captured(1).toDouble(), written.captured(1).toDouble(),
                 spread.captured(1).toDouble()};
}

// The longest distance between where one chunk ends and the next begins, in seconds.
double worstSeam(const std::vector<AudioChunk>& chunks) {
    double worst = 0;
    for (std::size_t i = 1; i < chunks.size(); ++i) {
        const double end =
            chunks[i - 1].hostTime + double(chunks[i - 1].frameCount()) / AudioChunk::sampleRate;
        worst = std::max(worst, std::abs(chunks[i].hostTime - end));
    }
    return worst;
}

// A sound server that the machine stood still for longer than a seam allows really does lose or
// repeat a block: the seams then say nothing about the stamps.
bool seamsJudged(const lc::test::StallMeter& load) {
    const double stall = load.longest();
    if (stall < 0.020) return true;
    std::printf("seams not judged: the machine stood still for %.0f ms\n", stall * 1000);
    return false;
}

} // namespace

TEST(AudioBackend, ListsMicrophonesWithTheDefaultAndNoMonitors) {
    LC_REQUIRE_TEST_ENV();
    auto audio = lc::systemAudio();
    EXPECT_EQ(audio->micAuthorization(), lc::MicAuthorization::authorized);
    auto devices = audio->microphones();
    ASSERT_TRUE(devices) << devices.error().message;
    int defaults = 0;
    bool found = false;
    for (const auto& d : *devices) {
        EXPECT_EQ(d.id.find(".monitor"), std::string::npos) << d.id;
        defaults += d.isDefault;
        if (d.id == "lc_mic") {
            found = true;
            EXPECT_TRUE(d.isDefault);
            EXPECT_EQ(d.name, "Test_Microphone");
        }
    }
    EXPECT_TRUE(found);
    EXPECT_EQ(defaults, 1);
}

TEST(AudioBackend, MicrophoneDeliversTheToneContinuouslyOnTheHostClock) {
    LC_REQUIRE_TEST_ENV();
    ChunkCollector got;
    const lc::test::StallMeter load;
    const double before = lc::uptime();
    auto capture = lc::systemAudio()->captureMicrophone(std::nullopt, into(got));
    ASSERT_TRUE(capture) << capture.error().message;
    ASSERT_TRUE(lc::test::waitUntil([&] { return got.seconds() >= 1.5; }, 5s));
    const double now = lc::uptime();
    (*capture)->stop();
    const auto chunks = got.chunks();
    const std::size_t count = chunks.size();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(got.chunks().size(), count) << "a chunk arrived after stop()";

    EXPECT_NEAR(lc::test::dominantFrequency(lc::test::leftChannel(chunks)), 440, 1);
    // Buffers join up: within a few milliseconds while the clock settles, then within 0.6 ms.
    if (seamsJudged(load)) {
        EXPECT_LT(worstSeam(chunks), 0.005);
        std::vector<AudioChunk> settled;
        for (const auto& c : chunks)
            if (c.hostTime > chunks.front().hostTime + 0.5) settled.push_back(c);
        EXPECT_LT(worstSeam(settled), 0.0006);
    }
    // The first sample was captured after the request and the last one before now.
    EXPECT_GT(chunks.front().hostTime, before - 0.05);
    const double end = chunks.back().hostTime + double(chunks.back().frameCount()) / AudioChunk::sampleRate;
    EXPECT_LT(end, now + 0.005);
    EXPECT_GT(end, now - 0.1);
}

// The stamp of a sound's first sample against the time it was played, for both capture paths.
TEST(AudioBackend, StampsOfAKnownOnsetMatchWhenItWasPlayed) {
    LC_REQUIRE_TEST_ENV();
    // The player's own idea of when it played is only as good as its latency readings: a round
    // whose readings spread wider than 20 ms (a starved machine) says nothing about the stamps.
    // PipeWire's pulse server reports no latency for a monitor or a graph cycle in the player's,
    // so there a stamp is only as good as one cycle of its graph (21 ms at 1024 frames).
    const double within = lc::test::soundServerName() == "pipewire" ? 0.025 : 0.005;
    int judged = 0;
    for (int round = 0; round < 10 && judged < 3; ++round) {
        ChunkCollector mic, app;
        auto micCapture = lc::systemAudio()->captureMicrophone(std::string("lc_speakers.monitor"), into(mic));
        ASSERT_TRUE(micCapture) << micCapture.error().message;
        QProcess player;
        player.start(onsetPlayer(), {"--lead", "0.8"});
        ASSERT_TRUE(player.waitForStarted());
        auto appCapture = lc::systemAudio()->captureApplication(int(player.processId()), into(app));
        ASSERT_TRUE(appCapture) << appCapture.error().message;
        const auto played = playOnset(player);
        ASSERT_TRUE(played) << player.readAllStandardError().toStdString();
        std::this_thread::sleep_for(100ms);
        (*micCapture)->stop();
        (*appCapture)->stop();

        const auto micOnset = lc::test::onsetTime(mic.chunks());
        const auto appOnset = lc::test::onsetTime(app.chunks());
        ASSERT_TRUE(micOnset);
        ASSERT_TRUE(appOnset);
        std::printf("onset stamp - played: monitor source %+.2f ms, application %+.2f ms; "
                    "played - written %.2f ms; player's spread %.2f ms\n",
                    (*micOnset - played->played) * 1e3, (*appOnset - played->played) * 1e3,
                    (played->played - played->written) * 1e3, played->spread * 1e3);
        // Independent of the server's reports: not before the sound existed.
        EXPECT_GT(*micOnset, played->written - 0.001);
        if (played->spread > 0.020) continue;
        ++judged;
        EXPECT_NEAR(*micOnset, played->played, within);
        EXPECT_NEAR(*appOnset, played->played, within);
        // Nor after the player's 150 ms buffer could have played out.
        EXPECT_LT(*micOnset, played->written + 0.16);
    }
    if (judged == 0) GTEST_SKIP() << "the machine is too loaded for the player to know when it played";
}

TEST(AudioBackend, ApplicationCaptureHoldsOnlyThatApplicationsTone) {
    LC_REQUIRE_TEST_ENV();
    Child first(testWindow(), {"--title", "tone-a", "--tone", "440"});
    Child second(testWindow(), {"--title", "tone-b", "--tone", "1000"});
    ChunkCollector got;
    auto capture = lc::systemAudio()->captureApplication(first.pid(), into(got));
    ASSERT_TRUE(capture) << capture.error().message;
    ASSERT_TRUE(lc::test::waitUntil([&] { return got.seconds() >= 1.5; }, 8s));
    (*capture)->stop();
    const auto x = lc::test::leftChannel(got.chunks());
    const double wanted = lc::test::toneAmplitude(x, 440), other = lc::test::toneAmplitude(x, 1000);
    EXPECT_GT(wanted, 1000);
    EXPECT_LT(other, wanted / 300) << "the other application's tone leaked in";
}

TEST(AudioBackend, ApplicationCaptureFollowsDescendantsThatStartLaterAndStreamsThatMove) {
    LC_REQUIRE_TEST_ENV();
    // A shell that starts its player only after the capture began: the stream belongs to a child.
    Child shell("sh",
                {"-c", QString("sleep 0.7; %1 --lead 0.2 --burst 3 --hz 500; sleep 5").arg(onsetPlayer())});
    ChunkCollector got;
    const lc::test::StallMeter load;
    auto capture = lc::systemAudio()->captureApplication(shell.pid(), into(got));
    ASSERT_TRUE(capture) << capture.error().message;
    EXPECT_TRUE(got.chunks().empty());
    ASSERT_TRUE(lc::test::waitUntil([&] { return got.seconds() >= 1.0; }, 5s))
        << "the child's stream was not found";

    // Move the stream to another sink: the capture must pick it up there.
    const QString module = lc::test::run("pactl", {"load-module", "module-null-sink", "sink_name=lc_other",
                                                   "rate=48000", "norewinds=1"})
                               .trimmed();
    ASSERT_FALSE(module.isEmpty());
    QString input;
    for (const auto& line : lc::test::run("pactl", {"list", "short", "sink-inputs"}).split('\n'))
        if (!line.isEmpty()) input = line.split('\t').first();
    ASSERT_FALSE(input.isEmpty());
    lc::test::run("pactl", {"move-sink-input", input, "lc_other"});
    const double movedAt = lc::uptime();
    ASSERT_TRUE(lc::test::waitUntil(
        [&] {
            const auto c = got.chunks();
            return !c.empty() && c.back().hostTime > movedAt + 0.8;
        },
        5s))
        << "no sound after the move";
    (*capture)->stop();
    lc::test::run("pactl", {"unload-module", module});
    // The tone on either side of the move (the move itself may cost a few milliseconds).
    std::vector<AudioChunk> before, after;
    for (const auto& c : got.chunks())
        (c.hostTime < movedAt ? before : after).push_back(c);
    EXPECT_NEAR(lc::test::dominantFrequency(lc::test::leftChannel(before)), 500, 5);
    const auto tail = lc::test::leftChannel(after);
    ASSERT_GT(tail.size(), 14400u);
    EXPECT_NEAR(lc::test::dominantFrequency({tail.end() - 14400, tail.end()}), 500, 5);
    if (seamsJudged(load)) EXPECT_LT(worstSeam(before), 0.005);
}

TEST(AudioBackend, ApplicationThatPlaysNothingYieldsNoSound) {
    LC_REQUIRE_TEST_ENV();
    Child quiet(testWindow(), {"--title", "quiet"});
    Child loud(testWindow(), {"--title", "loud", "--tone", "440"});
    ChunkCollector got;
    auto capture = lc::systemAudio()->captureApplication(quiet.pid(), into(got));
    ASSERT_TRUE(capture) << capture.error().message;
    std::this_thread::sleep_for(1s);
    (*capture)->stop();
    EXPECT_TRUE(got.chunks().empty());
}
