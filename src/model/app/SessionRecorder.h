#pragma once
// What a session needs from the recorder of one window file. The real one wraps
// WindowRecorder; tests use small fakes.
#include "capture/Timecode.h"
#include "capture/WindowRecorder.h"
#include "common/Result.h"
#include "model/Preset.h"
#include "platform/Geometry.h"
#include "platform/ScreenCapture.h"

#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <qcoro/qcorotask.h>

namespace lc {

class MicMonitor;
struct RecorderServices;

struct RecorderStart {
    ShareableWindow window;
    Preset preset;
    int fps = 30;
    bool hevc = false;
    QString path;
    bool appAudio = false;
    MicMonitor* mic = nullptr; // copy the microphone into the file when given
    bool mp4 = false;
    std::optional<double> pausedAt; // the session is paused since this shared-clock time
};

class SessionRecorder {
public:
    virtual ~SessionRecorder() = default;

    // Called at most when capture or writing fails by itself, on any thread.
    virtual void setOnFail(std::function<void(const QString& message)> onFail) = 0;
    // Called when the application audio cannot start or stops ("No sound: …", "Sound stopped at
    // MM:SS: …"), on any thread; the video goes on.
    virtual void setOnSound(std::function<void(const QString& message)>) {}
    // On success the capture runs and the file is being written; a recorder starts once.
    virtual QCoro::Task<Result<void>> start(RecorderStart args) = 0;
    // Finishes the file; the video's duration in seconds as the file has it (0 when no frame
    // was written).
    virtual QCoro::Task<double> stop() = 0;
    // After stop(): why the file could not be finished, if it could not.
    virtual std::optional<QString> finishFailure() const { return std::nullopt; }
    // The whole session pauses or resumes at this shared-clock time; main thread, never waits.
    virtual void pause(double at) = 0;
    virtual void resume(double at) = 0;

    virtual std::optional<double> firstFrameUptime() const = 0;
    virtual std::optional<Timecode::Instant> firstFrameDate() const = 0;
    virtual int fpsValue() const = 0;
    // After a successful start: whether the file has an application-audio track.
    virtual bool hasAppAudio() const { return false; }
    virtual QString debugLine() const = 0;
};

using RecorderFactory = std::function<std::shared_ptr<SessionRecorder>()>;

// Recorders on the services the composition root chose; `services.capture` must outlive them.
RecorderFactory windowRecorderFactory(RecorderServices services);

} // namespace lc
