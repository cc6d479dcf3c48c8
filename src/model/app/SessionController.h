#pragma once
// One recording session: the folder, one recorder per linked entry, the focus history, the
// session record and its manifest (session.json, rewritten on every change), and the resize
// probe that tells before a session whether a window can take a preset's shape.
// Main thread only; recorders report failures from their own threads through a gate.
#include "capture/PauseTimeline.h"
#include "common/Join.h"
#include "common/PostGate.h"
#include "model/AppState.h"
#include "model/app/SessionRecorder.h"
#include "model/app/SessionRecovery.h"
#include "platform/WindowControl.h"
#include "platform/WindowServer.h"
#include "session/FocusTracker.h"
#include "session/SessionDocument.h"

#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QTimer>
#include <QUuid>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <qcoro/qcorotask.h>

namespace lc {

class Microphone;
class Settings;
class WindowList;

// A session that ended, once its files are finished and its record written the last time.
struct SessionEnd {
    QString folder;
    int windows = 0;                // files the record describes
    double seconds = 0;             // where the latest of them ends, on the session's clock
    std::optional<QString> problem; // what the notice says about the end, if anything
};

class SessionController : public QObject {
    Q_OBJECT
public:
    static constexpr double kTickSeconds = 0.25;
    // How long a start waits for a microphone that is still starting.
    static constexpr double kMicStartWait = 2.0;

    struct Services {
        std::shared_ptr<WindowServer> server;
        std::shared_ptr<WindowControl> control;
        RecorderFactory makeRecorder;
        QString sessionsRoot;                     // where session folders are made
        std::function<void(double)> resizerSleep; // how the window resizer waits (empty: really)
        double settleSeconds = 0.3;               // before a recorder starts, for a resized window
        // Free bytes on the file system holding a path (empty: the real file system's answer).
        std::function<std::optional<qint64>(const QString& path)> freeSpace;
    };

    // While recording the manifest is rewritten at least this often, with the durations so far.
    static constexpr double kManifestSeconds = 5;
    // Free space is checked this often while recording.
    static constexpr double kDiskCheckSeconds = 1;
    // The least free space a session keeps: it stops itself below it.
    static constexpr qint64 kMinReserveBytes = 64LL * 1024 * 1024;
    using Notice = std::function<void(const std::optional<QString>& text)>;

    // `windows`, `settings` and `mic` must outlive the controller.
    SessionController(Services services, WindowList& windows, Settings& settings, Microphone& mic,
                      Notice notice, QObject* parent = nullptr);
    ~SessionController() override;

    bool isRecording() const { return isRecording_; }
    // Paused, also while a stop that came during the pause finishes the files.
    bool isPaused() const { return pauses_.paused() || stopPaused_; }
    // Seconds since the session started without the pauses, updated every tick; held while paused.
    double elapsed() const { return elapsed_; }
    // The latest session folder.
    const std::optional<QString>& lastFolder() const { return lastFolder_; }
    const std::optional<QString>& sessionDir() const { return sessionDir_; }
    // The uptime at which the running (or last) session started: the shared clock's zero.
    double sessionStart() const { return sessionStart_; }
    // The wall-clock time the session started (names its folder).
    const QDateTime& sessionDate() const { return sessionDate_; }
    bool stopping() const { return stopping_; }
    // Starts, stops and finishes still in flight (removed entries, failed recorders included).
    bool busy() const;
    std::size_t recorderCount() const { return recorders_.size(); }
    bool hasRecorder(const QUuid& id) const { return recorders_.count(id) > 0; }
    const std::vector<FocusLogEntry>& focusLog() const { return focus_.log(); }
    const std::optional<QUuid>& focusCurrent() const { return focus_.current(); }
    // Print a "DBG " line per recorder at stop (the multi-window self-test).
    void setPrintStopDebug(bool on) { printStopDebug_ = on; }

    // Refreshes the windows, makes the folder and starts a recorder per linked entry. One start
    // at a time; nothing happens while recording.
    QCoro::Task<> start();
    // Finishes every file and the manifest; a second stop waits for the first.
    QCoro::Task<> stop();
    // Resizes the entry's window and starts its recorder (a session must be running).
    QCoro::Task<> startEntry(QUuid id);
    // Starts the entry's recorder without waiting; what it throws shows on the entry's row.
    void launchEntry(const QUuid& id);
    // Records a finished recorder's duration, offset and timecode, and renames its file.
    void finish(const QUuid& id, double duration, const SessionRecorder& recorder);
    // Stops a running session and waits until every file is finished.
    QCoro::Task<> shutdown();
    // Pauses every recorder, the microphone and the focus history at once, or resumes them; the
    // paused span is cut from the session's time. Only while recording and not stopping.
    void pause();
    void resume();
    // Session time of a shared-clock time: since the start, without the pauses (a time inside a
    // pause counts as its start).
    double sessionTime(double uptime) const;
    // The pauses so far, on the shared clock.
    const PauseTimeline& pauses() const { return pauses_; }

    // A new entry: recorded at once during a session, else probed.
    void entryAdded(const QUuid& id);
    // An entry went: its recorder (if any) finishes on its own.
    void entryRemoved(const QUuid& id);
    // Tells (on the entry's note) whether its window can take the preset's shape; idle only.
    void probe(const QUuid& id);

    // The free space a running session keeps for finishing its files: the manifest and the
    // files' indexes (`samplesSoFar` samples so far), plus 10 s at `bytesPerSecond`, never less
    // than kMinReserveBytes.
    static qint64 diskReserve(double bytesPerSecond, double samplesSoFar, qint64 manifestBytes);
    // "850 MB", "1.4 GB" (decimal units).
    static QString spaceText(qint64 bytes);

signals:
    void isRecordingChanged(bool on);
    void pausedChanged(bool paused);
    void elapsedChanged(double seconds);
    void lastFolderChanged();
    // The session folder's manifest was rewritten.
    void sessionWritten();
    // The session is over and its record final (also when stopping failed).
    void ended(const lc::SessionEnd& end);

private:
    void setIsRecording(bool on);
    void setElapsed(double seconds);
    void setWarning(const QUuid& id, const std::optional<QString>& text);
    void setFailure(const QUuid& id, const QString& text);
    QString chooseFileName(const Entry& entry) const;
    void tick();
    // False when the manifest could not be written (the previous one stays).
    bool writeSession();
    // `before` was renamed `after`: the manifest names it so (`name` sets the name), or, when the
    // manifest cannot be written, the file gets its old name back.
    void describeRenamed(const QString& before, const QString& after,
                         const std::function<void(const QString&)>& name);
    // The document as it stands on disk: only files that exist and hold media so far.
    SessionDocument writtenDocument();
    // Bytes per second the running session is estimated to write, and samples per second of
    // its files' indexes.
    double estimatedRate() const;
    double samplesPerSecond() const;
    // Free space below the reserve: the session stops itself with the notice. True when it does.
    bool checkDiskSpace();
    std::optional<qint64> freeSpace(const QString& path) const;
    std::optional<QUuid> focusCandidate(std::optional<std::int32_t> frontmostPid);
    void pollFocus();
    // The frontmost process became `pid` at uptime `at` (reported by the activation watcher).
    void activated(std::int32_t pid, double at);
    void commitFocus(const QUuid& id, double t);
    void onRecorderFailed(const QUuid& id, const QString& message);
    // The microphone file of the running session (sessionDir_ set).
    void startMicFile();
    // The microphone started running: a session without its file starts one now.
    void micAppeared();
    // The second half of startEntry, once the window has its size: the file name, the recorder
    // and the session record. The entry must exist.
    QCoro::Task<> startRecorder(QUuid id, ShareableWindow window, Preset preset,
                                std::optional<QString> warning);
    // The failure on the entry's row (it stops showing as recording unless its recorder runs), or
    // the notice when the entry is gone.
    void reportFailure(const QUuid& id, const QString& message);
    // Runs an entry's task; what it throws ends up on the entry's row.
    void runForEntry(QCoro::Task<> task, const QUuid& id, const QString& what);
    QCoro::Task<> stopDetached(QUuid id, std::shared_ptr<SessionRecorder> recorder,
                               std::optional<QString> failure, Join::Ticket finishing);
    QCoro::Task<> stopAndFinish(QUuid id, std::shared_ptr<SessionRecorder> recorder);
    // The body of stop: every file and the microphone's finished and recorded.
    QCoro::Task<> finishFiles();
    // The session is over, whatever happened: the model can record again. `failure` ends up in
    // the notice.
    void endSession(const std::optional<QString>& failure);
    QCoro::Task<> runProbe(QUuid id, ShareableWindow window, Preset preset, QString appName,
                           Join::Ticket probing);
    void stopDetachedFor(const QUuid& id, std::shared_ptr<SessionRecorder> recorder,
                         std::optional<QString> failure);

    Services services_;
    WindowList& windows_;
    Settings& settings_;
    Microphone& mic_;
    Notice notice_;
    std::shared_ptr<PostGate<SessionController>> gate_;

    bool isRecording_ = false;
    double elapsed_ = 0;
    std::optional<QString> lastFolder_;
    bool stopping_ = false;
    std::map<QUuid, std::shared_ptr<SessionRecorder>> recorders_;
    std::optional<QString> sessionDir_;
    double sessionStart_ = 0;
    QDateTime sessionDate_ = QDateTime::currentDateTime();
    SessionDocument session_;
    FocusTracker focus_;
    QHash<QUuid, std::int32_t> recPID_;
    std::unique_ptr<Subscription> activationObserver_;
    PauseTimeline pauses_;
    bool stopPaused_ = false; // the running stop closed a pause: the files end at it
    QTimer tickTimer_;
    bool printStopDebug_ = false;

    // Soundness beyond the basic flow: one start at a time, names reserved before the
    // recorders exist, and stop waiting for starts and detached finishes still running.
    Join starting_;
    Join starts_;
    Join finishes_;
    Join stops_;
    std::map<QUuid, Join> probing_; // resize probes still running, per entry
    std::uint64_t sessionGeneration_ = 0;
    QSet<QString> reservedNames_;

    // Crash safety and the disk: the marker of an unfinished session, the manifest's failures
    // (reported once a session), the first frames already in the manifest, the periodic writes.
    std::optional<SessionMarker> marker_;
    bool manifestFailureShown_ = false;
    QSet<QUuid> firstFramesWritten_;
    double lastManifestWrite_ = 0;
    double lastDiskCheck_ = 0;
    std::vector<std::pair<double, qint64>> written_; // (uptime, bytes in the folder), the last few s
    qint64 manifestBytes_ = 0;
    std::optional<QString> endNotice_; // shown instead of nothing when the stop ends
};

} // namespace lc
