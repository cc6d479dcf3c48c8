#pragma once
// Small in-process stand-ins for the recorder's platform services: a writer that logs what it
// is given, a capture service whose stream the test feeds, and a sound server whose
// application and microphone captures the test feeds.
#include "platform/Audio.h"
#include "platform/MovieWriter.h"
#include "platform/ScreenCapture.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace lc::test {

// What a FakeWriter was told; outlives the writer.
struct WriterLog {
    mutable std::mutex mutex;
    std::vector<std::string> calls;
    VideoSettings video;
    std::string comment, date;
    std::optional<std::uint32_t> timecodeStart;
    std::vector<std::int64_t> videoPts;
    std::vector<const YuvFrame*> videoFrames;
    std::vector<YuvFramePtr> videoFrameRefs; // keeps every picture alive, so addresses stay unique
    std::map<int, std::vector<std::int64_t>> audioPts;
    MovieWriter::Status status = MovieWriter::Status::unknown;
    std::optional<Error> error;
    std::function<void(const Error&)> onError;

    // Switches set by the test.
    bool refuseVideoInput = false;
    bool failStartWriting = false;
    bool audioReady = true;
    bool videoReady = true;
    // When set, the video input has room only at every `videoRoomEvery`-th question (a slow encoder).
    int videoRoomEvery = 0;
    int videoQuestions = 0;
    std::optional<std::string> finishError;
    bool rejectAudio = false;

    void call(std::string c) { calls.push_back(std::move(c)); }
    bool has(const std::string& c) const {
        std::lock_guard lock(mutex);
        return std::find(calls.begin(), calls.end(), c) != calls.end();
    }
    std::vector<std::string> callList() const {
        std::lock_guard lock(mutex);
        return calls;
    }
    template <class F> auto read(F f) const {
        std::lock_guard lock(mutex);
        return f(*this);
    }
    template <class F> void change(F f) {
        std::lock_guard lock(mutex);
        f(*this);
    }
    // The writer fails by itself (the disk filled up).
    void failNow(const std::string& message) {
        std::function<void(const Error&)> handler;
        {
            std::lock_guard lock(mutex);
            status = MovieWriter::Status::failed;
            error = makeError(message);
            handler = onError;
        }
        if (handler) handler(makeError(message));
    }
};

class FakeWriter final : public MovieWriter {
public:
    FakeWriter(std::string path, MovieFileType type, std::shared_ptr<WriterLog> log)
        : MovieWriter(std::move(path), type), log_(std::move(log)) {}

    Result<InputId> addVideoInput(const VideoSettings& s) override {
        std::lock_guard lock(log_->mutex);
        log_->call("addVideoInput");
        if (log_->refuseVideoInput) return makeError("Cannot add video input: refused", 1);
        log_->video = s;
        return 0;
    }
    Result<InputId> addAudioInput(const AudioSettings&) override {
        std::lock_guard lock(log_->mutex);
        log_->call("addAudioInput");
        return ++audioInputs_;
    }
    bool addTimecodeTrack(int) override {
        std::lock_guard lock(log_->mutex);
        log_->call("addTimecodeTrack");
        return fileType() == MovieFileType::mov;
    }
    void setMetadata(std::string comment, std::string date) override {
        std::lock_guard lock(log_->mutex);
        log_->call("setMetadata");
        log_->comment = std::move(comment);
        log_->date = std::move(date);
    }
    Result<void> startWriting() override {
        std::lock_guard lock(log_->mutex);
        log_->call("startWriting");
        if (log_->failStartWriting) {
            log_->status = Status::failed;
            log_->error = makeError("Cannot create file: Permission denied");
            return *log_->error;
        }
        log_->status = Status::writing;
        return {};
    }
    void setTimecodeStart(std::uint32_t frame) override {
        std::lock_guard lock(log_->mutex);
        log_->call("setTimecodeStart");
        log_->timecodeStart = frame;
    }
    Result<void> startSession() override {
        std::lock_guard lock(log_->mutex);
        log_->call("startSession");
        session_ = true;
        return {};
    }
    bool isReadyForMoreMediaData(InputId input) const override {
        std::lock_guard lock(log_->mutex);
        if (!session_ || log_->status != Status::writing) return false;
        if (input != 0) return log_->audioReady;
        if (log_->videoRoomEvery > 0) return ++log_->videoQuestions % log_->videoRoomEvery == 0;
        return log_->videoReady;
    }
    bool waitUntilReady(InputId input, double) const override { return isReadyForMoreMediaData(input); }
    YuvFramePtr freeVideoFrame() override {
        return YuvFrame::allocate(log_->video.width, log_->video.height);
    }
    bool appendVideo(const YuvFramePtr& frame, std::int64_t pts) override {
        std::lock_guard lock(log_->mutex);
        if (!session_ || log_->status != Status::writing) return false;
        log_->videoPts.push_back(pts);
        log_->videoFrames.push_back(frame.get());
        log_->videoFrameRefs.push_back(frame);
        return true;
    }
    bool appendAudio(InputId input, std::span<const std::int16_t>, std::int64_t pts) override {
        std::lock_guard lock(log_->mutex);
        if (!session_ || log_->status != Status::writing || log_->rejectAudio) return false;
        log_->audioPts[input].push_back(pts);
        return true;
    }
    void markFinished(InputId input) override {
        std::lock_guard lock(log_->mutex);
        log_->call("markFinished:" + std::to_string(input));
    }
    void finish(std::function<void(Result<void>)> done) override {
        std::optional<std::string> failure;
        {
            std::lock_guard lock(log_->mutex);
            log_->call("finish");
            failure = log_->finishError;
            log_->status = failure ? Status::failed : Status::completed;
        }
        done(failure ? Result<void>(makeError(*failure)) : Result<void>{});
    }
    Result<void> finishAndWait() override {
        finish([](Result<void>) {});
        return {};
    }
    void cancel() override {
        std::lock_guard lock(log_->mutex);
        log_->call("cancel");
        if (log_->status != Status::failed) log_->status = Status::cancelled;
    }
    Status status() const override {
        std::lock_guard lock(log_->mutex);
        return log_->status;
    }
    std::optional<Error> error() const override {
        std::lock_guard lock(log_->mutex);
        return log_->error;
    }
    void setErrorHandler(std::function<void(const Error&)> handler) override {
        std::lock_guard lock(log_->mutex);
        log_->onError = std::move(handler);
    }

private:
    std::shared_ptr<WriterLog> log_;
    int audioInputs_ = 0;
    bool session_ = false;
};

// A capture service with one window; the test delivers frames and errors as the stream's thread.
class FakeCapture final : public ScreenCapture {
public:
    struct Stream {
        std::mutex mutex;
        std::uint32_t windowID = 0;
        StreamConfiguration config;
        CaptureStream::Handlers handlers;
        bool running = false;
        bool stopped = false;
    };

    WindowContentInfo info{Rect{0, 0, 800, 600}, 1};
    bool failStart = false;
    std::shared_ptr<Stream> stream;

    void deliver(BgraFramePtr frame) {
        std::lock_guard lock(stream->mutex);
        if (stream->running && !stream->stopped) stream->handlers.onFrame(std::move(frame));
    }
    void endWithError(const std::string& message) {
        std::lock_guard lock(stream->mutex);
        if (stream->running && !stream->stopped) stream->handlers.onStopped(makeError(message));
    }

    bool isCaptureAvailable() override { return true; }
    Result<ShareableContent> shareableContent(bool) override { return ShareableContent{}; }
    WindowContentInfo contentInfo(const ShareableWindow&) override { return info; }
    Result<std::unique_ptr<CaptureStream>> createStream(std::uint32_t windowID,
                                                        const StreamConfiguration& config,
                                                        CaptureStream::Handlers handlers) override {
        stream = std::make_shared<Stream>();
        stream->windowID = windowID;
        stream->config = config;
        stream->handlers = std::move(handlers);
        return std::unique_ptr<CaptureStream>(std::make_unique<Handle>(stream, failStart));
    }
    Result<BgraFramePtr> screenshotWindow(std::uint32_t, int, int, bool) override {
        return makeError("none");
    }
    Result<BgraFramePtr> screenshotDisplay(std::uint32_t, std::span<const std::uint32_t>, int, int) override {
        return makeError("none");
    }

private:
    class Handle final : public CaptureStream {
    public:
        Handle(std::shared_ptr<Stream> s, bool fail) : s_(std::move(s)), fail_(fail) {}
        Result<void> start() override {
            if (fail_) return makeError("The window is no longer available");
            std::lock_guard lock(s_->mutex);
            s_->running = true;
            return {};
        }
        void stop() override {
            std::lock_guard lock(s_->mutex);
            s_->stopped = true;
        }

    private:
        std::shared_ptr<Stream> s_;
        bool fail_;
    };
};

// A sound server whose captures the test feeds.
class FakeAudio final : public AudioSystem {
public:
    struct Capture {
        std::mutex mutex;
        AudioCallbacks callbacks;
        bool stopped = false;
        int pid = 0;
    };
    std::shared_ptr<Capture> app, mic;

    static void push(const std::shared_ptr<Capture>& c, double hostTime, std::size_t frames = 480) {
        AudioChunk chunk;
        chunk.hostTime = hostTime;
        chunk.samples.assign(frames * 2, 1000);
        std::lock_guard lock(c->mutex);
        if (!c->stopped) c->callbacks.onChunk(std::move(chunk));
    }

    Result<std::vector<AudioDevice>> microphones() override {
        return std::vector<AudioDevice>{{"mic", "Mic", true}};
    }
    MicAuthorization micAuthorization() override { return MicAuthorization::authorized; }
    Result<std::unique_ptr<AudioCapture>> captureMicrophone(const std::optional<std::string>&,
                                                            AudioCallbacks callbacks) override {
        mic = std::make_shared<Capture>();
        mic->callbacks = std::move(callbacks);
        return std::unique_ptr<AudioCapture>(std::make_unique<Handle>(mic));
    }
    Result<std::unique_ptr<AudioCapture>> captureApplication(int pid, AudioCallbacks callbacks) override {
        std::lock_guard lock(appMutex);
        ++appCaptures;
        if (appError) return makeError(*appError);
        app = std::make_shared<Capture>();
        app->pid = pid;
        app->callbacks = std::move(callbacks);
        return std::unique_ptr<AudioCapture>(std::make_unique<Handle>(app));
    }

    // Application capture as the test sees it: it may be replaced on another thread.
    std::shared_ptr<Capture> appNow() {
        std::lock_guard lock(appMutex);
        return app;
    }
    void setAppError(std::optional<std::string> why) {
        std::lock_guard lock(appMutex);
        appError = std::move(why);
    }
    // The server went away under the running application capture.
    void endApp(const std::string& why) {
        std::shared_ptr<Capture> c = appNow();
        AudioCallbacks callbacks;
        {
            std::lock_guard lock(c->mutex);
            callbacks = c->callbacks;
            c->stopped = true;
        }
        if (callbacks.onEnd) callbacks.onEnd(makeError(why));
    }

    std::mutex appMutex;
    std::optional<std::string> appError; // every application capture fails with this
    std::atomic<int> appCaptures{0};

private:
    class Handle final : public AudioCapture {
    public:
        explicit Handle(std::shared_ptr<Capture> c) : c_(std::move(c)) {}
        ~Handle() override { stop(); }
        void stop() override {
            std::lock_guard lock(c_->mutex);
            c_->stopped = true;
        }

    private:
        std::shared_ptr<Capture> c_;
    };
};

} // namespace lc::test
