#pragma once
// The program's one microphone. It runs whenever the microphone is switched on, so that the
// settings can show a live level; during a session it also writes the microphone into an M4A
// file of its own and hands every buffer to the subscribed window recorders. Buffers carry
// host-uptime stamps, the clock the recorders use.
//
// Threads: "loomcast.mic" receives the buffers and owns the subscribers and the file;
// "loomcast.mic.control" starts and stops the capture. The sound server's own thread only hands
// buffers over.
#include "capture/PauseTimeline.h"
#include "platform/Audio.h"
#include "platform/MovieWriter.h"

#include <QFuture>
#include <QString>
#include <QUuid>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace lc {

// Where a finished microphone file sits on the shared clock.
struct MicFileSpan {
    double firstUptime = 0; // uptime of its first sample
    double end = 0;         // end of its last sample, seconds on the file's timeline
};

class MicMonitor {
public:
    using Handler = std::function<void(const std::shared_ptr<const AudioChunk>&)>;

    // `audio` gives the microphones and their capture; `makeWriter` the microphone file's writer
    // (when empty, an armed file fails with a message and only the meter and subscribers run).
    MicMonitor(std::shared_ptr<AudioSystem> audio, MovieWriterFactory makeWriter);
    // Stops the capture; a file still being written is finished (never thrown away).
    ~MicMonitor();
    MicMonitor(const MicMonitor&) = delete;
    MicMonitor& operator=(const MicMonitor&) = delete;

    // The encoding of every audio track the program writes: AAC, 48 kHz, stereo, 128 kb/s.
    static AudioSettings aacSettings() { return AudioSettings{48000, 2, 128000}; }

    // The microphones, default marked; empty when no sound server answers.
    std::vector<AudioDevice> devices() const;
    MicAuthorization authorization() const;

    // (Re)starts capture from `deviceID`, or from the default microphone when absent or not
    // found. `completion` receives whether capture runs, on the control thread; when it does not,
    // startError() says why.
    void start(std::optional<std::string> deviceID, std::function<void(bool)> completion = {});
    // Why the last start left the capture stopped ("No sound server: …", "Cannot open the
    // microphone: …"); absent after a start that runs.
    std::optional<std::string> startError() const;
    // Stops capture; reports level 0.
    void stop();
    bool isRunning() const { return running_; }
    // A start() has been asked for and has not yet told whether it runs.
    bool isStarting() const { return startsPending_ > 0; }

    // Recorders receive every buffer (the same object for all of them) on "loomcast.mic"; the
    // handler must only hand it on. Both calls take effect asynchronously.
    void subscribe(const QUuid& id, Handler handler);
    void unsubscribe(const QUuid& id);

    // Arms the microphone file; it begins with the next buffer. Forgets earlier pauses.
    void startFile(std::string path);
    // From shared-clock time `at` to the resume no sound reaches the file; its timeline goes on
    // at the resume where it paused. Subscribers and the meter still get every buffer (each
    // recorder cuts its own pauses). finishFile() forgets them.
    void pause(double at);
    void resume(double at);
    // Ends the file. Resolves once it is closed: its span, or nothing when no file was written.
    QFuture<std::optional<MicFileSpan>> finishFile();
    // "HH:MM:SS:FF" (30 fps) of the file's first sample; empty before a file began.
    QString fileTimecode() const;
    // Uptime of the current file's first sample, once it began (for a manifest written while
    // recording); absent before and after.
    std::optional<double> fileFirstUptime() const;
    // Why the last armed file could not be written, if it could not.
    std::optional<std::string> fileError() const;
    // Called with each reason fileError() takes (cannot create, full disk, cannot finish), from
    // "loomcast.mic" or the writer's thread. Set before startFile.
    void setOnFileError(std::function<void(const std::string&)> onFileError);

    // Level 0…1 of the sound, at most every 80 ms, from "loomcast.mic" (and 0 from the control
    // thread on stop). Set before start.
    void setOnLevel(std::function<void(float)> onLevel);
    // Capture ended on its own (device removed, sound server gone): one line of text, from the
    // control thread. The monitor is then stopped; an open file stays open until finishFile.
    void setOnFail(std::function<void(const std::string&)> onFail);

    // min(1, 4 × RMS / 32768) over all samples of both channels.
    static float level(std::span<const std::int16_t> samples);

    // Buffers dropped because "loomcast.mic" fell more than a second behind (a slow subscriber).
    std::int64_t droppedBuffers() const { return dropped_; }

private:
    class Queue;
    struct File;

    void received(std::uint64_t generation, AudioChunk chunk);
    void handle(std::uint64_t generation, const std::shared_ptr<const AudioChunk>& chunk);
    void reportLevel(const AudioChunk& chunk);
    void openFile(const std::string& path, double firstUptime);
    void writeFile(const AudioChunk& chunk);
    std::optional<MicFileSpan> closeFile();
    void emitLevel(float level);
    void setFileError(const std::string& why);

    std::shared_ptr<AudioSystem> audio_;
    MovieWriterFactory makeWriter_;
    std::atomic<bool> running_{false};
    std::atomic<std::uint64_t> generation_{0}; // which capture the buffers in flight belong to
    std::atomic<int> inFlight_{0};
    std::atomic<int> startsPending_{0};
    std::atomic<std::int64_t> dropped_{0};

    mutable std::mutex callbacksMutex_;
    std::function<void(float)> onLevel_;
    std::function<void(const std::string&)> onFail_;
    std::function<void(const std::string&)> onFileError_;
    std::optional<std::string> startError_;

    // Owned by the control thread.
    std::unique_ptr<AudioCapture> capture_;

    // Owned by "loomcast.mic".
    double lastLevelT_ = 0;
    std::map<QUuid, Handler> subscribers_;
    std::unique_ptr<File> file_;
    std::optional<std::string> pendingPath_;
    PauseTimeline pauses_;

    mutable std::mutex fileInfoMutex_;
    QString fileTimecode_;
    std::optional<double> fileFirstUptime_;
    std::optional<std::string> fileError_;

    // Last: the threads end (running what is queued) before the members above go.
    std::unique_ptr<Queue> queue_;
    std::unique_ptr<Queue> control_;
};

} // namespace lc
