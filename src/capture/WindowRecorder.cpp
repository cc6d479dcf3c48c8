#include "capture/WindowRecorder.h"

#include "capture/BlurFill.h"
#include "common/Clock.h"

#include <QDateTime>
#include <QMetaObject>
#include <QObject>
#include <QPromise>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <QUuid>
#include <charconv>
#include <cmath>
#include <deque>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <sys/timerfd.h>
#include <unistd.h>

namespace lc {

namespace {

constexpr int kQueueDepth = 6;
constexpr std::size_t kMaxPendingAudio = 1000;
constexpr double kAudioAfterVideoEnd = 0.02;
constexpr int kFlushRounds = 100;
constexpr int kFlushIntervalMs = 20;

std::int64_t toTicks(double seconds, std::int64_t scale) {
    return std::llround(seconds * double(scale));
}

// An owned file descriptor.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        if (this != &o) {
            reset();
            fd_ = std::exchange(o.fd_, -1);
        }
        return *this;
    }
    ~UniqueFd() { reset(); }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

} // namespace

// State shared between the public object, the worker and the callbacks of other threads.
struct WindowRecorder::Shared {
    // Failure reporting. Recursive: onFail may call stop() on the recorder's thread.
    std::recursive_mutex failMutex;
    bool stopRequested = false;
    bool failReported = false;
    std::function<void(const std::string&)> onFail;

    // Values read from other threads.
    struct Dbg {
        long rx = 0;
        long notReady = 0;
        long late = 0;
        double lastRel = 0.0;
        double firstRel = -1.0;
        double lastRxUp = 0.0;
    };
    mutable std::mutex mutex;
    std::optional<double> firstFrameUptime;
    std::optional<Timecode::Instant> firstFrameDate;
    std::optional<double> videoEnd;
    double duration = 0;
    int fps = 30;
    Dbg dbg;
    Stats stats;

    // Work for the recorder's thread. Closed (target null) when the recorder goes away, so that
    // late callbacks of other threads post nothing.
    std::mutex gateMutex;
    QObject* target = nullptr;

    void post(std::function<void()> work) {
        std::lock_guard lock(gateMutex);
        if (target) QMetaObject::invokeMethod(target, std::move(work), Qt::QueuedConnection);
    }
};

class WindowRecorder::Thread : public QThread {};

// Everything that lives on the recorder's thread.
class WindowRecorder::Core : public QObject {
public:
    Core(Services services, std::shared_ptr<Shared> shared)
        : services_(std::move(services)), shared_(std::move(shared)) {
        if (!services_.clock) services_.clock = [] { return uptime(); };
        if (!services_.makeWriter)
            services_.makeWriter = [](const std::string& path, MovieFileType type) {
                return createMovieWriter(path, type);
            };
    }

    Result<void> start(const StartOptions& o);
    void beginStop(std::shared_ptr<QPromise<double>> promise);
    void shutdown();

    void frame(BgraFramePtr frame);
    void appAudio(std::shared_ptr<const AudioChunk> chunk) { appendAudio(std::move(chunk), audioInput_); }
    void micAudio(std::shared_ptr<const AudioChunk> chunk) { appendAudio(std::move(chunk), micInput_); }
    void reportFailure(const std::string& message);

private:
    using InputId = MovieWriter::InputId;
    struct Pending {
        std::shared_ptr<const AudioChunk> chunk;
        std::int64_t pts = 0; // 1/48,000 s on the file's timeline
    };

    void cleanUpFailedStart();
    void startTimer();
    void timerFired();
    void tick();
    void appendAudio(std::shared_ptr<const AudioChunk> chunk, std::optional<InputId> input);
    void drain(std::optional<InputId> input);
    void continueStop(std::shared_ptr<QPromise<double>> promise);
    void flush(std::shared_ptr<QPromise<double>> promise, int round);
    void finishFile(std::shared_ptr<QPromise<double>> promise);
    void resolve(const std::shared_ptr<QPromise<double>>& promise, double duration);
    bool writerWriting() const { return writer_ && writer_->status() == MovieWriter::Status::writing; }

    Services services_;
    std::shared_ptr<Shared> shared_;

    std::unique_ptr<MovieWriter> writer_;
    std::optional<InputId> input_; // video
    std::optional<InputId> audioInput_;
    std::optional<InputId> micInput_;
    bool hasTimecode_ = false;
    std::unique_ptr<CaptureStream> stream_;
    std::unique_ptr<AudioCapture> appCapture_;
    MicMonitor* mic_ = nullptr;
    QUuid micID_ = QUuid::createUuid();
    BgraFramePtr latest_;
    std::unique_ptr<BlurFill> blur_; // draws from the writer's frames: declared after writer_
    UniqueFd timerFd_;
    std::unique_ptr<QSocketNotifier> timer_;
    std::optional<std::int64_t> lastPTS_;
    bool started_ = false;
    bool stopped_ = false;
    bool videoDone_ = false;
    bool isMP4_ = false;
    bool stopBegun_ = false;
    std::optional<double> videoEnd_;
    std::optional<double> firstFrameUptime_;
    std::optional<Timecode::Instant> firstFrameDate_;
    double duration_ = 0;
    int fpsValue_ = 30;
    std::map<InputId, std::deque<Pending>> queues_;
};

// ---- start ----------------------------------------------------------------------------------

Result<void> WindowRecorder::Core::start(const StartOptions& o) {
    if (!services_.capture) return makeError("No screen capture service");
    const int width = int(o.preset.width), height = int(o.preset.height), fps = std::max(1, o.fps);

    auto created = services_.makeWriter(o.path, o.mp4 ? MovieFileType::mp4 : MovieFileType::mov);
    if (!created) return created.error();
    writer_ = std::move(*created);
    isMP4_ = o.mp4;
    writer_->setErrorHandler([shared = shared_, self = this](const Error& e) {
        shared->post([self, message = e.message] { self->reportFailure(message); });
    });

    const VideoSettings video =
        VideoSettings::forRecording(o.hevc ? VideoCodec::hevc : VideoCodec::h264, width, height, fps);
    auto videoInput = writer_->addVideoInput(video);
    if (!videoInput) {
        writer_.reset();
        return makeError("Cannot add video input", 1);
    }
    if (!o.mp4) hasTimecode_ = writer_->addTimecodeTrack(fps);
    if (o.appAudio)
        if (auto a = writer_->addAudioInput(MicMonitor::aacSettings())) audioInput_ = *a;
    if (o.mic)
        if (auto a = writer_->addAudioInput(MicMonitor::aacSettings())) micInput_ = *a;
    if (!o.mp4) {
        // MP4 files start writing at the first frame, once their metadata is known.
        if (auto r = writer_->startWriting(); !r) {
            Error e = writer_->error().value_or(r.error());
            if (e.message.empty()) e = makeError("", 2);
            writer_.reset();
            return e;
        }
    }
    input_ = *videoInput;

    const WindowContentInfo info = services_.capture->contentInfo(o.window);
    const Size points = info.contentRect.width > 0 ? info.contentRect.size() : o.contentPoints;
    (void)captureSize(points, info.pointPixelScale); // frames arrive at the window's own size

    blur_ = std::make_unique<BlurFill>(width, height, [w = writer_.get()] { return w->freeVideoFrame(); });

    StreamConfiguration config;
    config.minimumFrameInterval = 1.0 / fps;
    config.queueDepth = kQueueDepth;
    config.showsCursor = !hideCursorForMarketing();

    CaptureStream::Handlers handlers;
    handlers.onFrame = [shared = shared_, self = this](BgraFramePtr f) {
        shared->post([self, f = std::move(f)]() mutable { self->frame(std::move(f)); });
    };
    handlers.onStopped = [shared = shared_, self = this](const Error& e) {
        shared->post([self, message = e.message] { self->reportFailure(message); });
    };
    auto stream = services_.capture->createStream(o.window.windowID, config, std::move(handlers));
    if (!stream) {
        cleanUpFailedStart();
        return stream.error();
    }

    if (o.mic && micInput_) {
        mic_ = o.mic;
        mic_->subscribe(micID_,
                        [shared = shared_, self = this](const std::shared_ptr<const AudioChunk>& chunk) {
                            shared->post([self, chunk] { self->micAudio(chunk); });
                        });
    }
    stream_ = std::move(*stream);
    fpsValue_ = fps;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->fps = fps;
    }

    if (auto r = stream_->start(); !r) {
        cleanUpFailedStart();
        return r.error();
    }

    // The window's application audio, from the process that owns the window and its children.
    // Sound of this program itself is never captured.
    if (o.appAudio && services_.audio && o.window.owningApplication &&
        o.window.owningApplication->processID > 0 && o.window.owningApplication->processID != ::getpid()) {
        AudioCallbacks callbacks;
        callbacks.onChunk = [shared = shared_, self = this](AudioChunk chunk) {
            auto c = std::make_shared<const AudioChunk>(std::move(chunk));
            shared->post([self, c = std::move(c)] { self->appAudio(c); });
        };
        auto capture =
            services_.audio->captureApplication(o.window.owningApplication->processID, std::move(callbacks));
        if (!capture) {
            cleanUpFailedStart();
            return capture.error();
        }
        appCapture_ = std::move(*capture);
    }
    return {};
}

void WindowRecorder::Core::cleanUpFailedStart() {
    if (mic_) mic_->unsubscribe(micID_);
    mic_ = nullptr;
    if (stream_) stream_->stop();
    stream_.reset();
    blur_.reset();
    if (writer_) writer_->cancel();
    writer_.reset();
    input_.reset();
    audioInput_.reset();
    micInput_.reset();
}

// ---- frames ---------------------------------------------------------------------------------

void WindowRecorder::Core::frame(BgraFramePtr f) {
    if (!f || stopped_ || f->width <= 0 || f->height <= 0 || !f->data) return;
    latest_ = std::move(f);
    if (started_) return;

    // The first frame starts the file's timeline.
    started_ = true;
    firstFrameUptime_ = services_.clock();
    firstFrameDate_ = std::chrono::system_clock::now();
    {
        std::lock_guard lock(shared_->mutex);
        shared_->firstFrameUptime = firstFrameUptime_;
        shared_->firstFrameDate = firstFrameDate_;
    }
    if (isMP4_ && writer_) {
        writer_->setMetadata(mp4Comment(*firstFrameDate_, fpsValue_), isoDate(*firstFrameDate_));
        if (auto r = writer_->startWriting(); !r) {
            const std::optional<Error> e = writer_->error();
            reportFailure(e && !e->message.empty() ? e->message : "cannot start writer");
            return;
        }
    }
    if (writer_) {
        // The timecode track shows the first frame's time of day; the muxer needs it before the
        // header, which the session writes.
        if (hasTimecode_) writer_->setTimecodeStart(Timecode::frameNumber(*firstFrameDate_, fpsValue_));
        (void)writer_->startSession(); // a failure reaches the error handler
    }
    startTimer();
}

void WindowRecorder::Core::startTimer() {
    // A kernel timer keeps the exact period (1/fps is not a whole number of milliseconds) and
    // tells how many periods passed, so a late thread shows up as skipped ticks.
    timerFd_ = UniqueFd(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    if (!timerFd_) {
        reportFailure("cannot create the frame timer");
        return;
    }
    const std::int64_t period = 1'000'000'000 / fpsValue_;
    itimerspec timerSpec{};
    timerSpec.it_interval.tv_sec = period / 1'000'000'000;
    timerSpec.it_interval.tv_nsec = period % 1'000'000'000;
    timerSpec.it_value.tv_nsec = 1; // now
    ::timerfd_settime(timerFd_.get(), 0, &timerSpec, nullptr);
    timer_ = std::make_unique<QSocketNotifier>(timerFd_.get(), QSocketNotifier::Read);
    QObject::connect(timer_.get(), &QSocketNotifier::activated, this, [this] { timerFired(); });
}

void WindowRecorder::Core::timerFired() {
    std::uint64_t expirations = 0;
    if (::read(timerFd_.get(), &expirations, sizeof expirations) != sizeof expirations || expirations == 0)
        return;
    {
        std::lock_guard lock(shared_->mutex);
        ++shared_->stats.ticks;
        shared_->stats.skippedTicks += expirations - 1;
    }
    tick();
}

void WindowRecorder::Core::tick() {
    drain(audioInput_);
    drain(micInput_);
    if (!started_ || stopped_ || videoDone_ || !firstFrameUptime_ || !latest_ || !input_ || !blur_ ||
        !writer_)
        return;
    if (!writerWriting() || !writer_->isReadyForMoreMediaData(*input_)) return;
    double t = services_.clock();
    if (videoEnd_) t = std::min(*videoEnd_, t);
    const std::int64_t pts = toTicks(t - *firstFrameUptime_, kVideoTimeScale);
    if (pts < 0 || (lastPTS_ && pts <= *lastPTS_)) return;
    YuvFramePtr out = blur_->compose(latest_);
    if (!out) return;
    if (writer_->appendVideo(out, pts)) {
        lastPTS_ = pts;
        std::lock_guard lock(shared_->mutex);
        ++shared_->stats.framesWritten;
    }
}

// ---- audio ----------------------------------------------------------------------------------

void WindowRecorder::Core::appendAudio(std::shared_ptr<const AudioChunk> chunk,
                                       std::optional<InputId> input) {
    if (!input || !started_ || stopped_ || !firstFrameUptime_ || !writerWriting()) return;
    if (!chunk || chunk->samples.empty()) return;
    const bool app = input == audioInput_;
    const double rel = chunk->hostTime - *firstFrameUptime_;
    if (app) {
        std::lock_guard lock(shared_->mutex);
        auto& d = shared_->dbg;
        d.rx += 1;
        d.lastRel = rel;
        if (d.firstRel < 0) d.firstRel = rel;
        d.lastRxUp = services_.clock();
    }
    if (videoEnd_ && rel > (*videoEnd_ - *firstFrameUptime_) + kAudioAfterVideoEnd) {
        if (app) {
            std::lock_guard lock(shared_->mutex);
            shared_->dbg.late += 1;
        }
        return;
    }
    if (rel < 0) return;
    auto& pending = queues_[*input];
    if (pending.size() >= kMaxPendingAudio) {
        if (app) {
            std::lock_guard lock(shared_->mutex);
            shared_->dbg.notReady += 1;
        }
        return;
    }
    pending.push_back({std::move(chunk), toTicks(rel, kAudioTimeScale)});
    drain(input);
}

void WindowRecorder::Core::drain(std::optional<InputId> input) {
    if (!input || !writer_) return;
    auto it = queues_.find(*input);
    if (it == queues_.end()) return;
    auto& pending = it->second;
    while (!pending.empty()) {
        if (!writer_->isReadyForMoreMediaData(*input)) break;
        const Pending& p = pending.front();
        if (!writer_->appendAudio(*input, *p.chunk, p.pts)) {
            // A writer that rejects one buffer rejects the rest.
            pending.clear();
            break;
        }
        pending.pop_front();
    }
}

// ---- failures -------------------------------------------------------------------------------

void WindowRecorder::Core::reportFailure(const std::string& message) {
    std::lock_guard lock(shared_->failMutex);
    if (shared_->stopRequested || shared_->failReported) return;
    shared_->failReported = true;
    if (shared_->onFail) shared_->onFail(message);
}

// ---- stop -----------------------------------------------------------------------------------

void WindowRecorder::Core::beginStop(std::shared_ptr<QPromise<double>> promise) {
    if (stopBegun_) return;
    stopBegun_ = true;
    // The video ends now; the last frame is written at this time at the latest.
    videoEnd_ = services_.clock();
    {
        std::lock_guard lock(shared_->mutex);
        shared_->videoEnd = videoEnd_;
    }
    tick();
    videoDone_ = true;

    if (audioInput_) {
        // Application audio arrives late; the thread keeps draining it meanwhile.
        const int ms = int(std::lround(std::max(0.0, services_.lateAudioWait) * 1000));
        QTimer::singleShot(ms, Qt::PreciseTimer, this, [this, promise] { continueStop(promise); });
    } else {
        continueStop(promise);
    }
}

void WindowRecorder::Core::continueStop(std::shared_ptr<QPromise<double>> promise) {
    if (mic_) mic_->unsubscribe(micID_);
    if (stream_) stream_->stop();
    if (appCapture_) appCapture_->stop();

    stopped_ = true;
    timer_.reset();
    timerFd_.reset();
    if (!writer_) return resolve(promise, 0);
    if (!started_ || !writerWriting()) {
        writer_->cancel();
        return resolve(promise, 0);
    }
    flush(std::move(promise), 0);
}

void WindowRecorder::Core::flush(std::shared_ptr<QPromise<double>> promise, int round) {
    drain(audioInput_);
    drain(micInput_);
    const bool empty =
        std::all_of(queues_.begin(), queues_.end(), [](const auto& q) { return q.second.empty(); });
    if (empty || round + 1 >= kFlushRounds) return finishFile(std::move(promise));
    QTimer::singleShot(kFlushIntervalMs, Qt::PreciseTimer, this,
                       [this, promise, round] { flush(promise, round + 1); });
}

void WindowRecorder::Core::finishFile(std::shared_ptr<QPromise<double>> promise) {
    writer_->markFinished(*input_);
    if (audioInput_) writer_->markFinished(*audioInput_);
    if (micInput_) writer_->markFinished(*micInput_);
    duration_ = lastPTS_ ? double(*lastPTS_) / double(kVideoTimeScale) : 0.0;
    const double d = duration_;
    writer_->finish([shared = shared_, self = this, promise, d](Result<void>) {
        shared->post([self, promise, d] { self->resolve(promise, d); });
    });
}

void WindowRecorder::Core::resolve(const std::shared_ptr<QPromise<double>>& promise, double duration) {
    duration_ = duration;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->duration = duration;
    }
    promise->addResult(duration);
    promise->finish();
}

void WindowRecorder::Core::shutdown() {
    if (mic_) mic_->unsubscribe(micID_);
    mic_ = nullptr;
    timer_.reset();
    timerFd_.reset();
    if (stream_) stream_->stop();
    stream_.reset();
    if (appCapture_) appCapture_->stop();
    appCapture_.reset();
    latest_.reset();
    blur_.reset();
    writer_.reset();
}

// ---- the public object ----------------------------------------------------------------------

WindowRecorder::Services WindowRecorder::Services::system(ScreenCapture& capture) {
    Services s;
    s.capture = &capture;
    s.audio = systemAudio();
    return s;
}

WindowRecorder::WindowRecorder(Services services)
    : shared_(std::make_shared<Shared>()), core_(std::make_unique<Core>(std::move(services), shared_)),
      thread_(std::make_unique<Thread>()) {
    thread_->setObjectName(QStringLiteral("loomcast.recorder"));
    core_->moveToThread(thread_.get());
    {
        std::lock_guard lock(shared_->gateMutex);
        shared_->target = core_.get();
    }
    thread_->start();
}

WindowRecorder::~WindowRecorder() {
    if (startCalled_) stop().waitForFinished();
    {
        std::lock_guard lock(shared_->gateMutex);
        shared_->target = nullptr;
    }
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
    if (startCalled_) {
        promise->addResult(Result<void>(makeError("The recorder has already been started")));
        promise->finish();
        return future;
    }
    startCalled_ = true;
    Core* core = core_.get();
    shared_->post([core, options = std::move(options), promise] {
        promise->addResult(core->start(options));
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
    {
        std::lock_guard lock(shared_->failMutex);
        shared_->stopRequested = true;
    }
    if (stopFuture_) return *stopFuture_;
    auto promise = std::make_shared<QPromise<double>>();
    promise->start();
    stopFuture_ = promise->future();
    Core* core = core_.get();
    shared_->post([core, promise] { core->beginStop(promise); });
    return *stopFuture_;
}

double WindowRecorder::stopAndWait() {
    QFuture<double> f = stop();
    f.waitForFinished();
    return f.result();
}

void WindowRecorder::setOnFail(std::function<void(const std::string&)> onFail) {
    std::lock_guard lock(shared_->failMutex);
    shared_->onFail = std::move(onFail);
}

std::optional<double> WindowRecorder::firstFrameUptime() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->firstFrameUptime;
}

std::optional<Timecode::Instant> WindowRecorder::firstFrameDate() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->firstFrameDate;
}

double WindowRecorder::duration() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->duration;
}

int WindowRecorder::fpsValue() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->fps;
}

WindowRecorder::Stats WindowRecorder::stats() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->stats;
}

std::string WindowRecorder::debugLine() const {
    std::lock_guard lock(shared_->mutex);
    const auto& d = shared_->dbg;
    const double first = shared_->firstFrameUptime.value_or(0);
    return "audio rx=" + std::to_string(d.rx) + " notReady=" + std::to_string(d.notReady) +
           " afterEnd=" + std::to_string(d.late) + " firstRel=" + formatReal(d.firstRel) +
           " lastRel=" + formatReal(d.lastRel) +
           " videoEndRel=" + formatReal(shared_->videoEnd.value_or(0) - first) +
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

std::int64_t WindowRecorder::bitRate(int width, int height, int fps) {
    return VideoSettings::recordingBitRate(width, height, fps);
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
