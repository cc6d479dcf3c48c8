#include "capture/WindowRecorder.h"
#include "RecorderFakes.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QProcess>
#include <QRegularExpression>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

using namespace lc;
using namespace lc::test;
using namespace std::chrono_literals;

namespace {

class RecorderTest : public ::testing::Test {
protected:
    std::shared_ptr<WriterLog> log;
    std::unique_ptr<FakeCapture> captureHolder;
    FakeCapture* capturePtr = nullptr;
    std::shared_ptr<FakeAudio> audio;
    std::atomic<double> now{100.0};
    std::vector<std::string> failures;
    std::mutex failuresMutex;
    std::unique_ptr<WindowRecorder> recorder;
    std::unique_ptr<MicMonitor> mic;

    FakeCapture& capture() { return *capturePtr; }

    // A fresh recorder on fresh fakes.
    void SetUp() override {
        recorder.reset();
        mic.reset();
        log = std::make_shared<WriterLog>();
        captureHolder = std::make_unique<FakeCapture>();
        capturePtr = captureHolder.get();
        audio = std::make_shared<FakeAudio>();
        failures.clear();
        WindowRecorder::Services s;
        s.capture = capturePtr;
        s.audio = audio;
        s.clock = [this] { return now.load(); };
        s.lateAudioWait = 0.3;
        s.makeWriter = [this](const std::string& path,
                              MovieFileType type) -> Result<std::unique_ptr<MovieWriter>> {
            return std::unique_ptr<MovieWriter>(std::make_unique<FakeWriter>(path, type, log));
        };
        recorder = std::make_unique<WindowRecorder>(std::move(s));
        recorder->setOnFail([this](const std::string& m) {
            std::lock_guard lock(failuresMutex);
            failures.push_back(m);
        });
    }
    void TearDown() override {
        recorder.reset();
        mic.reset();
    }

    WindowRecorder::StartOptions options(bool mp4 = false, bool appAudio = false, bool withMic = false) {
        WindowRecorder::StartOptions o;
        o.window.windowID = 77;
        o.window.owningApplication = OwningApplication{4242, "app", "App"};
        o.preset = Preset{"Custom", 320, 180};
        o.fps = 30;
        o.path = mp4 ? "/nowhere/x.mp4" : "/nowhere/x.mov";
        o.appAudio = appAudio;
        o.mp4 = mp4;
        if (withMic) {
            mic = std::make_unique<MicMonitor>(audio, lc::MovieWriterFactory{});
            std::atomic<bool> running{false};
            mic->start(std::nullopt, [&](bool ok) { running = ok; });
            EXPECT_TRUE(waitUntil([&] { return running.load(); }, 2s));
            o.mic = mic.get();
        }
        return o;
    }
    // A frame captured at `captured` (uptime; 0: unstamped, the recorder takes its clock).
    static BgraFramePtr frame(std::uint64_t serial = 1, double captured = 0) {
        auto f = BgraFrame::allocate(64, 36);
        f->serial = serial;
        f->hostTime = captured;
        return f;
    }
    // Starts, delivers the first frame at uptime `t0` and waits for the writing session.
    void startRecording(WindowRecorder::StartOptions o, double t0 = 100.0) {
        ASSERT_TRUE(recorder->startAndWait(std::move(o)).ok());
        now = t0;
        capture().deliver(frame());
        ASSERT_TRUE(waitUntil([&] { return !log->read([](auto& l) { return l.videoPts.empty(); }); }, 2s));
    }
    std::vector<std::int64_t> videoPts() {
        return log->read([](auto& l) { return l.videoPts; });
    }
    std::vector<std::int64_t> audioPts(int input) {
        return log->read([&](auto& l) {
            return l.audioPts.count(input) ? l.audioPts.at(input) : std::vector<std::int64_t>{};
        });
    }
    std::size_t failureCount() {
        std::lock_guard lock(failuresMutex);
        return failures.size();
    }
};

} // namespace

TEST_F(RecorderTest, MovSetUpDeclaresEveryTrackAndStopBeforeAnyFrameCancels) {
    ASSERT_TRUE(recorder->startAndWait(options(false, true, true)).ok());
    EXPECT_EQ(log->callList(), (std::vector<std::string>{"addVideoInput", "addTimecodeTrack", "addAudioInput",
                                                         "addAudioInput", "startWriting"}));
    const VideoSettings v = log->read([](auto& l) { return l.video; });
    EXPECT_EQ(v.codec, VideoCodec::h264);
    EXPECT_EQ(v.width, 320);
    EXPECT_EQ(v.height, 180);
    EXPECT_EQ(v.averageBitRate, 207360);  // 320 × 180 × 30 × 0.12
    EXPECT_EQ(v.maxKeyFrameInterval, 30); // a key frame every second: what a crash can cost
    EXPECT_EQ(capture().stream->windowID, 77u);
    EXPECT_DOUBLE_EQ(capture().stream->config.minimumFrameInterval, 1.0 / 30);
    EXPECT_EQ(capture().stream->config.queueDepth, 6);
    EXPECT_TRUE(capture().stream->config.showsCursor);
    ASSERT_TRUE(audio->app);
    EXPECT_EQ(audio->app->pid, 4242);

    EXPECT_EQ(recorder->stopAndWait(), 0.0);
    EXPECT_TRUE(log->has("cancel"));
    EXPECT_FALSE(log->has("finish"));
    EXPECT_FALSE(recorder->firstFrameUptime());
    EXPECT_TRUE(capture().stream->stopped);
    EXPECT_TRUE(audio->app->stopped);
    EXPECT_EQ(failureCount(), 0u);
}

TEST_F(RecorderTest, Mp4StartsWritingAtTheFirstFrameWithItsComment) {
    ASSERT_TRUE(recorder->startAndWait(options(true)).ok());
    EXPECT_EQ(log->callList(), std::vector<std::string>{"addVideoInput"});
    EXPECT_FALSE(audio->app); // no application audio wanted

    now = 123.5;
    capture().deliver(frame());
    ASSERT_TRUE(waitUntil([&] { return log->has("startSession"); }, 2s));
    EXPECT_EQ(log->callList(),
              (std::vector<std::string>{"addVideoInput", "setMetadata", "startWriting", "startSession"}));
    // The timeline starts half a frame before the capture: slot 0's middle is the capture.
    EXPECT_DOUBLE_EQ(*recorder->firstFrameUptime(), 123.5 - 1.0 / 60);
    const auto date = recorder->firstFrameDate();
    ASSERT_TRUE(date);
    const std::string comment = log->read([](auto& l) { return l.comment; });
    EXPECT_EQ(comment, "timecode=" + Timecode::string(*date, 30).toStdString() +
                           " fps=30 start=" + log->read([](auto& l) { return l.date; }));
    EXPECT_TRUE(QRegularExpression(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(Z|[+-]\d\d:\d\d)$)")
                    .match(QString::fromStdString(WindowRecorder::isoDate(*date)))
                    .hasMatch());
}

TEST_F(RecorderTest, StartFailuresReportTheirErrorAndLeaveNothingRunning) {
    log->refuseVideoInput = true;
    auto r = recorder->startAndWait(options());
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message, "Cannot add video input");
    EXPECT_EQ(r.error().code, 1);
    EXPECT_FALSE(capture().stream);

    SetUp();
    capture().failStart = true;
    r = recorder->startAndWait(options(false, true));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message, "The window is no longer available");
    EXPECT_TRUE(log->has("cancel"));
    EXPECT_TRUE(!audio->app || audio->app->stopped); // nothing is left capturing

    SetUp();
    log->failStartWriting = true;
    r = recorder->startAndWait(options());
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message, "Cannot create file: Permission denied");
}

TEST_F(RecorderTest, FramesFillEverySlotOfTheGridUpToTheVideoEnd) {
    startRecording(options());
    EXPECT_EQ(videoPts().front(), 0);
    EXPECT_EQ(log->read([](auto& l) { return l.timecodeStart; }),
              Timecode::frameNumber(*recorder->firstFrameDate(), 30));

    // The clock stands still: ticks keep coming but the next slot's time has not come.
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(videoPts().size(), 1u);
    // Half a second at once, as after a thread that came late: every slot is filled, 1/30 s apart.
    now = 100.5;
    ASSERT_TRUE(waitUntil([&] { return videoPts().size() == 16; }, 2s));
    std::vector<std::int64_t> grid;
    for (int k = 0; k <= 15; ++k)
        grid.push_back(k * 3000);
    EXPECT_EQ(videoPts(), grid);

    // The window never redrew: the same composed picture is repeated.
    const auto frames = log->read([](auto& l) { return l.videoFrames; });
    EXPECT_TRUE(std::all_of(frames.begin(), frames.end(), [&](auto* f) { return f == frames[0]; }));

    // The video ends before the slot at 37/30 s; the last frame lasts a full period.
    now = 101.234567;
    const double d = recorder->stopAndWait();
    EXPECT_EQ(videoPts().size(), 38u);
    EXPECT_EQ(videoPts().back(), 37 * 3000);
    EXPECT_DOUBLE_EQ(d, 38.0 / 30);
    EXPECT_DOUBLE_EQ(recorder->duration(), d);
    const auto calls = log->callList();
    EXPECT_TRUE(log->has("markFinished:0"));
    EXPECT_EQ(calls.back(), "finish");
    EXPECT_GE(recorder->stats().ticks, 2u);
    EXPECT_EQ(recorder->stats().framesWritten, 38u);
    EXPECT_EQ(recorder->stats().pictures, 1u);
    EXPECT_FALSE(recorder->finishFailure());
}

TEST_F(RecorderTest, EachSlotShowsTheNewestFrameCapturedAtOrBeforeItsTime) {
    ASSERT_TRUE(recorder->startAndWait(options()).ok());
    now = 100.02;
    capture().deliver(frame(1, 100.0)); // the timeline starts at the capture, not at its handling
    ASSERT_TRUE(waitUntil([&] { return videoPts().size() == 1; }, 2s));
    EXPECT_DOUBLE_EQ(*recorder->firstFrameUptime(), 100.0 - 1.0 / 60);

    // The writer has no room while three frames come in; the slots wait for it.
    log->change([](auto& l) { l.videoReady = false; });
    capture().deliver(frame(2, 100.05));
    capture().deliver(frame(3, 100.09));
    capture().deliver(frame(4, 100.11));
    capture().deliver(frame(5, 100.08)); // older than one already there: never shown
    now = 100.2;
    QFuture<double> stopping = recorder->stop(); // handled after the frames
    log->change([](auto& l) { l.videoReady = true; });
    stopping.waitForFinished();

    // Slots at 0, 1/30, 2/30, 3/30, 4/30, 5/30 s; the one at 6/30 = 0.2 s is past the end.
    EXPECT_EQ(videoPts(), (std::vector<std::int64_t>{0, 3000, 6000, 9000, 12000, 15000}));
    EXPECT_DOUBLE_EQ(stopping.result(), 0.2);
    const auto shown = log->read([](auto& l) { return l.videoFrames; });
    ASSERT_EQ(shown.size(), 6u);
    EXPECT_EQ(shown[1], shown[0]); // 1/30: only the first was captured by then
    EXPECT_NE(shown[2], shown[1]); // 2/30 = 0.067: the one of 0.05
    EXPECT_NE(shown[3], shown[2]); // 3/30 = 0.1: the one of 0.09
    EXPECT_NE(shown[4], shown[3]); // 4/30 = 0.133: the one of 0.11
    EXPECT_EQ(shown[5], shown[4]); // nothing newer
    EXPECT_EQ(recorder->stats().pictures, 4u);
}

TEST_F(RecorderTest, AWriterThatFallsBehindIsWaitedForUpToTheVideoEnd) {
    startRecording(options());
    // An encoder with room for one frame at a time while 5 s of slots are due (more than the
    // stop's idle allowance): the stop waits for all of them instead of cutting the file short.
    log->change([](auto& l) { l.videoRoomEvery = 2; });
    now = 105.0;
    const double d = recorder->stopAndWait();
    EXPECT_DOUBLE_EQ(d, 150.0 / 30);
    EXPECT_EQ(videoPts().size(), 150u);
    EXPECT_EQ(videoPts().back(), 149 * 3000);
    EXPECT_TRUE(log->has("finish"));
}

TEST_F(RecorderTest, AFailedFinishIsTheStopsFailureAndTheDurationStaysTrue) {
    startRecording(options());
    log->change([](auto& l) { l.finishError = "Cannot finish x.mov: Input/output error"; });
    now = 101.0;
    EXPECT_DOUBLE_EQ(recorder->stopAndWait(), 1.0);
    EXPECT_EQ(recorder->finishFailure(), "Cannot finish x.mov: Input/output error");
    EXPECT_EQ(failureCount(), 0u); // stop() was called: the failure goes with its result
}

TEST_F(RecorderTest, AudioIsRetimedAndKeptOnlyUpTo20msPastTheVideoEnd) {
    startRecording(options(false, true, true), 50.0);
    FakeAudio::push(audio->app, 49.9); // before the first frame
    FakeAudio::push(audio->app, 50.25);
    FakeAudio::push(audio->mic, 50.5);
    ASSERT_TRUE(waitUntil([&] { return audioPts(1).size() == 1 && audioPts(2).size() == 1; }, 2s));

    now = 51.0;
    QFuture<double> stopping = recorder->stop();
    FakeAudio::push(audio->app, 51.01); // within 20 ms of the video end
    FakeAudio::push(audio->app, 51.03); // too late
    stopping.waitForFinished();

    // On the file's timeline, whose zero is half a frame before the first frame's capture.
    const double zero = *recorder->firstFrameUptime();
    EXPECT_DOUBLE_EQ(zero, 50.0 - 1.0 / 60);
    auto at = [&](double t) { return std::llround((t - zero) * 48000); };
    EXPECT_EQ(audioPts(1), (std::vector<std::int64_t>{at(50.25), at(51.01)}));
    EXPECT_EQ(audioPts(1).front(), 12800);
    EXPECT_EQ(audioPts(2), std::vector<std::int64_t>{at(50.5)});
    const std::string line = recorder->debugLine();
    const auto rel = [&](double t) { return WindowRecorder::formatReal(t - zero); };
    EXPECT_EQ(
        line.rfind("audio rx=4 notReady=0 afterEnd=1 firstRel=" + rel(50.25) + " lastRel=" + rel(51.03), 0),
        0u)
        << line;
    EXPECT_NE(line.find(" videoEndRel=" + rel(51.0) + " lastRxRel=" + rel(51.0)), std::string::npos) << line;
    EXPECT_TRUE(log->has("markFinished:1"));
    EXPECT_TRUE(log->has("markFinished:2"));
}

// The zero is half a frame before the first capture at 100 s: file time t − 100 + 1/60 before the
// pause, less the 3 s of the pause after it.
TEST_F(RecorderTest, APauseIsCutFromTheGridAndTheSoundAndTheResumeShowsTheLatestPicture) {
    startRecording(options(false, true, true), 100.0);
    now = 100.5;
    ASSERT_TRUE(waitUntil([&] { return videoPts().size() == 16; }, 2s));

    recorder->pause(100.61).waitForFinished(); // file time 0.62667: slots 0…18 are before it
    now = 102.0;
    capture().deliver(frame(2));          // the window changes during the pause
    FakeAudio::push(audio->app, 100.605); // 10 ms, the last 5 of them paused
    FakeAudio::push(audio->app, 101.0);
    FakeAudio::push(audio->mic, 102.0);
    const std::uint64_t ticks = recorder->stats().ticks;
    ASSERT_TRUE(waitUntil([&] { return recorder->stats().ticks >= ticks + 3; }, 5s));
    EXPECT_EQ(videoPts().size(), 19u) << "the grid stops at the pause";

    recorder->resume(103.61).waitForFinished();
    FakeAudio::push(audio->app, 103.605); // 10 ms, the first 5 of them paused
    now = 103.69;                         // file time 0.70667: slots 19 and 20 are due
    ASSERT_TRUE(waitUntil([&] { return videoPts().size() == 21; }, 2s));
    std::vector<std::int64_t> grid;
    for (int k = 0; k < 21; ++k)
        grid.push_back(k * 3000);
    EXPECT_EQ(videoPts(), grid) << "no slot for the paused seconds, none frozen across them";
    const auto frames = log->read([](auto& l) { return l.videoFrames; });
    EXPECT_EQ(frames[18], frames[0]);
    EXPECT_NE(frames[19], frames[18]) << "the picture from the pause, not the one before it";
    FakeAudio::push(audio->app, 103.7);
    FakeAudio::push(audio->mic, 103.65);
    ASSERT_TRUE(waitUntil([&] { return audioPts(1).size() == 3 && audioPts(2).size() == 1; }, 2s));
    // The edge buffers meet where the pause was cut: 29840 + 240 samples = 30080.
    EXPECT_EQ(audioPts(1), (std::vector<std::int64_t>{29840, 30080, 34400}));
    EXPECT_EQ(audioPts(2), std::vector<std::int64_t>{32000});

    now = 104.0;
    EXPECT_DOUBLE_EQ(recorder->stopAndWait(), 1.0) << "4 s of clock minus the 3 s pause";
    EXPECT_EQ(videoPts().size(), 30u) << "one packet per slot";
    EXPECT_EQ(recorder->stats().framesWritten, 30u);
}

TEST_F(RecorderTest, APauseBeforeTheFirstFrameStartsTheFileAtTheResume) {
    WindowRecorder::StartOptions o = options();
    o.pausedAt = 99.0;
    ASSERT_TRUE(recorder->startAndWait(std::move(o)).ok());
    now = 100.0;
    capture().deliver(frame());
    recorder->pause(100.0).waitForFinished(); // already paused: only waits for the frame to be seen
    EXPECT_FALSE(recorder->firstFrameUptime());
    EXPECT_EQ(recorder->phase(), WindowRecorder::Phase::starting);

    now = 101.0;
    recorder->resume(101.0).waitForFinished();
    EXPECT_EQ(recorder->firstFrameUptime(), 101.0) << "the file's zero is the resume";
    now = 101.02;
    ASSERT_TRUE(waitUntil([&] { return !videoPts().empty(); }, 2s));
    EXPECT_EQ(videoPts().front(), 0);
    now = 101.5;
    EXPECT_DOUBLE_EQ(recorder->stopAndWait(), 0.5);
    EXPECT_EQ(videoPts().size(), 15u);
}

TEST_F(RecorderTest, StopWhilePausedEndsTheFileAtThePause) {
    startRecording(options(false, true), 100.0);
    now = 100.5;
    ASSERT_TRUE(waitUntil([&] { return videoPts().size() == 16; }, 2s));
    recorder->pause(100.81).waitForFinished(); // file time 0.82667: slots 0…24 are before it
    now = 105.0;
    capture().deliver(frame(2));
    FakeAudio::push(audio->app, 100.7);
    FakeAudio::push(audio->app, 104.0);
    ASSERT_TRUE(waitUntil([&] { return audioPts(1).size() == 1; }, 2s));
    EXPECT_DOUBLE_EQ(recorder->stopAndWait(), 25.0 / 30) << "the last slot before the pause";
    EXPECT_EQ(videoPts().size(), 25u);
    EXPECT_EQ(videoPts().back(), 24 * 3000);
    const auto frames = log->read([](auto& l) { return l.videoFrames; });
    EXPECT_TRUE(std::all_of(frames.begin(), frames.end(), [&](auto* f) { return f == frames[0]; }))
        << "nothing from the pause";
    EXPECT_EQ(audioPts(1), std::vector<std::int64_t>{34400});

    // A window that joined during the pause and never saw a resume leaves no file.
    SetUp();
    WindowRecorder::StartOptions o = options();
    o.pausedAt = 50.0;
    ASSERT_TRUE(recorder->startAndWait(std::move(o)).ok());
    capture().deliver(frame());
    EXPECT_DOUBLE_EQ(recorder->stopAndWait(), 0.0);
    EXPECT_TRUE(videoPts().empty());
    EXPECT_TRUE(log->has("cancel"));
}

TEST_F(RecorderTest, PendingAudioIsBoundedAndARejectedBufferEmptiesTheList) {
    startRecording(options(false, true), 10.0);
    log->change([](auto& l) { l.audioReady = false; });
    for (int i = 0; i < 1005; ++i)
        FakeAudio::push(audio->app, 10.01 + i * 0.01);
    ASSERT_TRUE(waitUntil([&] { return recorder->debugLine().find("rx=1005 ") != std::string::npos; }, 5s));
    EXPECT_NE(recorder->debugLine().find("notReady=5 "), std::string::npos);

    log->change([](auto& l) { l.audioReady = true; }); // the next tick drains
    ASSERT_TRUE(waitUntil([&] { return audioPts(1).size() == 1000; }, 2s));
    const auto pts = audioPts(1);
    EXPECT_TRUE(std::is_sorted(pts.begin(), pts.end()));
    EXPECT_EQ(pts.front(), 480 + 800); // 10 ms after the capture, which is half a frame in

    log->change([](auto& l) { l.audioReady = false; });
    for (int i = 0; i < 3; ++i)
        FakeAudio::push(audio->app, 21.0 + i * 0.01);
    std::this_thread::sleep_for(100ms);
    log->change([](auto& l) { l.audioReady = true, l.rejectAudio = true; });
    std::this_thread::sleep_for(100ms);
    log->change([](auto& l) { l.rejectAudio = false; });
    FakeAudio::push(audio->app, 22.0);
    ASSERT_TRUE(waitUntil([&] { return audioPts(1).size() == 1001; }, 2s));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(audioPts(1).back(), 12 * 48000 + 800);
}

TEST_F(RecorderTest, StreamFailureIsReportedOnceButNeverWhileStopping) {
    startRecording(options());
    capture().endWithError("The window was closed");
    capture().endWithError("again");
    ASSERT_TRUE(waitUntil([&] { return failureCount() == 1; }, 2s));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(failures, std::vector<std::string>{"The window was closed"});
    now = 102.0;
    EXPECT_DOUBLE_EQ(recorder->stopAndWait(), 2.0); // the file is still finished
    EXPECT_TRUE(log->has("finish"));

    SetUp();
    startRecording(options());
    QFuture<double> stopping = recorder->stop();
    capture().endWithError("The window was closed");
    stopping.waitForFinished();
    EXPECT_EQ(failureCount(), 0u);
}

TEST_F(RecorderTest, WriterFailuresAreReportedAndTheWrittenPartIsKept) {
    startRecording(options());
    log->failNow("Cannot write x.mov: No space left on device");
    ASSERT_TRUE(waitUntil([&] { return failureCount() == 1; }, 2s));
    EXPECT_EQ(failures[0], "Cannot write x.mov: No space left on device");
    // The writer took the first slot before it failed: the file has that much video.
    now = 105.0;
    EXPECT_DOUBLE_EQ(recorder->stopAndWait(), 1.0 / 30);
    EXPECT_TRUE(log->has("cancel")); // a failed writer keeps what it wrote
    EXPECT_FALSE(log->has("finish"));

    SetUp();
    log->failStartWriting = true;
    ASSERT_TRUE(recorder->startAndWait(options(true)).ok());
    capture().deliver(frame());
    ASSERT_TRUE(waitUntil([&] { return failureCount() == 1; }, 2s));
    EXPECT_EQ(failures[0], "Cannot create file: Permission denied");
    EXPECT_TRUE(recorder->firstFrameUptime());
    EXPECT_EQ(recorder->stopAndWait(), 0.0);
    EXPECT_FALSE(log->has("startSession"));
    EXPECT_TRUE(log->has("cancel"));
}

TEST_F(RecorderTest, StopBeforeStartLeavesNothingAndRefusesALaterStart) {
    EXPECT_EQ(recorder->phase(), WindowRecorder::Phase::starting);
    EXPECT_EQ(recorder->stopAndWait(), 0.0);
    EXPECT_EQ(recorder->phase(), WindowRecorder::Phase::done);

    const auto started = recorder->startAndWait(options(false, true));
    ASSERT_FALSE(started.ok());
    EXPECT_EQ(started.error().message, "The recorder has already been stopped");
    EXPECT_TRUE(log->callList().empty()); // no writer was even created
    EXPECT_FALSE(capture().stream);
    EXPECT_FALSE(audio->app);
    EXPECT_EQ(recorder->stopAndWait(), 0.0);
}

TEST_F(RecorderTest, StopRightAfterStartCancelsAndIgnoresLateFrames) {
    QFuture<Result<void>> starting = recorder->start(options(false, true));
    QFuture<double> stopping = recorder->stop(); // before the start has resolved
    starting.waitForFinished();
    stopping.waitForFinished();
    EXPECT_TRUE(starting.result().ok());
    EXPECT_EQ(stopping.result(), 0.0);
    EXPECT_EQ(recorder->phase(), WindowRecorder::Phase::done);
    EXPECT_TRUE(log->has("cancel"));
    EXPECT_FALSE(log->has("finish"));
    EXPECT_TRUE(capture().stream->stopped);
    ASSERT_TRUE(audio->app);
    EXPECT_TRUE(audio->app->stopped);

    // A frame the stream had already handed over when it stopped starts nothing.
    capture().stream->handlers.onFrame(frame());
    recorder.reset(); // runs what was posted before it goes
    EXPECT_FALSE(log->has("startSession"));
    EXPECT_TRUE(videoPts().empty());
}

TEST_F(RecorderTest, PhasesFollowTheFileFromFirstFrameToDone) {
    ASSERT_TRUE(recorder->startAndWait(options()).ok());
    EXPECT_EQ(recorder->phase(), WindowRecorder::Phase::starting);
    now = 100.0;
    capture().deliver(frame());
    ASSERT_TRUE(waitUntil([&] { return recorder->phase() == WindowRecorder::Phase::recording; }, 2s));
    EXPECT_DOUBLE_EQ(*recorder->firstFrameUptime(), 100.0 - 1.0 / 60);
    now = 101.0;
    EXPECT_DOUBLE_EQ(recorder->stopAndWait(), 1.0);
    EXPECT_EQ(recorder->phase(), WindowRecorder::Phase::done);
}

TEST_F(RecorderTest, FailuresRacingStopAreNeverReportedAfterStopReturned) {
    for (int round = 0; round < 20; ++round) {
        SetUp();
        startRecording(options());
        std::thread writerThread([&] { log->failNow("Cannot write x.mov: No space left on device"); });
        std::thread streamThread([&] { capture().endWithError("The window was closed"); });
        QFuture<double> stopping = recorder->stop();
        const std::size_t reportedBeforeStop = failureCount();
        writerThread.join();
        streamThread.join();
        stopping.waitForFinished();
        recorder.reset(); // handles every failure already posted
        EXPECT_EQ(failureCount(), reportedBeforeStop) << "round " << round;
        EXPECT_LE(failureCount(), 1u);
        // Whatever won, the file was either finished or cancelled, once.
        const auto calls = log->callList();
        const auto ends = std::count(calls.begin(), calls.end(), "finish") +
                          std::count(calls.begin(), calls.end(), "cancel");
        EXPECT_GE(ends, 1) << "round " << round;
    }
}

TEST_F(RecorderTest, StoppingTwiceGivesTheSameResultAndFinishesOnce) {
    startRecording(options());
    now = 103.0;
    QFuture<double> first = recorder->stop();
    QFuture<double> fromElsewhere;
    std::thread other([&] { fromElsewhere = recorder->stop(); });
    other.join();
    first.waitForFinished();
    fromElsewhere.waitForFinished();
    EXPECT_DOUBLE_EQ(first.result(), 3.0);
    EXPECT_DOUBLE_EQ(fromElsewhere.result(), 3.0);
    EXPECT_DOUBLE_EQ(recorder->stopAndWait(), 3.0);
    EXPECT_DOUBLE_EQ(recorder->duration(), 3.0);
    recorder.reset();
    const auto calls = log->callList();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "finish"), 1);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "cancel"), 0);
}

TEST_F(RecorderTest, DroppingARecordingRecorderFinishesItsFile) {
    startRecording(options());
    now = 102.5;
    recorder.reset();
    EXPECT_TRUE(log->has("finish"));
    EXPECT_EQ(videoPts().back(), 74 * 3000); // the last slot before 2.5 s
}

TEST_F(RecorderTest, AMissingWriterFactoryIsAClearStartError) {
    WindowRecorder::Services s;
    s.capture = capturePtr;
    WindowRecorder bare(std::move(s));
    const auto started = bare.startAndWait(options());
    ASSERT_FALSE(started.ok());
    EXPECT_EQ(started.error().message, "No movie writer");
    EXPECT_FALSE(capture().stream);
    EXPECT_EQ(bare.phase(), WindowRecorder::Phase::done);
}

TEST(WindowRecorderValues, CaptureSizeBitRateAndTexts) {
    EXPECT_EQ(WindowRecorder::captureSize({801, 600}, 2), (Size{1602, 1200}));
    EXPECT_EQ(WindowRecorder::captureSize({1601, 899}, 1), (Size{1602, 900}));
    EXPECT_EQ(WindowRecorder::captureSize({0.4, 0.4}, 1), (Size{2, 2}));
    EXPECT_EQ(VideoSettings::recordingBitRate(1920, 1080, 30), 7'464'960);
    EXPECT_EQ(VideoSettings::recordingBitRate(3840, 2160, 60), 59'719'680);
    EXPECT_EQ(VideoSettings::recordingBitRate(5120, 2880, 60), 80'000'000);

    EXPECT_EQ(WindowRecorder::formatReal(-1.0), "-1.0");
    EXPECT_EQ(WindowRecorder::formatReal(0.0), "0.0");
    EXPECT_EQ(WindowRecorder::formatReal(12.345678), "12.345678");
    EXPECT_EQ(WindowRecorder::formatReal(0.1 + 0.2), "0.30000000000000004");
    EXPECT_FALSE(WindowRecorder::hideCursorForMarketing());

    FakeCapture fake;
    WindowRecorder::Services s;
    s.capture = &fake;
    WindowRecorder idle(s);
    EXPECT_EQ(idle.debugLine(),
              "audio rx=0 notReady=0 afterEnd=0 firstRel=-1.0 lastRel=0.0 videoEndRel=0.0 lastRxRel=0.0");
    EXPECT_EQ(idle.stopAndWait(), 0.0); // never started
}

// The switch reads the process's own command line: run this test binary again with each pair.
TEST(WindowRecorderValues, CursorSwitchNeedsBothSelfTestArguments) {
    if (qEnvironmentVariableIsSet("LC_CURSOR_EXPECT")) {
        EXPECT_EQ(WindowRecorder::hideCursorForMarketing(), qEnvironmentVariable("LC_CURSOR_EXPECT") == "1");
        return;
    }
    auto child = [](const QStringList& args, const char* expect) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LC_CURSOR_EXPECT", expect);
        p.setProcessEnvironment(env);
        p.start(QCoreApplication::applicationFilePath(),
                QStringList{"--gtest_filter=WindowRecorderValues.CursorSwitchNeedsBothSelfTestArguments"} +
                    args);
        p.waitForFinished(30000);
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    };
    EXPECT_EQ(child({"--selftest-multi", "--no-cursor"}, "1"), 0);
    EXPECT_EQ(child({"--selftest-multi"}, "0"), 0);
    EXPECT_EQ(child({"--no-cursor", "--selftest"}, "0"), 0);
}

// --- Application audio is optional -------------------------------------------------------------

TEST_F(RecorderTest, ApplicationAudioThatCannotStartLeavesAVideoOnlyFileAndSaysWhy) {
    audio->setAppError("No sound server: Connection refused");
    std::vector<std::string> sounds;
    std::mutex soundsMutex;
    recorder->setOnSound([&](const std::string& text) {
        std::lock_guard lock(soundsMutex);
        sounds.push_back(text);
    });
    startRecording(options(false, true, true), 10.0);
    EXPECT_FALSE(recorder->hasAppAudio());
    EXPECT_EQ(recorder->soundNote(), "No sound: No sound server: Connection refused");
    // The microphone copy is the file's only audio track.
    EXPECT_EQ(log->callList()[2], "addAudioInput");
    EXPECT_NE(log->callList()[3], "addAudioInput");
    now = 11.0;
    ASSERT_TRUE(waitUntil([&] { return videoPts().size() >= 2; }, 3s));
    EXPECT_GT(recorder->stopAndWait(), 0.0);
    EXPECT_EQ(failureCount(), 0u);
    std::lock_guard lock(soundsMutex);
    EXPECT_EQ(sounds, std::vector<std::string>{"No sound: No sound server: Connection refused"});
}

TEST_F(RecorderTest, ApplicationAudioLostMidRecordingComesBackOnTheSameTimeline) {
    std::vector<std::string> sounds;
    std::mutex soundsMutex;
    recorder->setOnSound([&](const std::string& text) {
        std::lock_guard lock(soundsMutex);
        sounds.push_back(text);
    });
    startRecording(options(false, true), 100.0);
    EXPECT_TRUE(recorder->hasAppAudio());
    FakeAudio::push(audio->appNow(), 100.5);
    ASSERT_TRUE(waitUntil([&] { return audioPts(1).size() == 1; }, 2s));

    // The server dies 63.25 s in and refuses for a while: the video goes on.
    audio->setAppError("No sound server: Connection refused");
    now = 163.25;
    audio->endApp("The sound server stopped: Connection terminated");
    ASSERT_TRUE(waitUntil([&] { return recorder->soundNote().has_value(); }, 2s));
    EXPECT_EQ(recorder->soundNote(),
              "Sound stopped at 01:03: The sound server stopped: Connection terminated");
    ASSERT_TRUE(waitUntil([&] { return audio->appCaptures.load() >= 3; }, 10s)) << "tried again";
    const std::size_t frames = videoPts().size();
    now = 164.0;
    ASSERT_TRUE(waitUntil([&] { return videoPts().size() > frames; }, 3s));
    EXPECT_EQ(failureCount(), 0u);

    // Back: the sound lands at its own time, the gap in between stays a gap.
    const int tries = audio->appCaptures.load();
    audio->setAppError(std::nullopt);
    ASSERT_TRUE(
        waitUntil([&] { return audio->appCaptures.load() > tries && !audio->appNow()->stopped; }, 10s));
    FakeAudio::push(audio->appNow(), 165.0);
    ASSERT_TRUE(waitUntil([&] { return audioPts(1).size() == 2; }, 2s));
    // The file's zero is half a frame before the first frame's capture: 800 samples at 30 fps.
    EXPECT_EQ(audioPts(1), (std::vector<std::int64_t>{24000 + 800, 65 * 48000 + 800}));
    now = 166.0;
    EXPECT_GT(recorder->stopAndWait(), 65.0);
    std::lock_guard lock(soundsMutex);
    EXPECT_EQ(sounds, std::vector<std::string>{
                          "Sound stopped at 01:03: The sound server stopped: Connection terminated"});
}
