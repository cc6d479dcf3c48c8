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
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QtConcurrent/QtConcurrent>
#include <chrono>
#include <cmath>
#include <qcoro/qcorofuture.h>
#include <qcoro/qcorotimer.h>
#include <sys/statvfs.h>

namespace lc {

namespace {

const QString kKeepsShape = QStringLiteral(" keeps its own shape \u2014 will fill with blur");
const QString kMicFile = QStringLiteral("Mic.m4a");
// Samples a second of one audio track (AAC frames of 1024 at 48 kHz), and index bytes per
// sample (size, time, chunk offset and sync entries, with room to spare).
constexpr double kAudioSamplesPerSecond = 48000.0 / 1024.0;
constexpr double kIndexBytesPerSample = 16;
constexpr double kAudioBytesPerSecond = 128000.0 / 8;
// A start needs a minute of recording on top of the reserve.
constexpr double kStartMarginSeconds = 60;

qint64 folderBytes(const QString& folder) {
    qint64 total = 0;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::NoSymLinks);
    while (it.hasNext()) {
        it.next();
        total += it.fileInfo().size();
    }
    return total;
}

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
    connect(&mic_, &Microphone::started, this, &SessionController::micAppeared);
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
    // A microphone switched on just before is given a moment to start rather than left out.
    bool micRunning = false;
    if (settings_.micEnabled()) micRunning = co_await mic_.waitUntilRunning(kMicStartWait);
    if (!self || isRecording_) co_return;

    // Room for at least a minute beyond what a session keeps free.
    if (const auto free = freeSpace(services_.sessionsRoot)) {
        const double rate = estimatedRate();
        if (double(*free) < double(diskReserve(rate, 0, 0)) + kStartMarginSeconds * rate) {
            notice_(QStringLiteral("Not enough disk space to record (%1 left).").arg(spaceText(*free)));
            co_return;
        }
    }

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
    manifestFailureShown_ = false;
    firstFramesWritten_.clear();
    written_.clear();
    endNotice_.reset();
    lastDiskCheck_ = sessionStart_;

    if (micRunning) startMicFile();
    mic_.setSessionStart(sessionStart_);

    setIsRecording(true);
    setElapsed(0);
    notice_(std::nullopt);
    if (settings_.micEnabled() && !micRunning) {
        const std::optional<std::string> why = mic_.monitor().startError();
        notice_(QStringLiteral("No sound from the microphone: ") +
                (why ? QString::fromStdString(*why) : QStringLiteral("it has not started")));
    }

    // A manifest first, then the marker that tells a later launch this session is unfinished
    // until the stop removes it.
    writeSession();
    if (auto marker = SessionMarker::create(*folder)) {
        marker_ = std::move(*marker);
    } else {
        marker_.reset();
        notice_(QString::fromStdString(marker.error().message) +
                QStringLiteral(": this session cannot be recovered after a crash"));
    }

    if (services_.server) {
        activationObserver_ = services_.server->observeActivations([gate = gate_](std::int32_t pid) {
            // Stamped here: the main loop may take a while to get to it.
            const double at = uptime();
            gate->post([pid, at](SessionController& s) {
                if (s.isRecording_) s.activated(pid, at);
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
        std::optional<QUuid> first =
            services_.server ? focusCandidate(services_.server->frontmostProcess()) : std::nullopt;
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
        entry.sound.reset();
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
    SessionRecording record = recordingFor(id, entry, args, file, warning);

    std::shared_ptr<SessionRecorder> recorder = services_.makeRecorder();
    recorder->setOnFail([gate = gate_, id](const QString& message) {
        gate->post([id, message](SessionController& s) { s.onRecorderFailed(id, message); });
    });
    recorder->setOnSound([gate = gate_, id](const QString& message) {
        gate->post([id, message](SessionController& s) {
            s.windows_.edit(id, [&](Entry& e) { e.sound = message; });
        });
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

    // What the file really has: the application's sound may have been unavailable.
    record.hasAppAudio = record.hasAppAudio && recorder->hasAppAudio();
    for (std::size_t i = pausesBefore; i < pauses_.spans().size(); ++i) {
        const PauseTimeline::Span& span = pauses_.spans()[i];
        if (i > pausesBefore || span.at != pausedBefore) recorder->pause(span.at);
        // The pause a stop closed is never resumed by the recorders: their files end at it.
        if (stopPaused_ && i + 1 == pauses_.spans().size()) break;
        recorder->resume(span.at + span.length);
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

void SessionController::startMicFile() {
    mic_.monitor().startFile(QDir(*sessionDir_).filePath(kMicFile).toStdString());
    session_.mic = SessionMic{.file = kMicFile, .device = mic_.deviceName()};
}

void SessionController::micAppeared() {
    // Its file begins with its first sound and is placed on the session clock by it, like any
    // late start; a microphone that had a file keeps it (it resumes on the same timeline).
    if (!isRecording_ || stopping_ || session_.mic || !sessionDir_ || !settings_.micEnabled()) return;
    startMicFile();
    writeSession();
}

// --- Recorders that end on their own -----------------------------------------------------------

void SessionController::onRecorderFailed(const QUuid& id, const QString& message) {
    const auto it = recorders_.find(id);
    if (it == recorders_.end()) return;
    // A disk that filled up anyway ends the whole session cleanly, not one file after another.
    if (checkDiskSpace()) return;
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
        try {
            finish(id, *duration, *recorder);
            co_return;
        } catch (...) {
            failure = QStringLiteral("Finishing the file failed: ") + currentExceptionMessage();
        }
    }
    reportFailure(id, failure);
}

void SessionController::finish(const QUuid& id, double duration, const SessionRecorder& recorder) {
    // A file that could not be finished is not a success: the row says why.
    const std::optional<QString> failed = recorder.finishFailure();
    windows_.edit(id, [&](Entry& e) {
        e.isRecording = false;
        if (failed) e.failure = *failed;
    });
    if (SessionRecording* r = session_.recording(id)) {
        r->duration = round3(duration);
        if (const auto first = recorder.firstFrameUptime()) r->startOffset = round3(sessionTime(*first));
        const auto date = recorder.firstFrameDate();
        r->startTimecode = date ? Timecode::string(*date, recorder.fpsValue()) : QString();
        if (sessionDir_) {
            const QString before = r->file;
            if (auto renamed =
                    SessionFiles::renameWithOffset(*sessionDir_, before, offsetSuffix(r->startOffset))) {
                describeRenamed(before, *renamed, [this, id](const QString& name) {
                    if (SessionRecording* rec = session_.recording(id)) rec->file = name;
                    windows_.edit(id, [&](Entry& e) { e.file = name; });
                });
                return;
            }
        }
    }
    writeSession();
}

void SessionController::describeRenamed(const QString& before, const QString& after,
                                        const std::function<void(const QString&)>& name) {
    name(after);
    if (writeSession() || !sessionDir_) return;
    const QDir dir(*sessionDir_);
    if (QFile::rename(dir.filePath(after), dir.filePath(before))) name(before);
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
    // A stop while paused ends every file at the pause: the recorders and the microphone stay
    // paused, the pause lasts until now, and the session shows as paused until it has ended.
    if (pauses_.paused()) {
        pauses_.resume(uptime());
        stopPaused_ = true;
    }
    // Whatever throws while the files are finished, the session still ends: the model must be
    // able to record, export and quit afterwards.
    std::optional<QString> failure;
    try {
        co_await finishFiles();
    } catch (...) {
        failure = QStringLiteral("Stopping failed: ") + currentExceptionMessage();
    }
    if (!self) co_return;
    endSession(failure);
}

QCoro::Task<> SessionController::finishFiles() {
    QPointer<SessionController> self(this);
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
            const QString before = m.file;
            const QString renamed =
                QStringLiteral("Mic ") + offsetSuffix(m.startOffset) + QStringLiteral(".m4a");
            if (!QFileInfo::exists(dir.filePath(renamed)) &&
                QFile::rename(dir.filePath(before), dir.filePath(renamed)))
                describeRenamed(before, renamed, [this](const QString& name) {
                    if (session_.mic) session_.mic->file = name;
                });
        }
    }
}

void SessionController::endSession(const std::optional<QString>& failure) {
    // A failure of the stop itself, else why the session ended by itself (a full disk).
    std::optional<QString> told = failure ? failure : endNotice_;
    endNotice_.reset();
    notice_(std::nullopt);
    mic_.setSessionStart(std::nullopt);
    setIsRecording(false);
    tickTimer_.stop();
    activationObserver_.reset();
    windows_.editAll([](Entry& e) { e.isRecording = false; });
    stopping_ = false;
    if (std::exchange(stopPaused_, false)) emit pausedChanged(false);
    try {
        // Every file is finished and named, and the manifest says so: the session ended cleanly.
        // A manifest that cannot be written (a full disk) keeps the marker: the next launch
        // completes the session.
        if (writeSession() && marker_) marker_->remove();
        marker_.reset();
        settings_.persist();
    } catch (...) {
        if (!told) told = QStringLiteral("Stopping failed: ") + currentExceptionMessage();
    }
    // What went wrong with the microphone file stays in view once the session has ended.
    if (!told && session_.mic) {
        if (const auto why = mic_.monitor().fileError())
            told = QStringLiteral("The microphone file failed: ") + QString::fromStdString(*why);
    }
    if (told) notice_(*told);
    if (sessionDir_) {
        SessionEnd end{*sessionDir_, 0, 0, told};
        const SessionDocument doc = writtenDocument();
        end.windows = int(doc.recordings.size());
        for (const SessionRecording& r : doc.recordings)
            end.seconds = std::max(end.seconds, r.startOffset + r.duration.value_or(0));
        emit ended(end);
    }
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

bool SessionController::writeSession() {
    for (const auto& [id, recorder] : recorders_) {
        SessionRecording* r = session_.recording(id);
        if (!r) continue;
        // A recorder that cannot answer now keeps what the record had; its finish reports it.
        try {
            if (const auto first = recorder->firstFrameUptime()) {
                r->startOffset = round3(sessionTime(*first));
                // Known from the first frame on: a crash must not lose it.
                if (const auto date = recorder->firstFrameDate(); date && r->startTimecode.isEmpty())
                    r->startTimecode = Timecode::string(*date, recorder->fpsValue());
                if (isRecording_ && !stopping_)
                    r->duration = round3(std::max(0.0, sessionTime(uptime()) - sessionTime(*first)));
            }
        } catch (...) {
            continue;
        }
    }
    if (session_.mic && isRecording_ && !stopping_) {
        if (const auto first = mic_.monitor().fileFirstUptime()) {
            session_.mic->startOffset = std::max(0.0, round3(sessionTime(*first)));
            session_.mic->startTimecode = mic_.monitor().fileTimecode();
            session_.mic->duration = round3(std::max(0.0, sessionTime(uptime()) - sessionTime(*first)));
        }
    }
    session_.pauses.clear();
    for (const PauseTimeline::Span& span : pauses_.spans())
        session_.pauses.push_back(SessionPause{sessionTime(span.at), span.length});
    if (!sessionDir_) return false;
    const SessionDocument doc = writtenDocument();
    lastManifestWrite_ = uptime();
    if (const auto written = writeSessionDocument(*sessionDir_, doc); !written) {
        // Once a session: the next write tries again, and the previous manifest stays.
        if (!manifestFailureShown_) {
            manifestFailureShown_ = true;
            notice_(QString::fromStdString(written.error().message));
        }
        if (isRecording_ && !stopping_) checkDiskSpace();
        return false;
    }
    if (const auto bytes = doc.encode()) manifestBytes_ = bytes->size();
    emit sessionWritten();
    return true;
}

SessionDocument SessionController::writtenDocument() {
    SessionDocument doc = session_.withFocus(focus_.log());
    const QDir dir(*sessionDir_);
    const bool live = isRecording_ && !stopping_;
    // A window that has not shown a frame yet, or whose file is gone, is not described.
    QSet<QString> absent;
    for (const SessionRecording& r : session_.recordings) {
        const auto running = recorders_.find(r.entry);
        const bool noFrame = running != recorders_.end() && !running->second->firstFrameUptime();
        if (noFrame || !QFileInfo(dir.filePath(r.file)).isFile()) absent.insert(r.file);
    }
    std::erase_if(doc.recordings, [&](const SessionRecording& r) { return absent.contains(r.file); });
    std::erase_if(doc.focus, [&](const FocusSwitch& f) { return absent.contains(f.file); });
    if (doc.mic) {
        const bool begun = !live || mic_.monitor().fileFirstUptime().has_value();
        if (!begun || !QFileInfo(dir.filePath(doc.mic->file)).isFile()) doc.mic.reset();
    }
    return doc;
}

void SessionController::tick() {
    if (!isRecording_) return;
    const double now = uptime();
    // While paused the elapsed time stands still and no focus change is taken.
    if (!isPaused()) {
        setElapsed(sessionTime(now));
        pollFocus();
    }
    if (stopping_) return;

    bool firstFrame = false;
    for (const auto& [id, recorder] : recorders_) {
        if (recorder->firstFrameUptime() && !firstFramesWritten_.contains(id)) {
            firstFramesWritten_.insert(id);
            firstFrame = true;
        }
    }
    if (firstFrame || now - lastManifestWrite_ >= kManifestSeconds) writeSession();
    if (now - lastDiskCheck_ >= kDiskCheckSeconds) {
        lastDiskCheck_ = now;
        checkDiskSpace();
    }
}

double SessionController::sessionTime(double uptime) const {
    return pauses_.elapsedClamped(sessionStart_, uptime);
}

void SessionController::pause() {
    if (!isRecording_ || stopping_ || isPaused()) return;
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
}

// --- Disk space ----------------------------------------------------------------------------

qint64 SessionController::diskReserve(double bytesPerSecond, double samplesSoFar, qint64 manifestBytes) {
    // The manifest is written next to its previous copy: twice its size.
    const double need =
        2.0 * double(manifestBytes) + samplesSoFar * kIndexBytesPerSample + 10.0 * bytesPerSecond;
    return std::max(kMinReserveBytes, qint64(std::ceil(need)));
}

QString SessionController::spaceText(qint64 bytes) {
    const double b = double(std::max<qint64>(0, bytes));
    if (b >= 1e9) return QString::number(b / 1e9, 'f', 1) + QStringLiteral(" GB");
    if (b >= 1e6) return QString::number(qint64(b / 1e6)) + QStringLiteral(" MB");
    if (b >= 1e3) return QString::number(qint64(b / 1e3)) + QStringLiteral(" kB");
    return QString::number(qint64(b)) + QStringLiteral(" bytes");
}

std::optional<qint64> SessionController::freeSpace(const QString& path) const {
    if (services_.freeSpace) return services_.freeSpace(path);
    // The nearest folder that exists: the sessions root may not yet.
    QString p = QFileInfo(path).absoluteFilePath();
    while (!QFileInfo(p).isDir()) {
        const QString parent = QFileInfo(p).path();
        if (parent == p) return std::nullopt;
        p = parent;
    }
    struct statvfs st {};
    if (::statvfs(QFile::encodeName(p).constData(), &st) != 0) return std::nullopt;
    return qint64(st.f_bavail) * qint64(st.f_frsize);
}

double SessionController::estimatedRate() const {
    double rate = 0;
    const bool mic = settings_.micEnabled() && mic_.monitor().isRunning();
    if (mic) rate += kAudioBytesPerSecond;
    for (const Entry& e : windows_.entries()) {
        if (!e.windowID) continue;
        rate += double(VideoSettings::recordingBitRate(int(e.preset.width), int(e.preset.height),
                                                       settings_.fps())) /
                8.0;
        if (e.appAudio) rate += kAudioBytesPerSecond;
        if (mic && settings_.micInEach()) rate += kAudioBytesPerSecond;
    }
    return rate;
}

double SessionController::samplesPerSecond() const {
    double samples = session_.mic ? kAudioSamplesPerSecond : 0;
    for (const SessionRecording& r : session_.recordings)
        samples += r.fps + kAudioSamplesPerSecond * ((r.hasAppAudio ? 1 : 0) + (r.hasMicTrack ? 1 : 0));
    return samples;
}

bool SessionController::checkDiskSpace() {
    if (!isRecording_ || stopping_ || !sessionDir_) return false;
    const auto free = freeSpace(*sessionDir_);
    if (!free) return false;
    // What the session really writes, over the last few seconds; at least the estimate.
    const double now = uptime();
    written_.emplace_back(now, folderBytes(*sessionDir_));
    std::erase_if(written_, [&](const auto& w) { return now - w.first > 5.0; });
    double rate = estimatedRate();
    if (written_.size() >= 2 && written_.back().first > written_.front().first)
        rate = std::max(rate, double(written_.back().second - written_.front().second) /
                                  (written_.back().first - written_.front().first));
    const double elapsed = std::max(0.0, sessionTime(now));
    const qint64 reserve = diskReserve(rate, samplesPerSecond() * elapsed, manifestBytes_);
    if (*free >= reserve) return false;
    endNotice_ =
        QStringLiteral("Recording stopped: the disk is almost full (%1 left).").arg(spaceText(*free));
    runDetached(stop(), QStringLiteral("Stopping the recording"),
                [self = QPointer<SessionController>(this)](const QString& message) {
                    if (self) self->notice_(message);
                });
    return true;
}

std::optional<QUuid> SessionController::focusCandidate(std::optional<std::int32_t> front) {
    if (!services_.server || !front) return std::nullopt;
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
    if (isPaused() || !services_.server) return;
    const double now = sessionTime(uptime());
    if (focus_.poll(now, focusCandidate(services_.server->frontmostProcess()))) writeSession();
}

void SessionController::activated(std::int32_t pid, double at) {
    // One that came during a pause is not recorded: the first poll after the resume takes the
    // focus as it is then.
    if (stopPaused_ || !pauses_.elapsed(sessionStart_, at)) return;
    if (focus_.changed(std::max(0.0, sessionTime(at)), focusCandidate(pid))) writeSession();
}

void SessionController::commitFocus(const QUuid& id, double t) {
    focus_.commit(id, t);
    writeSession();
}

} // namespace lc
