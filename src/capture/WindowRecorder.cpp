#include "capture/WindowRecorder.h"

#include "capture/BlurFill.h"
#include "capture/FrameTimer.h"
#include "capture/PauseTimeline.h"
#include "common/BlockingCalls.h"
#include "common/Clock.h"
#include "common/Detached.h"
#include "common/Guarded.h"
#include "common/PostGate.h"

#include <QDateTime>
#include <QObject>
#include <QPromise>
#include <QThread>
#include <QTimer>
#include <QUuid>
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>
#include <fstream>
#include <iterator>
#include <map>
#include <qcoro/qcorofuture.h>
#include <qcoro/qcorotask.h>
#include <qcoro/qcorotimer.h>
#include <unistd.h>

namespace lc {

namespace {

constexpr int kQueueDepth = 6;
// Captured frames the recorder holds while their slots are still to come; the rest of the
// capture's pool stays free for new content.
constexpr std::size_t kMaxHeldFrames = kQueueDepth - 2;
// Slot times and frame times compare within this, so that k/fps and a stamp that equal it agree.
constexpr double kSlotEpsilon = 1e-9;
constexpr std::size_t kMaxPendingAudio = 1000;
constexpr double kAudioAfterVideoEnd = 0.02;
constexpr int kFlushRounds = 100;
constexpr std::chrono::milliseconds kFlushInterval{20};
constexpr std::chrono::milliseconds kAppAudioRetry{1000};

using Phase = WindowRecorder::Phase;

// Every move a recorder may make; the header draws them.
bool allowedMove(Phase from, Phase to) {
    switch (from) {
    case Phase::starting:
        return to == Phase::recording || to == Phase::done;
    case Phase::recording:
        return to == Phase::draining;
    case Phase::draining:
        return to == Phase::finishing || to == Phase::done;
    case Phase::finishing:
        return to == Phase::done;
    case Phase::done:
        return false;
    }
    return false;
}

const char* nameOf(Phase p) {
    switch (p) {
    case Phase::starting:
        return "starting";
    case Phase::recording:
        return "recording";
    case Phase::draining:
        return "draining";
    case Phase::finishing:
        return "finishing";
    case Phase::done:
        return "done";
    }
    return "?";
}

std::int64_t toTicks(double seconds, std::int64_t scale) {
    return std::llround(seconds * double(scale));
}

// The zero of a file's timeline on the shared clock and the wall clock. A slot of the grid is
// shown for 1/fps and its picture is the one captured nearest before its middle, so the zero is
// half a period before the first frame's capture: pictures then sit on average where they were
// taken, instead of half a frame late against the sound.
struct Timeline {
    double uptime = 0;
    Timecode::Instant date;
    // Where an instant of the shared clock falls on the file's timeline, in seconds. Every frame
    // and audio time goes through here: the pauses after the zero are cut out, and an instant
    // inside a pause falls on the pause's start.
    double fileTime(double at, const PauseTimeline& pauses) const {
        return pauses.elapsedClamped(uptime, at);
    }
};

// The frame grid: slot k is shown from k/fps for 1/fps; its picture is taken at its middle.
double slotTime(std::int64_t k, int fps) {
    return (double(k) + 0.5) / double(fps);
}
std::int64_t slotPts(std::int64_t k, int fps) {
    return (k * kVideoTimeScale + fps / 2) / fps;
}

// What debugLine reports about application audio.
struct AudioDiagnostics {
    long rx = 0;
    long notReady = 0;
    long late = 0;
    double lastRel = 0.0;
    double firstRel = -1.0;
    double lastRxUp = 0.0;
};

} // namespace

// State shared between the public object, the recorder's thread and the callbacks of other
// threads. Two locks, because onFail runs under the second: the readings stay available to it.
struct WindowRecorder::Shared {
    // Written on the recorder's thread only; read anywhere.
    struct Readings {
        Phase phase = Phase::starting;
        std::optional<Timeline> timeline;
        std::optional<double> videoEnd; // uptime
        double duration = 0;
        std::optional<std::string> finishFailure;
        int fps = 30;
        AudioDiagnostics audio;
        Stats stats;
        bool hasAppAudio = false;
        std::optional<std::string> soundNote;

        // A move the table does not allow is a fault in this file: it is refused and said.
        void moveTo(Phase next) {
            if (allowedMove(phase, next)) {
                phase = next;
                return;
            }
            std::fprintf(stderr, "loomcast.recorder: refused move from %s to %s\n", nameOf(phase),
                         nameOf(next));
        }
    };
    // The caller's side of the lifecycle. Held while onFail runs, so that a stop() cannot slip in
    // between the check for it and the call.
    struct Control {
        bool startCalled = false;
        std::optional<QFuture<double>> stopped;
        bool failReported = false;
        std::function<void(const std::string&)> onFail;
        std::function<void(const std::string&)> onSound;
    };

    Guarded<Readings> readings;
    Guarded<Control> control;
};

// Everything that runs on the recorder's thread. Other threads reach it only through gate().
class WindowRecorder::Core : public QObject {
public:
    Core(Services services, std::shared_ptr<Shared> shared)
        : services_(std::move(services)), shared_(std::move(shared)),
          gate_(std::make_shared<PostGate<Core>>(this)), appRetry_(this) {
        if (!services_.clock) services_.clock = [] { return uptime(); };
        appRetry_.setInterval(kAppAudioRetry);
        connect(&appRetry_, &QTimer::timeout, this, [this] { retryAppAudio(); });
    }

    PostGate<Core>& gate() { return *gate_; }

    Result<void> start(const StartOptions& o);
    QCoro::Task<> stop(std::shared_ptr<QPromise<double>> promise);
    void shutdown();

    void frame(BgraFramePtr frame);
    void appAudio(std::shared_ptr<const AudioChunk> chunk) { appendAudio(std::move(chunk), appInput_); }
    void micAudio(std::shared_ptr<const AudioChunk> chunk) { appendAudio(std::move(chunk), micInput_); }
    void reportFailure(const std::string& message);
    void appAudioLost(const std::string& reason);
    void appAudioBack(std::shared_ptr<AudioCapture> capture);
    void pause(double at) { pauses_.pause(at); }
    void resume(double at);

private:
    using InputId = MovieWriter::InputId;
    struct Pending {
        std::shared_ptr<const AudioChunk> chunk;
        std::int64_t pts = 0; // 1/48,000 s on the file's timeline
    };

    Result<void> openWriter(const StartOptions& o);
    Result<void> startCapture(const StartOptions& o);
    // The application audio is optional: when it cannot start the file has no track for it.
    void startAppAudio(const StartOptions& o);
    AudioCallbacks appCallbacks();
    void retryAppAudio();
    void reportSound(const std::string& text);
    void abandonStart();
    struct Held {
        BgraFramePtr frame;
        double captured = 0; // uptime
    };

    void keep(BgraFramePtr frame);
    void beginTimeline();
    // The frame timer, firing half a period behind the slots' picture times from `now` on.
    void startTimer(const Timeline& zero, double now);
    void tick(std::uint64_t periods);
    bool fillSlots(double until, bool endsThere);
    double videoDuration() const;
    void appendAudio(std::shared_ptr<const AudioChunk> chunk, std::optional<InputId> input);
    bool drain(std::optional<InputId> input);
    bool drainAll();
    void stopInputs();
    QFuture<Result<void>> closeFile();
    void resolve(const std::shared_ptr<QPromise<double>>& promise, double duration);

    Phase phase() { return shared_->readings.lock()->phase; }
    void moveTo(Phase next) { shared_->readings.lock()->moveTo(next); }
    bool writerWriting() const { return writer_ && writer_->status() == MovieWriter::Status::writing; }

    Services services_;
    std::shared_ptr<Shared> shared_;
    std::shared_ptr<PostGate<Core>> gate_; // shared with every callback that posts here

    std::unique_ptr<MovieWriter> writer_;
    std::optional<InputId> videoInput_;
    std::optional<InputId> appInput_;
    std::optional<InputId> micInput_;
    bool hasTimecode_ = false;
    bool isMP4_ = false;
    std::unique_ptr<CaptureStream> stream_;
    std::shared_ptr<AudioCapture> appCapture_;
    int appPid_ = 0;             // whose sound a new attempt captures
    bool appAttempting_ = false; // a start of the capture runs on a blocking-call thread
    QTimer appRetry_;
    MicMonitor* mic_ = nullptr;
    QUuid micID_ = QUuid::createUuid();
    // Newest last. The front is the newest frame captured at or before the next slot's time;
    // the others were captured after it.
    std::deque<Held> frames_;
    std::unique_ptr<BlurFill> blur_; // draws from the writer's frames: declared after writer_
    std::unique_ptr<FrameTimer> timer_;
    int fps_ = 30;
    std::int64_t nextSlot_ = 0; // slots before it are in the writer
    std::map<InputId, std::deque<Pending>> queues_;
    PauseTimeline pauses_;
};

// ---- start ----------------------------------------------------------------------------------

Result<void> WindowRecorder::Core::start(const StartOptions& o) {
    if (phase() != Phase::starting) return makeError("The recorder has already been stopped");
    if (o.pausedAt) pauses_.pause(*o.pausedAt);
    Result<void> started = openWriter(o);
    if (started) started = startCapture(o);
    if (!started) {
        abandonStart();
        moveTo(Phase::done);
    }
    return started;
}

// The writer with every track, ready for the first frame.
Result<void> WindowRecorder::Core::openWriter(const StartOptions& o) {
    if (!services_.capture) return makeError("No screen capture service");
    if (!services_.makeWriter) return makeError("No movie writer");
    const int width = int(o.preset.width), height = int(o.preset.height), fps = std::max(1, o.fps);

    auto created = services_.makeWriter(o.path, o.mp4 ? MovieFileType::mp4 : MovieFileType::mov);
    if (!created) return created.error();
    writer_ = std::move(*created);
    isMP4_ = o.mp4;
    writer_->setErrorHandler([gate = gate_](const Error& e) {
        gate->post([message = e.message](Core& core) { core.reportFailure(message); });
    });

    const VideoCodec codec = o.hevc ? VideoCodec::hevc : VideoCodec::h264;
    auto video = writer_->addVideoInput(VideoSettings::forRecording(codec, width, height, fps));
    if (!video) return makeError("Cannot add video input", 1);
    videoInput_ = *video;
    if (!o.mp4) hasTimecode_ = writer_->addTimecodeTrack(fps);
    if (o.appAudio) startAppAudio(o);
    if (appCapture_)
        if (auto a = writer_->addAudioInput(MicMonitor::aacSettings())) appInput_ = *a;
    shared_->readings.lock()->hasAppAudio = appInput_.has_value();
    if (o.mic)
        if (auto a = writer_->addAudioInput(MicMonitor::aacSettings())) micInput_ = *a;
    // MP4 files start writing at the first frame, once their metadata is known.
    if (!o.mp4) {
        if (auto r = writer_->startWriting(); !r) {
            Error e = writer_->error().value_or(r.error());
            if (e.message.empty()) e = makeError("Cannot start writing " + o.path, 2);
            return e;
        }
    }
    // Frames arrive at the window's own size; BlurFill fits them into the output size.
    blur_ = std::make_unique<BlurFill>(width, height, [w = writer_.get()] { return w->freeVideoFrame(); });
    shared_->readings.lock()->fps = fps;
    fps_ = fps;
    return {};
}

// The window's stream and the microphone copy.
Result<void> WindowRecorder::Core::startCapture(const StartOptions& o) {
    StreamConfiguration config;
    config.minimumFrameInterval = 1.0 / std::max(1, o.fps);
    config.queueDepth = kQueueDepth;
    config.showsCursor = !hideCursorForMarketing();

    CaptureStream::Handlers handlers;
    handlers.onFrame = [gate = gate_](BgraFramePtr f) {
        gate->post([f = std::move(f)](Core& core) mutable { core.frame(std::move(f)); });
    };
    handlers.onStopped = [gate = gate_](const Error& e) {
        gate->post([message = e.message](Core& core) { core.reportFailure(message); });
    };
    auto stream = services_.capture->createStream(o.window.windowID, config, std::move(handlers));
    if (!stream) return stream.error();
    stream_ = std::move(*stream);

    if (o.mic && micInput_) {
        mic_ = o.mic;
        mic_->subscribe(micID_, [gate = gate_](const std::shared_ptr<const AudioChunk>& chunk) {
            gate->post([chunk](Core& core) { core.micAudio(chunk); });
        });
    }
    if (auto r = stream_->start(); !r) return r.error();
    return {};
}

// The window's application audio, from the process that owns the window and its children.
// Sound of this program itself is never captured.
void WindowRecorder::Core::startAppAudio(const StartOptions& o) {
    const auto& owner = o.window.owningApplication;
    if (!services_.audio || !owner || owner->processID <= 0 || owner->processID == ::getpid()) return;
    appPid_ = owner->processID;
    auto capture = services_.audio->captureApplication(appPid_, appCallbacks());
    if (!capture) return reportSound("No sound: " + capture.error().message);
    appCapture_ = std::move(*capture);
}

AudioCallbacks WindowRecorder::Core::appCallbacks() {
    AudioCallbacks callbacks;
    callbacks.onChunk = [gate = gate_](AudioChunk chunk) {
        gate->post(
            [c = std::make_shared<const AudioChunk>(std::move(chunk))](Core& core) { core.appAudio(c); });
    };
    callbacks.onEnd = [gate = gate_](const Error& e) {
        gate->post([message = e.message](Core& core) { core.appAudioLost(message); });
    };
    return callbacks;
}

void WindowRecorder::Core::reportSound(const std::string& text) {
    shared_->readings.lock()->soundNote = text;
    std::function<void(const std::string&)> onSound;
    {
        auto control = shared_->control.lock();
        if (control->stopped) return;
        onSound = control->onSound;
    }
    if (onSound) onSound(text);
}

// The capture ended by itself (the sound server went): the video goes on, and the sound comes
// back on the same timeline once a new capture starts.
void WindowRecorder::Core::appAudioLost(const std::string& reason) {
    const Shared::Readings at = shared_->readings.snapshot();
    if (!appCapture_ || at.phase == Phase::finishing || at.phase == Phase::done) return;
    // Stopped from a blocking-call thread: the capture's own thread may be the one ending.
    runBlocking([capture = std::move(appCapture_)] { capture->stop(); });
    const double t = at.timeline ? std::max(0.0, at.timeline->fileTime(services_.clock(), pauses_)) : 0.0;
    reportSound("Sound stopped at " + formatTime(t).toStdString() + ": " + reason);
    appRetry_.start();
}

void WindowRecorder::Core::retryAppAudio() {
    const Phase now = phase();
    if (now != Phase::starting && now != Phase::recording) return appRetry_.stop();
    if (appCapture_ || appAttempting_) return;
    appAttempting_ = true;
    // Opening a connection may take seconds: never on this thread, whose timer writes the video.
    runBlocking([audio = services_.audio, pid = appPid_, callbacks = appCallbacks(), gate = gate_] {
        auto capture = audio->captureApplication(pid, callbacks);
        std::shared_ptr<AudioCapture> started;
        if (capture) started = std::move(*capture);
        // A capture nobody takes any more is stopped when the last copy of the task goes.
        gate->post([started](Core& core) mutable { core.appAudioBack(std::move(started)); });
    });
}

void WindowRecorder::Core::appAudioBack(std::shared_ptr<AudioCapture> capture) {
    appAttempting_ = false;
    const Phase now = phase();
    if (!capture || (now != Phase::starting && now != Phase::recording)) {
        if (capture) runBlocking([capture] { capture->stop(); });
        return;
    }
    appCapture_ = std::move(capture);
    appRetry_.stop();
}

// After a failed start nothing runs and no file remains.
void WindowRecorder::Core::abandonStart() {
    stopInputs();
    stream_.reset();
    appCapture_.reset();
    blur_.reset();
    if (writer_) writer_->cancel();
    writer_.reset();
}

// ---- frames ---------------------------------------------------------------------------------

void WindowRecorder::Core::frame(BgraFramePtr f) {
    if (!f || f->width <= 0 || f->height <= 0 || !f->data) return;
    switch (phase()) {
    case Phase::starting:
        if (!writer_) return;
        keep(std::move(f));
        if (!pauses_.paused()) beginTimeline(); // else at the resume
        return;
    case Phase::recording:
        keep(std::move(f)); // the timer writes it into its slots
        return;
    case Phase::draining: {
        // Captured before the video ended, handed over after: it still has slots to fill.
        const std::optional<double> end = shared_->readings.lock()->videoEnd;
        if (end && f->hostTime > 0 && f->hostTime <= *end) keep(std::move(f));
        return;
    }
    default:
        return; // the video has ended
    }
}

void WindowRecorder::Core::keep(BgraFramePtr f) {
    const double captured = f->hostTime > 0 ? f->hostTime : services_.clock();
    // A frame older than one already held could only ever show in a slot that has gone by.
    if (!frames_.empty() && captured < frames_.back().captured) return;
    frames_.push_back({std::move(f), captured});
    // The frames in between are the first to go: the front still owns the next slot.
    while (frames_.size() > kMaxHeldFrames)
        frames_.erase(std::next(frames_.begin()));
}

// The first complete frame: the file's timeline starts half a period before its capture and
// the frame timer runs half a period behind the slots' picture times, so that a frame captured
// just before one is there for it. A zero that falls inside a pause (a window that joined while
// paused) moves to the resume: the file opens with the picture the window showed then.
void WindowRecorder::Core::beginTimeline() {
    const double now = services_.clock();
    const double captured = frames_.back().captured - 0.5 / double(fps_);
    const double origin = pauses_.resumeAfter(captured).value_or(captured);
    const auto sinceOrigin = std::chrono::duration_cast<std::chrono::system_clock::duration>(
        std::chrono::duration<double>(std::max(0.0, now - origin)));
    const Timeline zero{origin, std::chrono::system_clock::now() - sinceOrigin};
    int fps = 0;
    {
        auto readings = shared_->readings.lock();
        readings->timeline = zero;
        readings->moveTo(Phase::recording);
        fps = readings->fps;
    }
    if (isMP4_) {
        writer_->setMetadata(mp4Comment(zero.date, fps), isoDate(zero.date));
        if (auto r = writer_->startWriting(); !r) {
            // Nothing is written from here on; stop() cancels the writer.
            const std::optional<Error> e = writer_->error();
            return reportFailure(e && !e->message.empty() ? e->message : "cannot start writer");
        }
    }
    // The timecode track shows the first frame's time of day; the muxer needs it before the
    // header, which the session writes.
    if (hasTimecode_) writer_->setTimecodeStart(Timecode::frameNumber(zero.date, fps));
    (void)writer_->startSession(); // a failure reaches the error handler
    startTimer(zero, now);
    fillSlots(now, false);
}

// Ticks at the whole periods of the file's timeline. A pause shifts that timeline against the
// clock, so every resume sets the timer anew.
void WindowRecorder::Core::startTimer(const Timeline& zero, double now) {
    const double at = zero.fileTime(now, pauses_);
    const double delay = (std::floor(at * double(fps_)) + 1) / double(fps_) - at;
    auto timer = FrameTimer::start(
        fps_, [this](std::uint64_t periods) { tick(periods); }, delay);
    if (!timer) return reportFailure(timer.error().message);
    timer_ = std::move(*timer);
}

void WindowRecorder::Core::resume(double at) {
    if (!pauses_.paused()) return;
    pauses_.resume(at);
    const Shared::Readings now = shared_->readings.snapshot();
    if (now.phase == Phase::starting && !frames_.empty() && writer_) {
        // A window that joined during the pause starts with the picture it shows now.
        beginTimeline();
    } else if (now.phase == Phase::recording && now.timeline && timer_) {
        startTimer(*now.timeline, services_.clock());
    }
}

void WindowRecorder::Core::tick(std::uint64_t periods) {
    Shared::Readings now;
    {
        auto readings = shared_->readings.lock();
        ++readings->stats.ticks;
        readings->stats.skippedTicks += periods - 1;
        now = *readings;
    }
    // Pending audio keeps flowing also after the video has ended.
    drainAll();
    // However late the tick, every slot whose time has come is filled.
    if (now.phase == Phase::recording) fillSlots(services_.clock(), false);
    if (now.phase == Phase::draining && now.videoEnd) fillSlots(*now.videoEnd, true);
}

// Fills the grid's slots up to `until` (uptime; before it when the video `endsThere`), each with
// the newest frame captured at or before the slot's time. A writer without room stops the
// filling; the next call goes on from the same slot. True when every slot up to `until` is in.
bool WindowRecorder::Core::fillSlots(double until, bool endsThere) {
    const std::optional<Timeline> zero = shared_->readings.lock()->timeline;
    if (!zero || frames_.empty() || !videoInput_ || !blur_ || !writerWriting()) return false;
    const double end = zero->fileTime(until, pauses_);
    std::uint64_t written = 0;
    bool complete = false;
    for (;;) {
        const double at = slotTime(nextSlot_, fps_);
        if (endsThere ? at >= end - kSlotEpsilon : at > end + kSlotEpsilon) {
            complete = true;
            break;
        }
        if (!writer_->isReadyForMoreMediaData(*videoInput_)) break;
        while (frames_.size() > 1 && zero->fileTime(frames_[1].captured, pauses_) <= at + kSlotEpsilon)
            frames_.pop_front();
        const YuvFramePtr out = blur_->compose(frames_.front().frame);
        if (!out || !writer_->appendVideo(out, slotPts(nextSlot_, fps_))) break;
        ++nextSlot_;
        ++written;
    }
    if (written) {
        auto readings = shared_->readings.lock();
        readings->stats.framesWritten += written;
        readings->stats.pictures = blur_->renderCount();
    }
    return complete;
}

// Every slot the writer took lasts a full period, the last one too.
double WindowRecorder::Core::videoDuration() const {
    return double(nextSlot_) / double(fps_);
}

// ---- audio ----------------------------------------------------------------------------------

void WindowRecorder::Core::appendAudio(std::shared_ptr<const AudioChunk> chunk,
                                       std::optional<InputId> input) {
    if (!input || !chunk || chunk->samples.empty() || !writerWriting()) return;
    const Shared::Readings at = shared_->readings.snapshot();
    if ((at.phase != Phase::recording && at.phase != Phase::draining) || !at.timeline) return;
    // Sound from a pause is not recorded; a buffer that spans its edge keeps its outside part.
    chunk = pauses_.unpaused(chunk);
    if (!chunk) return;

    const double rel = at.timeline->fileTime(chunk->hostTime, pauses_);
    const bool late = at.videoEnd && rel > at.timeline->fileTime(*at.videoEnd, pauses_) + kAudioAfterVideoEnd;
    auto& pending = queues_[*input];
    const bool full = !late && rel >= 0 && pending.size() >= kMaxPendingAudio;
    if (input == appInput_) {
        auto readings = shared_->readings.lock();
        AudioDiagnostics& d = readings->audio;
        d.rx += 1;
        d.lastRel = rel;
        if (d.firstRel < 0) d.firstRel = rel;
        d.lastRxUp = services_.clock();
        d.late += late ? 1 : 0;
        d.notReady += full ? 1 : 0;
    }
    // At most 20 ms past the video end; nothing from before the first frame.
    if (late || rel < 0 || full) return;
    pending.push_back({std::move(chunk), toTicks(rel, kAudioTimeScale)});
    drain(input);
}

// True when nothing is left pending for `input`.
bool WindowRecorder::Core::drain(std::optional<InputId> input) {
    if (!input || !writer_) return true;
    auto it = queues_.find(*input);
    if (it == queues_.end()) return true;
    auto& pending = it->second;
    while (!pending.empty() && writer_->isReadyForMoreMediaData(*input)) {
        const Pending& p = pending.front();
        if (!writer_->appendAudio(*input, *p.chunk, p.pts)) {
            // A writer that rejects one buffer rejects the rest.
            pending.clear();
            break;
        }
        pending.pop_front();
    }
    return pending.empty();
}

bool WindowRecorder::Core::drainAll() {
    const bool app = drain(appInput_);
    const bool mic = drain(micInput_);
    return app && mic;
}

// ---- failures -------------------------------------------------------------------------------

void WindowRecorder::Core::reportFailure(const std::string& message) {
    auto control = shared_->control.lock();
    if (control->stopped || control->failReported) return;
    control->failReported = true;
    if (control->onFail) control->onFail(message);
}

// ---- stop -----------------------------------------------------------------------------------

// The whole stop, in order. It waits only by awaiting, so the thread keeps handling late audio
// and the frame timer meanwhile.
QCoro::Task<> WindowRecorder::Core::stop(std::shared_ptr<QPromise<double>> promise) {
    const Phase at = phase();
    if (at == Phase::done) co_return resolve(promise, 0); // start() failed
    if (at == Phase::starting) {
        // No frame was ever accepted: there is nothing to keep.
        stopInputs();
        if (writer_) writer_->cancel();
        co_return resolve(promise, 0);
    }
    // Recording: stop() posts this once, so no other phase gets here.

    // 1. The video ends now (while paused: at the pause): the slots before this time are its last
    // ones.
    const double videoEnd = pauses_.pausedAt().value_or(services_.clock());
    {
        auto readings = shared_->readings.lock();
        readings->videoEnd = videoEnd;
        readings->moveTo(Phase::draining);
    }
    fillSlots(videoEnd, true);

    // 2. Application audio arrives late; up to 20 ms past the video end is still kept.
    if (appInput_)
        co_await QCoro::sleepFor(std::chrono::duration<double>(std::max(0.0, services_.lateAudioWait)));

    // 3. No more frames or audio.
    stopInputs();
    if (!writerWriting()) {
        // A writer that failed keeps what it wrote; one that never started leaves nothing.
        if (writer_) writer_->cancel();
        co_return resolve(promise, videoDuration());
    }
    moveTo(Phase::finishing);

    // 4. The grid is filled up to the video end, so the file has no hole at its end. A writer
    // that is behind (a loaded machine's encoder) is waited for as long as it keeps taking
    // frames; one that took none for kFlushRounds rounds keeps what it has, and so does pending
    // audio that finds no room.
    for (int idle = 0; idle < kFlushRounds;) {
        const std::int64_t before = nextSlot_;
        const bool video = fillSlots(videoEnd, true);
        if (drainAll() && video) break;
        idle = nextSlot_ == before ? idle + 1 : 0;
        co_await QCoro::sleepFor(kFlushInterval);
    }

    // 5. Close the file.
    writer_->markFinished(*videoInput_);
    if (appInput_) writer_->markFinished(*appInput_);
    if (micInput_) writer_->markFinished(*micInput_);
    const double duration = videoDuration();
    const Result<void> closed = co_await closeFile();
    // onFail is over once stop() was called: the reason goes with the result instead.
    if (!closed) shared_->readings.lock()->finishFailure = closed.error().message;
    resolve(promise, duration);
}

// No frame or buffer reaches the recorder's work after this.
void WindowRecorder::Core::stopInputs() {
    if (mic_) mic_->unsubscribe(micID_);
    mic_ = nullptr;
    if (stream_) stream_->stop();
    appRetry_.stop();
    if (appCapture_) appCapture_->stop();
    timer_.reset();
}

QFuture<Result<void>> WindowRecorder::Core::closeFile() {
    auto closed = std::make_shared<QPromise<Result<void>>>();
    closed->start();
    QFuture<Result<void>> future = closed->future();
    writer_->finish([closed](Result<void> r) {
        closed->addResult(std::move(r));
        closed->finish();
    });
    return future;
}

void WindowRecorder::Core::resolve(const std::shared_ptr<QPromise<double>>& promise, double duration) {
    frames_.clear(); // hands the frames back to the capture's pool
    {
        auto readings = shared_->readings.lock();
        readings->duration = duration;
        if (readings->phase != Phase::done) readings->moveTo(Phase::done);
    }
    promise->addResult(duration);
    promise->finish();
}

void WindowRecorder::Core::shutdown() {
    stopInputs();
    stream_.reset();
    appCapture_.reset();
    frames_.clear();
    blur_.reset();
    writer_.reset();
}

// ---- the public object ----------------------------------------------------------------------

WindowRecorder::WindowRecorder(Services services)
    : shared_(std::make_shared<Shared>()), core_(std::make_unique<Core>(std::move(services), shared_)),
      thread_(std::make_unique<QThread>()) {
    thread_->setObjectName(QStringLiteral("loomcast.recorder"));
    core_->moveToThread(thread_.get());
    thread_->start();
}

WindowRecorder::~WindowRecorder() {
    stop().waitForFinished();
    core_->gate().close();
    Core* core = core_.get();
    QMetaObject::invokeMethod(
        core, [core] { core->shutdown(); }, Qt::BlockingQueuedConnection);
    thread_->quit();
    thread_->wait();
    core_.reset();
}

QFuture<Result<void>> WindowRecorder::start(StartOptions options) {
    auto promise = std::make_shared<QPromise<Result<void>>>();
    promise->start();
    QFuture<Result<void>> future = promise->future();
    if (std::exchange(shared_->control.lock()->startCalled, true)) {
        promise->addResult(Result<void>(makeError("The recorder has already been started")));
        promise->finish();
        return future;
    }
    core_->gate().post([options = std::move(options), promise](Core& core) {
        promise->addResult(core.start(options));
        promise->finish();
    });
    return future;
}

Result<void> WindowRecorder::startAndWait(StartOptions options) {
    QFuture<Result<void>> f = start(std::move(options));
    f.waitForFinished();
    return f.result();
}

QFuture<double> WindowRecorder::stop() {
    auto promise = std::make_shared<QPromise<double>>();
    {
        auto control = shared_->control.lock();
        if (control->stopped) return *control->stopped;
        promise->start();
        control->stopped = promise->future();
    }
    core_->gate().post([promise](Core& core) {
        runDetached(core.stop(promise), QStringLiteral("Stopping the recording"),
                    [promise](const QString& why) {
                        std::fprintf(stderr, "%s\n", why.toLocal8Bit().constData());
                        if (promise->future().isFinished()) return;
                        promise->addResult(0.0);
                        promise->finish();
                    });
    });
    return promise->future();
}

double WindowRecorder::stopAndWait() {
    QFuture<double> f = stop();
    f.waitForFinished();
    return f.result();
}

QFuture<void> WindowRecorder::pause(double at) {
    return applyOnThread([at](Core& core) { core.pause(at); });
}

QFuture<void> WindowRecorder::resume(double at) {
    return applyOnThread([at](Core& core) { core.resume(at); });
}

// A promise left unfinished (the gate closed) is cancelled when it goes: the future still ends.
QFuture<void> WindowRecorder::applyOnThread(std::function<void(Core&)> change) {
    auto promise = std::make_shared<QPromise<void>>();
    promise->start();
    QFuture<void> future = promise->future();
    core_->gate().post([promise, change = std::move(change)](Core& core) {
        change(core);
        promise->finish();
    });
    return future;
}

void WindowRecorder::setOnFail(std::function<void(const std::string&)> onFail) {
    shared_->control.lock()->onFail = std::move(onFail);
}

void WindowRecorder::setOnSound(std::function<void(const std::string&)> onSound) {
    shared_->control.lock()->onSound = std::move(onSound);
}

bool WindowRecorder::hasAppAudio() const {
    return shared_->readings.lock()->hasAppAudio;
}

std::optional<std::string> WindowRecorder::soundNote() const {
    return shared_->readings.lock()->soundNote;
}

WindowRecorder::Phase WindowRecorder::phase() const {
    return shared_->readings.lock()->phase;
}

std::optional<double> WindowRecorder::firstFrameUptime() const {
    const auto timeline = shared_->readings.lock()->timeline;
    return timeline ? std::optional(timeline->uptime) : std::nullopt;
}

std::optional<Timecode::Instant> WindowRecorder::firstFrameDate() const {
    const auto timeline = shared_->readings.lock()->timeline;
    return timeline ? std::optional(timeline->date) : std::nullopt;
}

double WindowRecorder::duration() const {
    return shared_->readings.lock()->duration;
}

std::optional<std::string> WindowRecorder::finishFailure() const {
    return shared_->readings.lock()->finishFailure;
}

int WindowRecorder::fpsValue() const {
    return shared_->readings.lock()->fps;
}

WindowRecorder::Stats WindowRecorder::stats() const {
    return shared_->readings.lock()->stats;
}

std::string WindowRecorder::debugLine() const {
    const Shared::Readings r = shared_->readings.snapshot();
    const AudioDiagnostics& d = r.audio;
    const double first = r.timeline ? r.timeline->uptime : 0.0;
    return "audio rx=" + std::to_string(d.rx) + " notReady=" + std::to_string(d.notReady) +
           " afterEnd=" + std::to_string(d.late) + " firstRel=" + formatReal(d.firstRel) +
           " lastRel=" + formatReal(d.lastRel) +
           " videoEndRel=" + formatReal(r.videoEnd.value_or(0) - first) +
           " lastRxRel=" + formatReal(d.lastRxUp - first);
}

// ---- pure helpers ---------------------------------------------------------------------------

bool WindowRecorder::hideCursorForMarketing() {
    static const bool hide = [] {
        std::ifstream in("/proc/self/cmdline", std::ios::binary);
        const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        bool multi = false, noCursor = false;
        std::size_t begin = 0;
        while (begin < all.size()) {
            std::size_t end = all.find('\0', begin);
            if (end == std::string::npos) end = all.size();
            const std::string_view arg(all.data() + begin, end - begin);
            multi = multi || arg == "--selftest-multi";
            noCursor = noCursor || arg == "--no-cursor";
            begin = end + 1;
        }
        return multi && noCursor;
    }();
    return hide;
}

Size WindowRecorder::captureSize(Size contentPoints, double pointPixelScale) {
    auto side = [&](double points) {
        const double half = std::round(points * pointPixelScale / 2); // halves away from zero
        return std::max(2.0, 2 * half);
    };
    return {side(contentPoints.width), side(contentPoints.height)};
}

std::string WindowRecorder::isoDate(Timecode::Instant instant) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(instant.time_since_epoch()).count();
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(ms - ((ms % 1000) + 1000) % 1000);
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODate).toStdString();
}

std::string WindowRecorder::mp4Comment(Timecode::Instant firstFrameDate, int fps) {
    return "timecode=" + Timecode::string(firstFrameDate, fps).toStdString() + " fps=" + std::to_string(fps) +
           " start=" + isoDate(firstFrameDate);
}

std::string WindowRecorder::formatReal(double value) {
    if (!std::isfinite(value)) return std::isnan(value) ? "nan" : (value > 0 ? "inf" : "-inf");
    char buf[400];
    const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
    std::string s(buf, r.ptr);
    if (s.find('.') == std::string::npos) s += ".0";
    return s;
}

} // namespace lc
