#include "capture/MicMonitor.h"

#include "capture/Timecode.h"
#include "common/Clock.h"

#include <QDateTime>
#include <QPromise>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <future>
#include <pthread.h>
#include <thread>

namespace lc {

namespace {
constexpr double kLevelInterval = 0.08;
constexpr int kFileFps = 30;
// Buffers waiting for "loomcast.mic" beyond this (about a second of sound) are dropped, so a
// slow subscriber cannot make memory grow or stall the sound server's thread.
constexpr int kMaxInFlight = 100;

// The platform's default internet date-time form in the local zone: 2026-03-14T09:26:53+01:00.
QString isoText(std::chrono::system_clock::time_point t) {
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
    const QDateTime local = QDateTime::fromSecsSinceEpoch(secs);
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODate);
}
} // namespace

// A serial queue on its own named thread: tasks run one at a time, in order.
class MicMonitor::Queue {
public:
    explicit Queue(std::string label)
        : thread_([this, label = std::move(label)] {
              pthread_setname_np(pthread_self(), label.substr(0, 15).c_str());
              run();
          }) {}
    // Runs what is queued, then ends the thread.
    ~Queue() {
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
    void post(std::function<void()> task) {
        {
            std::lock_guard lock(mutex_);
            tasks_.push_back(std::move(task));
        }
        wake_.notify_one();
    }
    void sync(const std::function<void()>& task) {
        if (std::this_thread::get_id() == thread_.get_id()) {
            task();
            return;
        }
        std::promise<void> done;
        post([&] {
            task();
            done.set_value();
        });
        done.get_future().wait();
    }

private:
    void run() {
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [&] { return quit_ || !tasks_.empty(); });
                if (tasks_.empty()) return;
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
            task();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    bool quit_ = false;
    std::thread thread_;
};

struct MicMonitor::File {
    std::unique_ptr<MovieWriter> writer;
    MovieWriter::InputId input = 0;
    bool started = false;
    std::optional<double> firstUptime;
    double lastPTS = 0;
    bool appended = false; // at least one buffer is in the file
};

MicMonitor::MicMonitor(std::shared_ptr<AudioSystem> audio, MovieWriterFactory makeWriter)
    : audio_(std::move(audio)), makeWriter_(std::move(makeWriter)),
      queue_(std::make_unique<Queue>("loomcast.mic")),
      control_(std::make_unique<Queue>("loomcast.mic.control")) {}

MicMonitor::~MicMonitor() {
    control_->sync([this] {
        if (capture_) capture_->stop();
        capture_.reset();
        ++generation_; // an end reported meanwhile is no longer news
    });
    queue_->sync([this] {
        subscribers_.clear();
        closeFile();
    });
    control_.reset();
    queue_.reset();
}

std::vector<AudioDevice> MicMonitor::devices() const {
    auto list = audio_->microphones();
    return list ? std::move(*list) : std::vector<AudioDevice>{};
}

MicAuthorization MicMonitor::authorization() const {
    return audio_->micAuthorization();
}

void MicMonitor::start(std::optional<std::string> deviceID, std::function<void(bool)> completion) {
    ++startsPending_;
    control_->post([this, deviceID = std::move(deviceID), completion = std::move(completion)] {
        // Switching devices replaces the input.
        if (capture_) capture_->stop();
        capture_.reset();
        const std::uint64_t generation = ++generation_;

        bool running = false;
        std::optional<std::string> why;
        if (auto list = audio_->microphones(); !list) {
            why = list.error().message;
        } else if (list->empty()) {
            why = "No microphone";
        } else {
            std::optional<std::string> chosen;
            for (const auto& d : *list)
                if (deviceID && d.id == *deviceID) chosen = d.id;
            if (!chosen)
                for (const auto& d : *list)
                    if (d.isDefault) chosen = d.id;
            // Without a listed default the server's own default source is used.
            AudioCallbacks callbacks;
            callbacks.onChunk = [this, generation](AudioChunk c) { received(generation, std::move(c)); };
            callbacks.onEnd = [this, generation](const Error& e) {
                control_->post([this, generation, message = e.message] {
                    if (generation != generation_) return;
                    if (capture_) capture_->stop();
                    capture_.reset();
                    ++generation_;
                    running_ = false;
                    emitLevel(0);
                    std::function<void(const std::string&)> onFail;
                    {
                        std::lock_guard lock(callbacksMutex_);
                        onFail = onFail_;
                    }
                    if (onFail) onFail(message);
                });
            };
            if (auto capture = audio_->captureMicrophone(chosen, std::move(callbacks))) {
                capture_ = std::move(*capture);
                running = true;
            } else {
                why = capture.error().message;
            }
        }
        running_ = running;
        {
            std::lock_guard lock(callbacksMutex_);
            startError_ = why;
        }
        --startsPending_;
        if (completion) completion(running);
    });
}

void MicMonitor::stop() {
    control_->post([this] {
        if (capture_) capture_->stop();
        capture_.reset();
        ++generation_;
        running_ = false;
        emitLevel(0);
    });
}

void MicMonitor::subscribe(const QUuid& id, Handler handler) {
    queue_->post([this, id, handler = std::move(handler)] { subscribers_[id] = handler; });
}

void MicMonitor::unsubscribe(const QUuid& id) {
    queue_->post([this, id] { subscribers_.erase(id); });
}

void MicMonitor::startFile(std::string path) {
    queue_->post([this, path = std::move(path)] {
        // A file still open from before is closed with what it holds, not thrown away.
        closeFile();
        pendingPath_ = path;
        pauses_ = PauseTimeline{};
        std::lock_guard lock(fileInfoMutex_);
        fileError_.reset();
    });
}

void MicMonitor::pause(double at) {
    queue_->post([this, at] { pauses_.pause(at); });
}

void MicMonitor::resume(double at) {
    queue_->post([this, at] { pauses_.resume(at); });
}

QFuture<std::optional<MicFileSpan>> MicMonitor::finishFile() {
    auto promise = std::make_shared<QPromise<std::optional<MicFileSpan>>>();
    auto future = promise->future();
    promise->start();
    queue_->post([this, promise] {
        pendingPath_.reset();
        pauses_ = PauseTimeline{}; // they belonged to that file
        promise->addResult(closeFile());
        promise->finish();
    });
    return future;
}

std::optional<std::string> MicMonitor::startError() const {
    std::lock_guard lock(callbacksMutex_);
    return startError_;
}

QString MicMonitor::fileTimecode() const {
    std::lock_guard lock(fileInfoMutex_);
    return fileTimecode_;
}

std::optional<double> MicMonitor::fileFirstUptime() const {
    std::lock_guard lock(fileInfoMutex_);
    return fileFirstUptime_;
}

std::optional<std::string> MicMonitor::fileError() const {
    std::lock_guard lock(fileInfoMutex_);
    return fileError_;
}

void MicMonitor::setOnLevel(std::function<void(float)> onLevel) {
    std::lock_guard lock(callbacksMutex_);
    onLevel_ = std::move(onLevel);
}

void MicMonitor::setOnFileError(std::function<void(const std::string&)> onFileError) {
    std::lock_guard lock(callbacksMutex_);
    onFileError_ = std::move(onFileError);
}

void MicMonitor::setFileError(const std::string& why) {
    {
        std::lock_guard lock(fileInfoMutex_);
        fileError_ = why;
    }
    std::function<void(const std::string&)> onFileError;
    {
        std::lock_guard lock(callbacksMutex_);
        onFileError = onFileError_;
    }
    if (onFileError) onFileError(why);
}

void MicMonitor::setOnFail(std::function<void(const std::string&)> onFail) {
    std::lock_guard lock(callbacksMutex_);
    onFail_ = std::move(onFail);
}

float MicMonitor::level(std::span<const std::int16_t> samples) {
    double sum = 0;
    for (const std::int16_t s : samples)
        sum += double(s) * double(s);
    const double n = double(std::max<std::size_t>(1, samples.size()));
    return float(std::min(1.0, 4.0 * std::sqrt(sum / n) / 32768.0));
}

void MicMonitor::emitLevel(float level) {
    std::function<void(float)> onLevel;
    {
        std::lock_guard lock(callbacksMutex_);
        onLevel = onLevel_;
    }
    if (onLevel) onLevel(level);
}

// ---- "loomcast.mic" ---------------------------------------------------------------------------

void MicMonitor::received(std::uint64_t generation, AudioChunk chunk) {
    if (inFlight_.load() >= kMaxInFlight) {
        ++dropped_;
        return;
    }
    ++inFlight_;
    // One copy, shared read-only by the file and every subscriber.
    auto shared = std::make_shared<const AudioChunk>(std::move(chunk));
    queue_->post([this, generation, shared] {
        --inFlight_;
        handle(generation, shared);
    });
}

void MicMonitor::handle(std::uint64_t generation, const std::shared_ptr<const AudioChunk>& chunk) {
    if (chunk->samples.empty()) return;
    // Buffers of a capture already stopped still go to the file and the recorders, but no
    // longer move the meter.
    if (generation == generation_) reportLevel(*chunk);
    // The recorders cut the pauses from their copies themselves.
    for (const auto& [id, handler] : subscribers_)
        handler(chunk);
    if (!file_ && !pendingPath_) return;
    const std::shared_ptr<const AudioChunk> kept = pauses_.unpaused(chunk);
    if (!kept) return;
    if (!file_ && pendingPath_) {
        const std::string path = *pendingPath_;
        pendingPath_.reset();
        openFile(path, kept->hostTime);
    }
    if (file_) writeFile(*kept);
}

void MicMonitor::reportLevel(const AudioChunk& chunk) {
    const double now = uptime();
    if (now - lastLevelT_ <= kLevelInterval) return;
    lastLevelT_ = now;
    emitLevel(level(chunk.samples));
}

void MicMonitor::openFile(const std::string& path, double firstUptime) {
    auto fail = [&](const std::string& why) { setFileError(why); };
    if (!makeWriter_) return fail("Cannot write the microphone file: no movie writer");
    auto writer = makeWriter_(path, MovieFileType::m4a, MovieWriterOptions{});
    if (!writer) return fail(writer.error().message);
    // A write that fails later (a full disk) is told from the writer's thread.
    (*writer)->setErrorHandler([this](const Error& e) { setFileError(e.message); });

    const auto start =
        std::chrono::system_clock::now() - std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                               std::chrono::duration<double>(uptime() - firstUptime));
    const QString timecode = Timecode::string(start, kFileFps);
    const QString startText = isoText(start);
    {
        std::lock_guard lock(fileInfoMutex_);
        fileTimecode_ = timecode;
    }
    (*writer)->setMetadata(QStringLiteral("timecode=%1 fps=%2 start=%3")
                               .arg(timecode)
                               .arg(kFileFps)
                               .arg(startText)
                               .toStdString(),
                           startText.toStdString());
    auto input = (*writer)->addAudioInput(aacSettings());
    if (!input) return fail(input.error().message);
    if (auto started = (*writer)->startWriting(); !started) return fail(started.error().message);

    file_ = std::make_unique<File>();
    file_->writer = std::move(*writer);
    file_->input = *input;
}

void MicMonitor::writeFile(const AudioChunk& chunk) {
    File& f = *file_;
    if (f.writer->status() != MovieWriter::Status::writing) return;
    const double t = chunk.hostTime;
    if (!f.started) {
        if (auto ok = f.writer->startSession(); !ok) {
            setFileError(ok.error().message);
            f.writer->cancel();
            file_.reset();
            return;
        }
        f.started = true;
        f.firstUptime = t;
        std::lock_guard lock(fileInfoMutex_);
        fileFirstUptime_ = t;
    }
    // A buffer the writer cannot take now is missing from the file; it is never held.
    if (!f.writer->isReadyForMoreMediaData(f.input)) return;
    const double rel = pauses_.elapsedClamped(*f.firstUptime, t);
    if (f.writer->appendAudio(f.input, chunk, std::llround(rel * kAudioTimeScale))) {
        f.lastPTS = rel + double(chunk.frameCount()) / AudioChunk::sampleRate;
        f.appended = true;
    }
}

std::optional<MicFileSpan> MicMonitor::closeFile() {
    auto file = std::move(file_);
    if (!file) return std::nullopt;
    {
        std::lock_guard lock(fileInfoMutex_);
        fileFirstUptime_.reset();
    }
    if (!file->started || !file->firstUptime || !file->appended) {
        file->writer->cancel();
        return std::nullopt;
    }
    // A writer that failed part-way (a full disk) still closes what it wrote: that sound is kept.
    file->writer->markFinished(file->input);
    if (auto done = file->writer->finishAndWait(); !done) setFileError(done.error().message);
    return MicFileSpan{*file->firstUptime, file->lastPTS};
}

} // namespace lc
