#include "model/app/SessionController.h"

#include "capture/Timecode.h"
#include "common/Clock.h"
#include "common/Detached.h"
#include "model/app/Console.h"
#include "model/app/Microphone.h"
#include "model/app/Settings.h"
#include "model/app/WindowList.h"
#include "session/Rounding.h"
#include "session/SessionFiles.h"
#include "windows/WindowResizer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QtConcurrent/QtConcurrent>
#include <chrono>
#include <cmath>
#include <qcoro/qcorofuture.h>
#include <qcoro/qcorotimer.h>

namespace lc {

namespace {

const QString kKeepsShape = QStringLiteral(" keeps its own shape \u2014 will fill with blur");
const QString kMicFile = QStringLiteral("Mic.m4a");

long long roundHalfAway(double x) {
    return std::llround(x); // llround rounds halves away from zero
}

// Creates a fresh session folder under `root`: `name`, or "name 2", "name 3" … when a folder
// of that name exists already (two sessions started within one second must not share one).
std::optional<QString> makeSessionFolder(const QString& root, const QString& name) {
    if (!QDir().mkpath(root)) return std::nullopt;
    const QDir parent(root);
    for (int n = 1; n < 1000; ++n) {
        const QString candidate = parent.filePath(n == 1 ? name : name + u' ' + QString::number(n));
        if (parent.mkdir(QFileInfo(candidate).fileName())) return candidate;
        if (!QFileInfo::exists(candidate)) return std::nullopt;
    }
    return std::nullopt;
}

// Runs `work(resizer services)` on a worker thread: the resizer blocks while a window settles.
template <class Work> auto offMainThread(const SessionController::Services& services, Work work) {
    return QtConcurrent::run([control = services.control, server = services.server,
                              sleep = services.resizerSleep, work = std::move(work)] {
        WindowResizer::Services s{*control, *server};
        if (sleep) s.sleep = sleep;
        return work(s);
    });
}

// What the resize did, on the entry's row.
void showResize(WindowList& windows, const QUuid& id, const WindowResizer::Result& resized,
                const Preset& preset) {
    windows.edit(id, [&](Entry& entry) {
        entry.note = resized.aspectOK ? std::nullopt : std::optional(entry.appName + kKeepsShape);
        entry.info = QStringLiteral("Window %1\u00D7%2 pt \u2192 %3\u00D7%4")
                         .arg(roundHalfAway(resized.pointSize.width))
                         .arg(roundHalfAway(resized.pointSize.height))
                         .arg(preset.width)
                         .arg(preset.height);
    });
}

// The manifest's record of a recorder that just started.
SessionRecording recordingFor(const QUuid& id, const Entry& entry, const RecorderStart& args,
                              const QString& file, const std::optional<QString>& warning) {
    SessionRecording record;
    record.file = file;
    record.app = entry.appName;
    record.windowTitle = entry.title;
    record.preset = args.preset.label();
    record.width = args.preset.width;
    record.height = args.preset.height;
    record.fps = args.fps;
    record.warning = warning;
    record.hasAppAudio = args.appAudio;
    // What the file really has: the copy was asked for or not.
    record.hasMicTrack = args.mic != nullptr;
    record.entry = id;
    return record;
}

} // namespace

SessionController::SessionController(Services services, WindowList& windows, Settings& settings,
                                     Microphone& mic, Notice notice, QObject* parent)
    : QObject(parent), services_(std::move(services)), windows_(windows), settings_(settings), mic_(mic),
      notice_(std::move(notice)), gate_(std::make_shared<PostGate<SessionController>>(this)) {
    tickTimer_.setInterval(int(kTickSeconds * 1000));
    tickTimer_.setTimerType(Qt::PreciseTimer);
    connect(&tickTimer_, &QTimer::timeout, this, &SessionController::tick);
}

SessionController::~SessionController() {
    gate_->close();
    tickTimer_.stop();
    activationObserver_.reset();
}

bool SessionController::busy() const {
    return !starting_.isIdle() || !starts_.isIdle() || !finishes_.isIdle() || stopping_;
}

void SessionController::setIsRecording(bool on) {
    if (isRecording_ == on) return;
    isRecording_ = on;
    emit isRecordingChanged(on);
}

void SessionController::setElapsed(double seconds) {
    elapsed_ = seconds;
    emit elapsedChanged(seconds);
}

void SessionController::setWarning(const QUuid& id, const std::optional<QString>& text) {
    windows_.edit(id, [&](Entry& e) { e.warning = text; });
}

void SessionController::setFailure(const QUuid& id, const QString& text) {
    windows_.edit(id, [&](Entry& e) { e.failure = text; });
}

void SessionController::runForEntry(QCoro::Task<> task, const QUuid& id, const QString& what) {
    runDetached(std::move(task), what,
                [self = QPointer<SessionController>(this), id](const QString& message) {
                    if (self) self->reportFailure(id, message);
                });
}

void SessionController::reportFailure(const QUuid& id, const QString& message) {
    // A removed entry has no row to show it on.
    if (!windows_.entry(id)) return notice_(message);
    const bool recording = recorders_.count(id) > 0;
    windows_.edit(id, [&](Entry& e) {
        e.failure = message;
        if (!recording) e.isRecording = false;
    });
}

// --- Start ---------------------------------------------------------------------------------

QCoro::Task<> SessionController::start() {
    if (isRecording_ || !starting_.isIdle()) co_return;
    const Join::Ticket starting = starting_.enter();
    QPointer<SessionController> self(this);

    co_await windows_.refresh(false);
    if (!self || isRecording_) co_return;
    if (windows_.availableToRecord() == 0) co_return;

    sessionDate_ = QDateTime::currentDateTime();
    const QString name = SessionFiles::folderName(sessionDate_);
    const std::optional<QString> folder = makeSessionFolder(services_.sessionsRoot, name);
    if (!folder) {
        notice_(QStringLiteral("Cannot create ") + QDir(services_.sessionsRoot).filePath(name));
        co_return;
    }

    sessionDir_ = *folder;
    lastFolder_ = *folder;
    emit lastFolderChanged();
    sessionStart_ = uptime();
    pauses_ = PauseTimeline{};
    session_ = SessionDocument{};
    session_.sessionStart = SessionFiles::isoUtc(sessionDate_);
    session_.container = settings_.container();
    focus_.reset();
    recPID_.clear();
    reservedNames_.clear();
    ++sessionGeneration_;

    if (settings_.micEnabled() && mic_.monitor().isRunning()) {
        mic_.monitor().startFile(QDir(*folder).filePath(kMicFile).toStdString());
        session_.mic = SessionMic{.file = kMicFile, .device = mic_.deviceName()};
    }

    setIsRecording(true);
    setElapsed(0);
    notice_(std::nullopt);

    if (services_.server) {
        activationObserver_ = services_.server->observeActivations([gate = gate_](std::int32_t) {
            gate->post([](SessionController& s) {
                if (s.isRecording_) s.pollFocus();
            });
        });
    }
    tickTimer_.start();

    std::vector<QUuid> ids;
    for (const Entry& e : windows_.entries()) {
        if (e.windowID) ids.push_back(e.id);
    }
    const std::uint64_t generation = sessionGeneration_;
    for (const QUuid& id : ids)
        launchEntry(id);
    co_await starts_.idle();
    if (!self) co_return;
    // A stop that came meanwhile has written the final manifest already.
    if (generation != sessionGeneration_ || stopping_ || !isRecording_) co_return;

    if (focus_.log().empty()) {
        std::optional<QUuid> first = focusCandidate();
        if (!first) {
            for (const QUuid& id : ids) {
                if (recorders_.count(id)) {
                    first = id;
                    break;
                }
            }
        }
        if (first) commitFocus(*first, 0);
    }
    writeSession();
}

QString SessionController::chooseFileName(const Entry& entry) const {
    const QString base = SessionFiles::windowBase(entry.appName, entry.title, entry.preset);
    const QDir dir(sessionDir_.value_or(QString()));
    return SessionFiles::firstFreeName(
        base, SessionFiles::extensionFor(settings_.container()), [&](const QString& name) {
            if (reservedNames_.contains(name)) return true;
            for (const SessionRecording& r : session_.recordings) {
                if (r.file == name) return true;
            }
            return sessionDir_ &&
                   (QFileInfo::exists(dir.filePath(name)) || QFileInfo(dir.filePath(name)).isSymLink());
        });
}

QCoro::Task<> SessionController::startEntry(QUuid id) {
    if (!isRecording_ || stopping_ || recorders_.count(id)) co_return;
    const Entry* e = windows_.entry(id);
    if (!e || !e->windowID || e->isRecording) co_return;
    if (!windows_.windowObject(*e->windowID)) co_return; // the window vanished: skipped silently

    QPointer<SessionController> self(this);
    const std::uint64_t generation = sessionGeneration_;
    const Join::Ticket started = starts_.enter();
    const auto giveUp = [this, &id] { windows_.edit(id, [](Entry& entry) { entry.isRecording = false; }); };

    windows_.edit(id, [](Entry& entry) {
        entry.isRecording = true;
        entry.failure.reset();
    });
    const Preset preset = e->preset;

    // A probe puts the window back when it ends; resizing before that would be undone.
    co_await probing_[id].idle();
    if (!self) co_return;
    e = windows_.entry(id);
    const std::optional<ShareableWindow> found =
        e && e->windowID ? windows_.windowObject(*e->windowID) : std::nullopt;
    if (!found) {
        giveUp();
        co_return;
    }
    const ShareableWindow window = *found;

    auto resizing = offMainThread(services_, [window, preset](const WindowResizer::Services& s) {
        return WindowResizer::resize(s, window, double(preset.width), double(preset.height));
    });
    const WindowResizer::Result resized = co_await resizing;
    if (!self) co_return;
    co_await QCoro::sleepFor(std::chrono::milliseconds(qint64(services_.settleSeconds * 1000)));
    if (!self) co_return;

    e = windows_.entry(id);
    if (generation != sessionGeneration_ || stopping_ || !isRecording_ || !e) {
        // The session is ending (or the entry went): no recorder is started any more.
        giveUp();
        co_return;
    }
    const std::optional<QString> warning =
        resized.warning ? std::optional(QString::fromStdString(*resized.warning)) : std::nullopt;
    setWarning(id, warning);
    showResize(windows_, id, resized, preset);
    co_await startRecorder(id, window, preset, warning);
}

QCoro::Task<> SessionController::startRecorder(QUuid id, ShareableWindow window, Preset preset,
                                               std::optional<QString> warning) {
    QPointer<SessionController> self(this);
    const Entry entry = *windows_.entry(id);
    const QString file = chooseFileName(entry);
    reservedNames_.insert(file);
    MicMonitor& monitor = mic_.monitor();
    RecorderStart args;
    args.window = window;
    args.preset = preset;
    args.fps = settings_.fps();
    args.hevc = settings_.hevc();
    args.path = QDir(*sessionDir_).filePath(file);
    args.appAudio = entry.appAudio;
    args.mic = settings_.micEnabled() && settings_.micInEach() && monitor.isRunning() ? &monitor : nullptr;
    args.mp4 = SessionFiles::extensionFor(settings_.container()) == QLatin1String("mp4");
    args.pausedAt = pauses_.pausedAt();
    // Pauses that come while it starts are handed on once it runs.
    const std::size_t pausesBefore = pauses_.spans().size();
    const std::optional<double> pausedBefore = pauses_.pausedAt();
    const SessionRecording record = recordingFor(id, entry, args, file, warning);

    std::shared_ptr<SessionRecorder> recorder = services_.makeRecorder();
    recorder->setOnFail([gate = gate_, id](const QString& message) {
        gate->post([id, message](SessionController& s) { s.onRecorderFailed(id, message); });
    });
    const Result<void> result = co_await recorder->start(std::move(args));
    if (!self) {
        if (result.ok()) co_await recorder->stop();
        co_return;
    }
    if (!result.ok()) {
        reservedNames_.remove(file);
        windows_.edit(id, [&](Entry& changed) {
            changed.isRecording = false;
            changed.failure =
                QStringLiteral("Could not start: ") + QString::fromStdString(result.error().message);
        });
        co_return;
    }

    for (std::size_t i = pausesBefore; i < pauses_.spans().size(); ++i) {
        const PauseTimeline::Span& span = pauses_.spans()[i];
        if (i > pausesBefore || span.at != pausedBefore) recorder->pause(span.at);
        // The pause a stop closed is never resumed by the recorders.
        const bool closedByStop = stopping_ && i + 1 == pauses_.spans().size() && stopClosedPause_;
        if (!closedByStop) recorder->resume(span.at + span.length);
    }
    if (const auto at = pauses_.pausedAt(); at && at != pausedBefore) recorder->pause(*at);
    recorders_[id] = recorder;
    if (window.owningApplication) recPID_[id] = window.owningApplication->processID;
    const bool present = windows_.edit(id, [&](Entry& changed) { changed.file = file; });
    session_.addRecording(record, preset);
    writeSession();
    if (!present) {
        // Removed while its recorder was starting: finish it at once.
        recorders_.erase(id);
        stopDetachedFor(id, recorder, std::nullopt);
    }
}

// --- Recorders that end on their own -----------------------------------------------------------

void SessionController::onRecorderFailed(const QUuid& id, const QString& message) {
    const auto it = recorders_.find(id);
    if (it == recorders_.end()) return;
    std::shared_ptr<SessionRecorder> recorder = std::move(it->second);
    recorders_.erase(it);
    stopDetachedFor(id, std::move(recorder), QStringLiteral("Stopped (window closed?): ") + message);
}

void SessionController::launchEntry(const QUuid& id) {
    runForEntry(startEntry(id), id, QStringLiteral("Starting the recording"));
}

void SessionController::entryAdded(const QUuid& id) {
    if (isRecording_) {
        launchEntry(id);
    } else {
        probe(id);
    }
}

void SessionController::entryRemoved(const QUuid& id) {
    const auto it = recorders_.find(id);
    if (it == recorders_.end()) return;
    std::shared_ptr<SessionRecorder> recorder = std::move(it->second);
    recorders_.erase(it);
    stopDetachedFor(id, std::move(recorder), std::nullopt);
}

void SessionController::stopDetachedFor(const QUuid& id, std::shared_ptr<SessionRecorder> recorder,
                                        std::optional<QString> failure) {
    runForEntry(stopDetached(id, std::move(recorder), std::move(failure), finishes_.enter()), id,
                QStringLiteral("Finishing the file"));
}

QCoro::Task<> SessionController::stopDetached(QUuid id, std::shared_ptr<SessionRecorder> recorder,
                                              std::optional<QString> failure, Join::Ticket finishing) {
    QPointer<SessionController> self(this);
    const Join::Ticket held = std::move(finishing);
    const double duration = co_await recorder->stop();
    if (!self) co_return;
    finish(id, duration, *recorder);
    if (failure) setFailure(id, *failure);
}

QCoro::Task<> SessionController::stopAndFinish(QUuid id, std::shared_ptr<SessionRecorder> recorder) {
    QPointer<SessionController> self(this);
    // One file that cannot be finished must not keep the others (and the manifest) from it.
    std::optional<double> duration;
    QString failure;
    try {
        duration = co_await recorder->stop();
    } catch (...) {
        failure = QStringLiteral("Finishing the file failed: ") + currentExceptionMessage();
    }
    if (!self) co_return;
    if (duration) {
        finish(id, *duration, *recorder);
    } else {
        reportFailure(id, failure);
    }
}

void SessionController::finish(const QUuid& id, double duration, const SessionRecorder& recorder) {
    windows_.edit(id, [](Entry& e) { e.isRecording = false; });
    if (SessionRecording* r = session_.recording(id)) {
        r->duration = round3(duration);
        if (const auto first = recorder.firstFrameUptime()) r->startOffset = round3(sessionTime(*first));
        const auto date = recorder.firstFrameDate();
        r->startTimecode = date ? Timecode::string(*date, recorder.fpsValue()) : QString();
        if (sessionDir_) {
            if (auto renamed =
                    SessionFiles::renameWithOffset(*sessionDir_, r->file, offsetSuffix(r->startOffset))) {
                r->file = *renamed;
                windows_.edit(id, [&](Entry& e) { e.file = *renamed; });
            }
        }
    }
    writeSession();
}

// --- Stop ----------------------------------------------------------------------------------

QCoro::Task<> SessionController::stop() {
    if (!isRecording_) co_return;
    if (stopping_) {
        // The stop under way finishes the files; this one waits for it.
        co_await stops_.idle();
        co_return;
    }
    const Join::Ticket stopping = stops_.enter();
    QPointer<SessionController> self(this);
    stopping_ = true;
    // A stop while paused ends every file at the pause (the recorders and the microphone are
    // still paused); the pause itself lasted until now.
    stopClosedPause_ = pauses_.paused();
    if (stopClosedPause_) {
        pauses_.resume(uptime());
        emit pausedChanged(false);
    }
    notice_(QStringLiteral("Finishing files\u2026"));

    // Starts still under way either give up or hand over their recorder before it is taken.
    co_await starts_.idle();
    if (!self) co_return;

    std::map<QUuid, std::shared_ptr<SessionRecorder>> taken;
    taken.swap(recorders_);

    std::optional<MicFileSpan> micSpan;
    if (session_.mic) {
        auto finishing = mic_.monitor().finishFile();
        micSpan = co_await finishing;
        if (!self) co_return;
    }

    std::vector<QCoro::Task<>> stops;
    for (const auto& [id, recorder] : taken)
        stops.push_back(stopAndFinish(id, recorder));
    for (QCoro::Task<>& t : stops)
        co_await std::move(t);
    if (!self) co_return;
    // Removed entries and failed recorders finish on their own; the final manifest waits.
    co_await finishes_.idle();
    if (!self) co_return;

    if (printStopDebug_) {
        for (const auto& [id, recorder] : taken)
            printLine(QStringLiteral("DBG ") + recorder->debugLine());
    }

    if (session_.mic && micSpan) {
        SessionMic& m = *session_.mic;
        m.startOffset = std::max(0.0, round3(sessionTime(micSpan->firstUptime)));
        m.duration = round3(micSpan->end);
        m.startTimecode = mic_.monitor().fileTimecode();
        if (sessionDir_) {
            const QDir dir(*sessionDir_);
            const QString renamed =
                QStringLiteral("Mic ") + offsetSuffix(m.startOffset) + QStringLiteral(".m4a");
            if (!QFileInfo::exists(dir.filePath(renamed)) &&
                QFile::rename(dir.filePath(m.file), dir.filePath(renamed)))
                m.file = renamed;
        }
    }

    notice_(std::nullopt);
    setIsRecording(false);
    tickTimer_.stop();
    activationObserver_.reset();
    windows_.editAll([](Entry& e) { e.isRecording = false; });
    writeSession();
    settings_.persist();
    stopping_ = false;
}

QCoro::Task<> SessionController::shutdown() {
    QPointer<SessionController> self(this);
    co_await starting_.idle();
    if (!self) co_return;
    if (isRecording_) co_await stop();
    if (!self) co_return;
    co_await finishes_.idle();
}

// --- Probe ---------------------------------------------------------------------------------

void SessionController::probe(const QUuid& id) {
    if (isRecording_) return;
    const Entry* e = windows_.entry(id);
    if (!e || !e->windowID) return;
    const std::optional<ShareableWindow> window = windows_.windowObject(*e->windowID);
    if (!window) return;
    if (e->note) windows_.edit(id, [](Entry& entry) { entry.note.reset(); });
    e = windows_.entry(id);
    runForEntry(runProbe(id, *window, e->preset, e->appName, probing_[id].enter()), id,
                QStringLiteral("Checking the window"));
}

QCoro::Task<> SessionController::runProbe(QUuid id, ShareableWindow window, Preset preset, QString appName,
                                          Join::Ticket probing) {
    QPointer<SessionController> self(this);
    const Join::Ticket held = std::move(probing);
    auto probed = offMainThread(services_, [window, preset](const WindowResizer::Services& s) {
        return WindowResizer::probe(s, window, double(preset.width), double(preset.height));
    });
    const std::optional<bool> fits = co_await probed;
    if (!self) co_return;
    const Entry* e = windows_.entry(id);
    if (!e || e->isRecording || !(e->preset == preset)) co_return;
    windows_.edit(id, [&](Entry& entry) {
        entry.note = fits == false ? std::optional(appName + kKeepsShape) : std::nullopt;
    });
}

// --- Manifest and focus --------------------------------------------------------------------

void SessionController::writeSession() {
    for (const auto& [id, recorder] : recorders_) {
        SessionRecording* r = session_.recording(id);
        if (!r) continue;
        if (const auto first = recorder->firstFrameUptime()) r->startOffset = round3(sessionTime(*first));
    }
    session_.pauses.clear();
    for (const PauseTimeline::Span& span : pauses_.spans())
        session_.pauses.push_back(SessionPause{sessionTime(span.at), span.length});
    if (!sessionDir_) return;
    if (writeSessionDocument(*sessionDir_, session_.withFocus(focus_.log()))) emit sessionWritten();
}

void SessionController::tick() {
    if (!isRecording_ || pauses_.paused()) return;
    setElapsed(sessionTime(uptime()));
    pollFocus();
}

double SessionController::sessionTime(double uptime) const {
    return pauses_.elapsedClamped(sessionStart_, uptime);
}

void SessionController::pause() {
    if (!isRecording_ || stopping_ || pauses_.paused()) return;
    const double at = uptime();
    pauses_.pause(at);
    for (const auto& [id, recorder] : recorders_)
        recorder->pause(at);
    if (session_.mic) mic_.monitor().pause(at);
    setElapsed(sessionTime(at));
    emit pausedChanged(true);
}

void SessionController::resume() {
    // A stop under way has ended the files at the pause already.
    if (!pauses_.paused() || stopping_) return;
    const double at = uptime();
    pauses_.resume(at);
    for (const auto& [id, recorder] : recorders_)
        recorder->resume(at);
    if (session_.mic) mic_.monitor().resume(at);
    emit pausedChanged(false);
    writeSession();
    pollFocus();
}

std::optional<QUuid> SessionController::focusCandidate() {
    if (!services_.server) return std::nullopt;
    const std::optional<std::int32_t> front = services_.server->frontmostProcess();
    if (!front) return std::nullopt;
    std::vector<RecordedWindow> recorded;
    for (const Entry& e : windows_.entries()) {
        const auto pid = recPID_.constFind(e.id);
        if (pid == recPID_.constEnd() || !recorders_.count(e.id)) continue;
        recorded.push_back(RecordedWindow{e.id, *pid, e.windowID});
    }
    std::shared_ptr<WindowServer> server = services_.server;
    return chooseFocusCandidate(front, recorded, [server] {
        std::vector<std::uint32_t> ids;
        for (const OnScreenWindow& w : server->onScreenWindows())
            ids.push_back(w.windowID);
        return ids;
    });
}

void SessionController::pollFocus() {
    // Nothing of a pause is recorded, the focus included.
    if (pauses_.paused()) return;
    const double now = sessionTime(uptime());
    if (focus_.poll(now, focusCandidate())) writeSession();
}

void SessionController::commitFocus(const QUuid& id, double t) {
    focus_.commit(id, t);
    writeSession();
}

} // namespace lc
