// The microphone monitor's own logic on a stand-in sound system: device choice, the level,
// subscribers, the end of a capture and a subscriber that cannot keep up.
#include "capture/MicMonitor.h"
#include "common/Clock.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;
using lc::AudioChunk;
using lc::MicMonitor;

namespace {

class FakeAudio final : public lc::AudioSystem {
public:
    std::vector<lc::AudioDevice> list{{"usb", "USB Mic", false}, {"builtin", "Built-in", true}};
    bool server = true;

    lc::Result<std::vector<lc::AudioDevice>> microphones() override {
        if (!server) return lc::makeError("No sound server: Connection refused");
        return list;
    }
    lc::MicAuthorization micAuthorization() override {
        return server ? lc::MicAuthorization::authorized : lc::MicAuthorization::restricted;
    }
    lc::Result<std::unique_ptr<lc::AudioCapture>> captureMicrophone(const std::optional<std::string>& id,
                                                                    lc::AudioCallbacks cb) override {
        if (!server) return lc::makeError("No sound server");
        std::lock_guard lock(mutex);
        opened = id;
        callbacks = std::move(cb);
        return std::unique_ptr<lc::AudioCapture>(new Capture(this));
    }
    lc::Result<std::unique_ptr<lc::AudioCapture>> captureApplication(int, lc::AudioCallbacks) override {
        return lc::makeError("not here");
    }

    // Plays the capture thread's part.
    void push(const AudioChunk& c) {
        std::function<void(AudioChunk)> f;
        {
            std::lock_guard lock(mutex);
            f = callbacks.onChunk;
        }
        if (f) f(c);
    }
    void end(const std::string& why) {
        std::function<void(const lc::Error&)> f;
        {
            std::lock_guard lock(mutex);
            f = callbacks.onEnd;
        }
        if (f) f(lc::makeError(why));
    }

    std::mutex mutex;
    lc::AudioCallbacks callbacks;
    std::optional<std::string> opened;

private:
    struct Capture final : lc::AudioCapture {
        explicit Capture(FakeAudio* a) : audio(a) {}
        ~Capture() override { stop(); }
        void stop() override {
            std::lock_guard lock(audio->mutex);
            audio->callbacks = {};
        }
        FakeAudio* audio;
    };
};

AudioChunk tone(std::int16_t amplitude, std::size_t frames = 480) {
    AudioChunk c;
    c.hostTime = lc::uptime();
    for (std::size_t i = 0; i < frames; ++i) {
        const std::int16_t v = (i / 24) % 2 ? amplitude : std::int16_t(-amplitude);
        c.samples.push_back(v);
        c.samples.push_back(v);
    }
    return c;
}

bool startAndWait(MicMonitor& m, std::optional<std::string> id) {
    std::promise<bool> ran;
    m.start(std::move(id), [&](bool ok) { ran.set_value(ok); });
    return ran.get_future().get();
}

struct Levels {
    std::mutex mutex;
    std::vector<float> values;
    void add(float v) {
        std::lock_guard lock(mutex);
        values.push_back(v);
    }
    std::vector<float> get() {
        std::lock_guard lock(mutex);
        return values;
    }
};

bool eventually(const std::function<bool()>& f) {
    for (int i = 0; i < 200 && !f(); ++i)
        std::this_thread::sleep_for(10ms);
    return f();
}

} // namespace

TEST(MicMonitorLevel, IsFourTimesTheRmsCappedAtOne) {
    std::vector<std::int16_t> square(960);
    for (std::size_t i = 0; i < square.size(); ++i)
        square[i] = i % 2 ? 32767 : -32767;
    EXPECT_FLOAT_EQ(MicMonitor::level(square), 1.0f);
    for (auto& s : square)
        s = std::int16_t(s / 4); // a quarter of full scale still reads 1
    EXPECT_NEAR(MicMonitor::level(square), 1.0f, 0.001);
    for (auto& s : square)
        s = std::int16_t(s / 2); // an eighth reads 0.5
    EXPECT_NEAR(MicMonitor::level(square), 0.5f, 0.001);
    EXPECT_EQ(MicMonitor::level(std::vector<std::int16_t>(960, 0)), 0.0f);
    EXPECT_EQ(MicMonitor::level({}), 0.0f);
}

TEST(MicMonitor, StartsTheRequestedDeviceOrTheDefaultAndReportsNoServer) {
    auto audio = std::make_shared<FakeAudio>();
    MicMonitor mic(audio, lc::createMovieWriter);
    EXPECT_TRUE(startAndWait(mic, "usb"));
    EXPECT_EQ(audio->opened, "usb");
    EXPECT_TRUE(mic.isRunning());
    EXPECT_TRUE(startAndWait(mic, "unplugged"));
    EXPECT_EQ(audio->opened, "builtin");
    EXPECT_TRUE(startAndWait(mic, std::nullopt));
    EXPECT_EQ(audio->opened, "builtin");

    audio->server = false;
    EXPECT_FALSE(startAndWait(mic, std::nullopt));
    EXPECT_FALSE(mic.isRunning());
    EXPECT_TRUE(mic.devices().empty());
    EXPECT_EQ(mic.authorization(), lc::MicAuthorization::restricted);

    audio->server = true;
    audio->list.clear(); // a server without any microphone
    EXPECT_FALSE(startAndWait(mic, std::nullopt));
}

TEST(MicMonitor, ReportsTheLevelAtMostEvery80MsAndZeroOnStop) {
    auto audio = std::make_shared<FakeAudio>();
    MicMonitor mic(audio, lc::createMovieWriter);
    Levels levels;
    mic.setOnLevel([&](float v) { levels.add(v); });
    ASSERT_TRUE(startAndWait(mic, std::nullopt));
    audio->push(tone(32767));
    std::this_thread::sleep_for(40ms);
    audio->push(tone(0));
    ASSERT_TRUE(eventually([&] { return levels.get().size() == 1; }));
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(levels.get(), std::vector<float>{1.0f}) << "two buffers 40 ms apart make one report";
    audio->push(tone(0));
    ASSERT_TRUE(eventually([&] { return levels.get().size() == 2; }));
    EXPECT_EQ(levels.get()[1], 0.0f);
    mic.stop();
    ASSERT_TRUE(eventually([&] { return levels.get().size() == 3; }));
    EXPECT_EQ(levels.get()[2], 0.0f);
    EXPECT_FALSE(mic.isRunning());
}

TEST(MicMonitor, SubscribersShareEachBufferUntilTheyUnsubscribe) {
    auto audio = std::make_shared<FakeAudio>();
    MicMonitor mic(audio, lc::createMovieWriter);
    ASSERT_TRUE(startAndWait(mic, std::nullopt));
    std::mutex m;
    std::vector<std::shared_ptr<const AudioChunk>> a, b;
    const QUuid ida = QUuid::createUuid(), idb = QUuid::createUuid();
    mic.subscribe(ida, [&](const auto& c) {
        std::lock_guard l(m);
        a.push_back(c);
    });
    mic.subscribe(idb, [&](const auto& c) {
        std::lock_guard l(m);
        b.push_back(c);
    });
    std::this_thread::sleep_for(20ms); // subscribing takes effect asynchronously
    const AudioChunk sent = tone(1000);
    audio->push(sent);
    ASSERT_TRUE(eventually([&] {
        std::lock_guard l(m);
        return a.size() == 1 && b.size() == 1;
    }));
    {
        std::lock_guard l(m);
        EXPECT_EQ(a[0].get(), b[0].get()) << "one copy for every subscriber";
        EXPECT_EQ(a[0]->hostTime, sent.hostTime);
        EXPECT_EQ(a[0]->samples, sent.samples);
    }
    mic.unsubscribe(ida);
    std::this_thread::sleep_for(20ms);
    audio->push(tone(1000));
    ASSERT_TRUE(eventually([&] {
        std::lock_guard l(m);
        return b.size() == 2;
    }));
    std::lock_guard l(m);
    EXPECT_EQ(a.size(), 1u);
}

TEST(MicMonitor, ACaptureThatEndsOnItsOwnStopsTheMonitorWithAMessage) {
    auto audio = std::make_shared<FakeAudio>();
    MicMonitor mic(audio, lc::createMovieWriter);
    Levels levels;
    std::promise<std::string> failed;
    mic.setOnLevel([&](float v) { levels.add(v); });
    mic.setOnFail([&](const std::string& why) { failed.set_value(why); });
    ASSERT_TRUE(startAndWait(mic, std::nullopt));
    audio->end("The microphone stopped: Entity killed");
    auto f = failed.get_future();
    ASSERT_EQ(f.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(f.get(), "The microphone stopped: Entity killed");
    EXPECT_FALSE(mic.isRunning());
    EXPECT_EQ(levels.get(), std::vector<float>{0.0f});
}

TEST(MicMonitor, ASlowSubscriberNeverBlocksTheCaptureAndMemoryStaysBounded) {
    auto audio = std::make_shared<FakeAudio>();
    auto mic = std::make_unique<MicMonitor>(audio, lc::createMovieWriter);
    ASSERT_TRUE(startAndWait(*mic, std::nullopt));
    std::atomic<int> got{0};
    mic->subscribe(QUuid::createUuid(), [&](const auto&) {
        std::this_thread::sleep_for(20ms);
        ++got;
    });
    std::this_thread::sleep_for(20ms);
    const AudioChunk c = tone(1000);
    for (int i = 0; i < 500; ++i)
        audio->push(c); // five seconds of sound at once
    // Had the capture waited for the subscriber, nothing would have been dropped.
    EXPECT_GE(mic->droppedBuffers(), 300) << "the capture thread waited for the subscriber";
    // Tearing down waits only for what is queued (about a second's worth), not for everything.
    mic.reset();
    EXPECT_LE(got.load(), 101);
}

TEST(MicMonitor, AFileArmedAndFinishedWithoutABufferIsNotWritten) {
    auto audio = std::make_shared<FakeAudio>();
    MicMonitor mic(audio, lc::createMovieWriter);
    QTemporaryDir dir;
    const QString path = QDir(dir.path()).filePath("Mic.m4a");
    mic.startFile(path.toStdString());
    auto result = mic.finishFile();
    result.waitForFinished();
    EXPECT_FALSE(result.result().has_value());
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_TRUE(mic.fileTimecode().isEmpty());
}

TEST(MicMonitor, AStartThatFailsSaysWhyAndARunningStartClearsIt) {
    auto audio = std::make_shared<FakeAudio>();
    MicMonitor mic(audio, lc::createMovieWriter);
    audio->server = false;
    EXPECT_FALSE(startAndWait(mic, std::nullopt));
    EXPECT_EQ(mic.startError(), "No sound server: Connection refused");

    audio->server = true;
    audio->list.clear();
    EXPECT_FALSE(startAndWait(mic, std::nullopt));
    EXPECT_EQ(mic.startError(), "No microphone");

    audio->list = {{"builtin", "Built-in", true}};
    EXPECT_TRUE(startAndWait(mic, std::nullopt));
    EXPECT_EQ(mic.startError(), std::nullopt);
}

TEST(MicMonitor, WritesItsFileThroughTheGivenFactoryAndKeepsItsRefusal) {
    struct Asked {
        std::mutex mutex;
        std::vector<std::pair<std::string, lc::MovieFileType>> calls;
        bool refuse = false;
    };
    auto asked = std::make_shared<Asked>();
    const lc::MovieWriterFactory factory =
        [asked](const std::string& path, lc::MovieFileType type,
                const lc::MovieWriterOptions& options) -> lc::Result<std::unique_ptr<lc::MovieWriter>> {
        std::lock_guard lock(asked->mutex);
        asked->calls.emplace_back(path, type);
        if (asked->refuse)
            return lc::makeError("Cannot create writer for \"Mic.m4a\": No space left on device");
        return lc::createMovieWriter(path, type, options);
    };
    auto audio = std::make_shared<FakeAudio>();
    MicMonitor mic(audio, factory);
    ASSERT_TRUE(startAndWait(mic, std::nullopt));
    std::atomic<int> received{0};
    mic.subscribe(QUuid::createUuid(), [&](const auto&) { ++received; });
    QTemporaryDir dir;

    const QString written = QDir(dir.path()).filePath("Mic.m4a");
    mic.startFile(written.toStdString());
    audio->push(tone(1000, 4800));
    auto span = mic.finishFile();
    span.waitForFinished();
    ASSERT_TRUE(span.result().has_value()) << mic.fileError().value_or("");
    EXPECT_NEAR(span.result()->end, 0.1, 1e-9);
    EXPECT_TRUE(QFile::exists(written));
    {
        std::lock_guard lock(asked->mutex);
        ASSERT_EQ(asked->calls.size(), 1u);
        EXPECT_EQ(asked->calls[0].first, written.toStdString());
        EXPECT_EQ(asked->calls[0].second, lc::MovieFileType::m4a);
    }

    // A writer that cannot be made costs the file, not the sound: the reason is kept.
    asked->refuse = true;
    const QString refused = QDir(dir.path()).filePath("Mic 2.m4a");
    mic.startFile(refused.toStdString());
    audio->push(tone(1000, 4800));
    auto none = mic.finishFile();
    none.waitForFinished();
    EXPECT_FALSE(none.result().has_value());
    EXPECT_EQ(mic.fileError(), "Cannot create writer for \"Mic.m4a\": No space left on device");
    EXPECT_FALSE(QFile::exists(refused));
    EXPECT_TRUE(eventually([&] { return received.load() == 2; })) << "subscribers still get every buffer";

    // Without any factory an armed file fails the same way, with its own reason.
    MicMonitor bare(audio, lc::MovieWriterFactory{});
    ASSERT_TRUE(startAndWait(bare, std::nullopt));
    bare.startFile(QDir(dir.path()).filePath("Mic 3.m4a").toStdString());
    audio->push(tone(1000));
    auto nothing = bare.finishFile();
    nothing.waitForFinished();
    EXPECT_FALSE(nothing.result().has_value());
    EXPECT_EQ(bare.fileError(), "Cannot write the microphone file: no movie writer");
}
