#include "capture/WindowRecorder.h"

#include "capture/BlurFill.h"
#include "capture/FrameTimer.h"
#include "common/Clock.h"
#include "common/Detached.h"
#include "common/Guarded.h"
#include "common/PostGate.h"

#include <QDateTime>
#include <QObject>
#include <QPromise>
#include <QThread>
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
constexpr std::size_t kMaxPendingAudio = 1000;
constexpr double kAudioAfterVideoEnd = 0.02;
constexpr int kFlushRounds = 100;
constexpr std::chrono::milliseconds kFlushInterval{20};

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

// The zero of a file's timeline: when its first complete frame was handled.
struct Timeline {
    double uptime = 0;
    Timecode::Instant date;
};

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
        int fps = 30;
        AudioDiagnostics audio;
        Stats stats;

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
    };

    Guarded<Readings> readings;
    Guarded<Control> control;
};

// Everything that runs on the recorder's thread. Other threads reach it only through gate().
class WindowRecorder::Core : public QObject {
public:
    Core(Services services, std::shared_ptr<Shared> shared)
        : services_(std::move(services)), shared_(std::move(shared)),
          gate_(std::make_shared<PostGate<Core>>(this)) {
        if (!services_.clock) services_.clock = [] { return uptime(); };
    }

    PostGate<Core>& gate() { return *gate_; }

    Result<void> start(const StartOptions& o);
    QCoro::Task<> stop(std::shared_ptr<QPromise<double>> promise);
    void shutdown();

    void frame(BgraFramePtr frame);
    void appAudio(std::shared_ptr<const AudioChunk> chunk) { appendAudio(std::move(chunk), appInput_); }
    void micAudio(std::shared_ptr<const AudioChunk> chunk) { appendAudio(std::move(chunk), micInput_); }
    void reportFailure(const std::string& message);
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
    void abandonStart();
    void beginTimeline();
    // Seconds on the file's timeline of a shared-clock time: the one place where the pauses are
    // cut out, for frames and audio alike. Absent before the first frame and inside a pause.
    std::optional<double> fileTime(double uptime);
    void tick(std::uint64_t periods);
    void writeFrame(double uptime);
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
    std::unique_ptr<AudioCapture> appCapture_;
    MicMonitor* mic_ = nullptr;
    QUuid micID_ = QUuid::createUuid();
    BgraFramePtr latest_;
    std::unique_ptr<BlurFill> blur_; // draws from the writer's frames: declared after writer_
    std::unique_ptr<FrameTimer> timer_;
    std::optional<std::int64_t> lastPTS_;
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
    if (o.appAudio)
        if (auto a = writer_->addAudioInput(MicMonitor::aacSettings())) appInput_ = *a;
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
    return {};
}

// The window's stream, the microphone copy and the application audio.
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

    // The window's application audio, from the process that owns the window and its children.
    // Sound of this program itself is never captured.
    const auto& owner = o.window.owningApplication;
    if (o.appAudio && services_.audio && owner && owner->processID > 0 && owner->processID != ::getpid()) {
        AudioCallbacks callbacks;
        callbacks.onChunk = [gate = gate_](AudioChunk chunk) {
            gate->post(
                [c = std::make_shared<const AudioChunk>(std::move(chunk))](Core& core) { core.appAudio(c); });
        };
        auto capture = services_.audio->captureApplication(owner->processID, std::move(callbacks));
        if (!capture) return capture.error();
        appCapture_ = std::move(*capture);
    }
    return {};
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
        latest_ = std::move(f);
        if (!pauses_.paused()) beginTimeline(); // else at the resume
        return;
    case Phase::recording:
        latest_ = std::move(f); // the timer writes it
        return;
    default:
        return; // the video has ended
    }
}

// The first complete frame: the file's timeline starts now and the frame timer runs.
void WindowRecorder::Core::beginTimeline() {
    const Timeline zero{services_.clock(), std::chrono::system_clock::now()};
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
    auto timer = FrameTimer::start(fps, [this](std::uint64_t periods) { tick(periods); });
    if (!timer) return reportFailure(timer.error().message);
    timer_ = std::move(*timer);
}

void WindowRecorder::Core::resume(double at) {
    if (!pauses_.paused()) return;
    pauses_.resume(at);
    // A window that joined during the pause starts with the picture it shows now.
    if (phase() == Phase::starting && latest_ && writer_) beginTimeline();
}

std::optional<double> WindowRecorder::Core::fileTime(double uptime) {
    const std::optional<Timeline> zero = shared_->readings.lock()->timeline;
    if (!zero) return std::nullopt;
    return pauses_.elapsed(zero->uptime, uptime);
}

void WindowRecorder::Core::tick(std::uint64_t periods) {
    Phase now{};
    {
        auto readings = shared_->readings.lock();
        ++readings->stats.ticks;
        readings->stats.skippedTicks += periods - 1;
        now = readings->phase;
    }
    // Pending audio keeps flowing also after the video has ended.
    drainAll();
    if (now == Phase::recording) writeFrame(services_.clock());
}

// The latest picture at `uptime`. A frame the writer cannot take now is skipped, not queued.
void WindowRecorder::Core::writeFrame(double uptime) {
    const std::optional<double> at = fileTime(uptime);
    if (!at || !latest_ || !videoInput_ || !blur_ || !writerWriting()) return;
    if (!writer_->isReadyForMoreMediaData(*videoInput_)) return;
    const std::int64_t pts = toTicks(*at, kVideoTimeScale);
    if (pts < 0 || (lastPTS_ && pts <= *lastPTS_)) return;
    const YuvFramePtr out = blur_->compose(latest_);
    if (!out || !writer_->appendVideo(out, pts)) return;
    lastPTS_ = pts;
    ++shared_->readings.lock()->stats.framesWritten;
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

    const double rel = fileTime(chunk->hostTime).value_or(chunk->hostTime - at.timeline->uptime);
    const std::optional<double> end = at.videoEnd ? fileTime(*at.videoEnd) : std::nullopt;
    const bool late = end && rel > *end + kAudioAfterVideoEnd;
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

    // 1. The video ends now (while paused: at the pause): its last frame is written at this time
    // at the latest.
    const bool paused = pauses_.paused();
    const double videoEnd = paused ? *pauses_.pausedAt() : services_.clock();
    shared_->readings.lock()->videoEnd = videoEnd;
    if (!paused) writeFrame(videoEnd);
    moveTo(Phase::draining);

    // 2. Application audio arrives late; up to 20 ms past the video end is still kept.
    if (appInput_)
        co_await QCoro::sleepFor(std::chrono::duration<double>(std::max(0.0, services_.lateAudioWait)));

    // 3. No more frames or audio.
    stopInputs();
    if (!writerWriting()) {
        // A writer that failed keeps what it wrote; one that never started leaves nothing.
        if (writer_) writer_->cancel();
        co_return resolve(promise, 0);
    }
    moveTo(Phase::finishing);

    // 4. What is still pending gets a little time to reach the writer; what stays is lost.
    for (int round = 1; !drainAll() && round < kFlushRounds; ++round)
        co_await QCoro::sleepFor(kFlushInterval);

    // 5. Close the file.
    writer_->markFinished(*videoInput_);
    if (appInput_) writer_->markFinished(*appInput_);
    if (micInput_) writer_->markFinished(*micInput_);
    const double duration = lastPTS_ ? double(*lastPTS_) / double(kVideoTimeScale) : 0.0;
    const Result<void> closed = co_await closeFile();
    // onFail is over once stop() was called; the reason must not vanish all the same.
    if (!closed) std::fprintf(stderr, "%s\n", closed.error().message.c_str());
    resolve(promise, duration);
}

// No frame or buffer reaches the recorder's work after this.
void WindowRecorder::Core::stopInputs() {
    if (mic_) mic_->unsubscribe(micID_);
    mic_ = nullptr;
    if (stream_) stream_->stop();
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
    latest_.reset();
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
