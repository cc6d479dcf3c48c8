#pragma once
// Building the final video of a session folder: reading it back, planning the timeline,
// decoding, composing, mixing and encoding "Loomcast Final.mp4".
#include "common/Result.h"
#include "export/Timeline.h"
#include "platform/Frame.h"
#include "platform/MediaReader.h"
#include "platform/MovieWriter.h"
#include "session/SessionDocument.h"

#include <QString>
#include <QStringList>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <qcoro/qcorotask.h>
#include <string>
#include <vector>

namespace lc {

// One running export: what the user interface holds on to in order to watch or cancel it.
class ExportSession {
public:
    // Stops the export; the run then ends with "Export cancelled" and leaves no file behind.
    void cancelExport() { cancelled_ = true; }
    bool isCancelled() const { return cancelled_; }
    // Fraction of the video written so far, 0 to 1.
    double progress() const { return progress_; }
    void setProgress(double p) { progress_ = p; }

    // Set by the thread running the export once it has let go of every file.
    void markStopped() {
        std::lock_guard lock(m_);
        stopped_ = true;
        cv_.notify_all();
    }
    void waitUntilStopped() {
        std::unique_lock lock(m_);
        cv_.wait(lock, [&] { return stopped_; });
    }

private:
    std::atomic<bool> cancelled_{false};
    std::atomic<double> progress_{0};
    std::mutex m_;
    std::condition_variable cv_;
    bool stopped_ = false;
};

// The back ends an export works with, chosen by the composition root.
struct ExportBackends {
    MovieWriterFactory makeWriter;
    std::shared_ptr<const MediaReader> reader;
};

namespace ExportEngine {

// A clip of the session as the export uses it.
struct Clip {
    std::string path;
    int trackId = 0;
    MediaTime start;  // on the shared clock
    TrackRange range; // its video in its own time
    int width = 0;
    int height = 0;
};

// A piece of audio as the export uses it: source time p plays at at + (p − sourceStart).
struct AudioPiece {
    std::string path;
    int trackId = 0;
    MediaTime at;
    MediaTime sourceStart;
    MediaTime duration;
    bool isMic = false;
};

struct Prepared {
    Timeline timeline;
    std::vector<Clip> clips;       // every clip with a video track, in document order
    std::vector<AudioPiece> audio; // application audio that can be heard, then the microphone
    double length = 0;             // seconds
    int renderWidth = 0;
    int renderHeight = 0;
};

// The most recent folders under `sessionsRoot` that hold a "session.json", newest first.
QStringList recentSessions(const QString& sessionsRoot, int limit);
// "Loomcast Final.mp4" in `folder`, or the first "Loomcast Final N.mp4" (N = 2, 3, …) at
// whose path nothing exists.
QString uniqueOutput(const QString& folder);

// Reads the folder and plans the video (media through `reader`). Fails with the messages the
// user sees; "Export cancelled" as soon as `session` (when given) is cancelled between files.
Result<Prepared> prepare(const QString& folder, const MediaReader& reader,
                         const ExportSession* session = nullptr);

// The whole export on the calling thread (decoding, composing and encoding run on workers
// inside). `onStart` is called once the output is chosen and encoding is about to begin.
Result<QString> runBlocking(const QString& folder, ExportSession& session, const ExportBackends& backends,
                            const std::function<void()>& onStart = {});

// The export as a task on the main thread: the work runs on a thread of its own;
// `registerSession` is called once before any work and `progress` every 200 ms, both on the
// main thread.
QCoro::Task<Result<QString>> run(QString folder, ExportBackends backends,
                                 std::function<void(double)> progress,
                                 std::function<void(std::shared_ptr<ExportSession>)> registerSession);

} // namespace ExportEngine
} // namespace lc
