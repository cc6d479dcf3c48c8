// Sessions of the model: start and stop, one recorder per entry, the session record and its
// manifest, and the resize probe before recording.
#include "model/app/AppModel.h"

#include "capture/Timecode.h"
#include "common/Clock.h"
#include "model/app/Console.h"
#include "model/app/ModelGate.h"
#include "session/Rounding.h"
#include "session/SessionDocument.h"
#include "session/SessionFiles.h"
#include "windows/WindowResizer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QtConcurrent/QtConcurrent>
#include <chrono>
#include <cmath>
#include <qcoro/qcorofuture.h>
#include <qcoro/qcorotimer.h>

namespace lc {

namespace {

using namespace std::chrono_literals;

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

} // namespace

QCoro::Task<> AppModel::start() {
    if (isRecording_ || starting_) co_return;
    QPointer<AppModel> self(this);
    starting_ = true;
    auto done = qScopeGuard([&self] {
        if (self) self->starting_ = false;
    });

    co_await refresh(false);
    if (!self || isRecording_) co_return;
    if (availableToRecord() == 0) co_return;

    sessionDate_ = QDateTime::currentDateTime();
    const QString name = SessionFiles::folderName(sessionDate_);
    const std::optional<QString> folder = makeSessionFolder(services_.sessionsRoot, name);
    if (!folder) {
        setNotice(QStringLiteral("Cannot create ") + QDir(services_.sessionsRoot).filePath(name));
        co_return;
    }

    sessionDir_ = *folder;
    lastFolder_ = *folder;
    emit lastFolderChanged();
    sessionStart_ = uptime();
    session_ = SessionFile{SessionFiles::isoUtc(sessionDate_), *folder, {}, std::nullopt};
    sessionContainer_ = container_;
    sessionIndex_.clear();
    focus_.reset();
    recPID_.clear();
    reservedNames_.clear();
    ++sessionGeneration_;

    if (micEnabled_ && mic_->isRunning()) {
        mic_->startFile(QDir(*folder).filePath(kMicFile).toStdString());
        SessionMic record;
        record.file = kMicFile;
        record.device = QStringLiteral("default");
        if (micDeviceID_) {
            for (const MicDevice& d : micDevices_) {
                if (d.id == *micDeviceID_) record.device = d.name;
            }
        }
        session_.mic = record;
    }

    setIsRecording(true);
    refreshOutlines();
    setElapsed(0);
    setNotice(std::nullopt);

    if (services_.server) {
        activationObserver_ = services_.server->observeActivations([gate = gate_](std::int32_t) {
            gate->post([](AppModel& m) {
                if (m.isRecording_) m.pollFocus();
            });
        });
    }
    tickTimer_.start();

    std::vector<QUuid> ids;
    for (const Entry& e : entries_) {
        if (e.windowID) ids.push_back(e.id);
    }
    const std::uint64_t generation = sessionGeneration_;
    std::vector<QCoro::Task<>> starts;
    for (const QUuid& id : ids)
        starts.push_back(startEntry(id));
    for (QCoro::Task<>& t : starts)
        co_await std::move(t);
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

QString AppModel::chooseFileName(const Entry& entry) const {
    const QString base = SessionFiles::windowBase(entry.appName, entry.title, entry.preset);
    const QDir dir(sessionDir_.value_or(QString()));
    return SessionFiles::firstFreeName(
        base, SessionFiles::extensionFor(container_), [&](const QString& name) {
            if (reservedNames_.contains(name)) return true;
            for (const SessionWindow& w : session_.windows) {
                if (w.file == name) return true;
            }
            return sessionDir_ &&
                   (QFileInfo::exists(dir.filePath(name)) || QFileInfo(dir.filePath(name)).isSymLink());
        });
}

QCoro::Task<> AppModel::startEntry(QUuid id) {
    try {
        if (!isRecording_ || stopping_ || recorders_.count(id)) co_return;
        Entry* e = findEntry(id);
        if (!e || !e->windowID || e->isRecording) co_return;
        const auto sc = scByID_.constFind(*e->windowID);
        if (sc == scByID_.constEnd()) co_return; // the window vanished: skipped silently

        QPointer<AppModel> self(this);
        const std::uint64_t generation = sessionGeneration_;
        ++startsInFlight_;
        auto done = qScopeGuard([&self] {
            if (self) --self->startsInFlight_;
        });

        e->isRecording = true;
        e->failure.reset();
        touchEntries();
        const Preset preset = e->preset;

        // A probe puts the window back when it ends; resizing before that would be undone.
        while (probing_.contains(id)) {
            co_await QCoro::sleepFor(20ms);
            if (!self) co_return;
        }
        e = findEntry(id);
        if (!e || !e->windowID || !scByID_.contains(*e->windowID)) {
            if (e) {
                e->isRecording = false;
                touchEntries();
            }
            co_return;
        }
        const ShareableWindow window = scByID_.value(*e->windowID);

        std::shared_ptr<WindowControl> control = services_.control;
        std::shared_ptr<WindowServer> server = services_.server;
        std::function<void(double)> sleep = services_.resizerSleep;
        auto resizing = QtConcurrent::run([control, server, sleep, window, preset] {
            WindowResizer::Services s{*control, *server};
            if (sleep) s.sleep = sleep;
            return WindowResizer::resize(s, window, double(preset.width), double(preset.height));
        });
        const WindowResizer::Result resized = co_await resizing;
        if (!self) co_return;
        co_await QCoro::sleepFor(std::chrono::milliseconds(qint64(services_.settleSeconds * 1000)));
        if (!self) co_return;

        e = findEntry(id);
        if (generation != sessionGeneration_ || stopping_ || !isRecording_ || !e) {
            // The session is ending (or the entry went): no recorder is started any more.
            if (e) {
                e->isRecording = false;
                touchEntries();
            }
            co_return;
        }

        const std::optional<QString> warning =
            resized.warning ? std::optional(QString::fromStdString(*resized.warning)) : std::nullopt;
        setWarning(id, warning);
        e->note = resized.aspectOK ? std::nullopt : std::optional(e->appName + kKeepsShape);
        e->info = QStringLiteral("Window %1\u00D7%2 pt \u2192 %3\u00D7%4")
                      .arg(roundHalfAway(resized.pointSize.width))
                      .arg(roundHalfAway(resized.pointSize.height))
                      .arg(preset.width)
                      .arg(preset.height);
        touchEntries();

        const QString file = chooseFileName(*e);
        reservedNames_.insert(file);
        const QString appName = e->appName;
        const QString title = e->title;
        const bool appAudio = e->appAudio;

        std::shared_ptr<SessionRecorder> recorder = services_.makeRecorder();
        recorder->setOnFail([gate = gate_, id](const QString& message) {
            gate->post([id, message](AppModel& m) { m.onRecorderFailed(id, message); });
        });
        MicMonitor* micCopy = micEnabled_ && micInEach_ && mic_->isRunning() ? mic_.get() : nullptr;
        RecorderStart args;
        args.window = window;
        args.preset = preset;
        args.contentPoints = resized.pointSize;
        args.fps = fps_;
        args.hevc = hevc_;
        args.path = QDir(*sessionDir_).filePath(file);
        args.appAudio = appAudio;
        args.mic = micCopy;
        args.blurFill = true;
        args.mp4 = SessionFiles::extensionFor(container_) == QLatin1String("mp4");
        const int fps = args.fps;
        const bool hevc = args.hevc;

        const Result<void> started = co_await recorder->start(std::move(args));
        if (!self) {
            if (started.ok()) co_await recorder->stop();
            co_return;
        }
        e = findEntry(id);
        if (!started.ok()) {
            reservedNames_.remove(file);
            if (e) {
                e->isRecording = false;
                e->failure =
                    QStringLiteral("Could not start: ") + QString::fromStdString(started.error().message);
                touchEntries();
            }
            co_return;
        }

        recorders_[id] = recorder;
        if (window.owningApplication) recPID_[id] = window.owningApplication->processID;
        if (e) {
            e->file = file;
            touchEntries();
        }
        sessionIndex_[id] = int(session_.windows.size());
        SessionWindow record;
        record.file = file;
        record.app = appName;
        record.title = title;
        record.preset = preset.label();
        record.width = preset.width;
        record.height = preset.height;
        record.fps = fps;
        record.codec = hevc ? QStringLiteral("hevc") : QStringLiteral("h264");
        record.warning = warning;
        record.appAudio = appAudio;
        // What the file really has: the copy was asked for or not.
        record.micTrack = micCopy != nullptr;
        record.presetRef = preset;
        session_.windows.push_back(record);
        writeSession();

        if (!e) {
            // Removed while its recorder was starting: finish it at once.
            recorders_.erase(id);
            stopDetached(id, recorder, std::nullopt);
        }
    } catch (...) {
    }
}

void AppModel::onRecorderFailed(const QUuid& id, const QString& message) {
    const auto it = recorders_.find(id);
    if (it == recorders_.end()) return;
    std::shared_ptr<SessionRecorder> recorder = std::move(it->second);
    recorders_.erase(it);
    stopDetached(id, std::move(recorder), QStringLiteral("Stopped (window closed?): ") + message);
}

QCoro::Task<> AppModel::stopDetached(QUuid id, std::shared_ptr<SessionRecorder> recorder,
                                     std::optional<QString> failure) {
    try {
        QPointer<AppModel> self(this);
        ++finishesInFlight_;
        auto done = qScopeGuard([&self] {
            if (self) --self->finishesInFlight_;
        });
        const double duration = co_await recorder->stop();
        if (!self) co_return;
        finish(id, duration, *recorder);
        if (failure) setFailure(id, *failure);
    } catch (...) {
    }
}

QCoro::Task<> AppModel::stopAndFinish(QUuid id, std::shared_ptr<SessionRecorder> recorder) {
    QPointer<AppModel> self(this);
    const double duration = co_await recorder->stop();
    if (!self) co_return;
    finish(id, duration, *recorder);
}

void AppModel::finish(const QUuid& id, double duration, const SessionRecorder& recorder) {
    if (Entry* e = findEntry(id)) {
        e->isRecording = false;
        touchEntries();
    }
    const auto idx = sessionIndex_.constFind(id);
    if (idx != sessionIndex_.constEnd() && *idx >= 0 && std::size_t(*idx) < session_.windows.size()) {
        SessionWindow& w = session_.windows[std::size_t(*idx)];
        w.durationSeconds = round3(duration);
        if (const auto first = recorder.firstFrameUptime())
            w.startOffsetSeconds = round3(*first - sessionStart_);
        const auto date = recorder.firstFrameDate();
        w.timecode = date ? Timecode::string(*date, recorder.fpsValue()) : QString();
        if (sessionDir_) {
            if (auto renamed = SessionFiles::renameWithOffset(*sessionDir_, w.file,
                                                              offsetSuffix(w.startOffsetSeconds))) {
                w.file = *renamed;
                if (Entry* e = findEntry(id)) {
                    e->file = *renamed;
                    touchEntries();
                }
            }
        }
    }
    writeSession();
}

QCoro::Task<> AppModel::stop() {
    if (!isRecording_) co_return;
    QPointer<AppModel> self(this);
    if (stopping_) {
        while (self && stopping_)
            co_await QCoro::sleepFor(100ms);
        co_return;
    }
    stopping_ = true;
    setNotice(QStringLiteral("Finishing files\u2026"));

    // Starts still under way either give up or hand over their recorder before it is taken.
    while (startsInFlight_ > 0) {
        co_await QCoro::sleepFor(20ms);
        if (!self) co_return;
    }

    std::map<QUuid, std::shared_ptr<SessionRecorder>> taken;
    taken.swap(recorders_);

    std::optional<MicFileSpan> micSpan;
    if (session_.mic) {
        auto finishing = mic_->finishFile();
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
    while (finishesInFlight_ > 0) {
        co_await QCoro::sleepFor(20ms);
        if (!self) co_return;
    }

    if (printStopDebug_) {
        for (const auto& [id, recorder] : taken)
            printLine(QStringLiteral("DBG ") + recorder->debugLine());
    }

    if (session_.mic && micSpan) {
        SessionMic& m = *session_.mic;
        m.startOffsetSeconds = std::max(0.0, round3(micSpan->firstUptime - sessionStart_));
        m.durationSeconds = round3(micSpan->end);
        m.timecode = mic_->fileTimecode();
        if (sessionDir_) {
            const QDir dir(*sessionDir_);
            const QString renamed =
                QStringLiteral("Mic ") + offsetSuffix(m.startOffsetSeconds) + QStringLiteral(".m4a");
            if (!QFileInfo::exists(dir.filePath(renamed)) &&
                QFile::rename(dir.filePath(m.file), dir.filePath(renamed)))
                m.file = renamed;
        }
    }

    setNotice(std::nullopt);
    setIsRecording(false);
    tickTimer_.stop();
    activationObserver_.reset();
    for (Entry& e : entries_)
        e.isRecording = false;
    touchEntries();
    refreshOutlines();
    writeSession();
    persist();
    stopping_ = false;
}

void AppModel::probe(const QUuid& id) {
    if (isRecording_) return;
    Entry* e = findEntry(id);
    if (!e || !e->windowID) return;
    const auto sc = scByID_.constFind(*e->windowID);
    if (sc == scByID_.constEnd()) return;
    if (e->note) {
        e->note.reset();
        touchEntries();
    }
    runProbe(id, *sc, e->preset, e->appName);
}

QCoro::Task<> AppModel::runProbe(QUuid id, ShareableWindow window, Preset preset, QString appName) {
    try {
        QPointer<AppModel> self(this);
        ++probing_[id];
        auto done = qScopeGuard([&self, id] {
            if (self && --self->probing_[id] <= 0) self->probing_.remove(id);
        });
        std::shared_ptr<WindowControl> control = services_.control;
        std::shared_ptr<WindowServer> server = services_.server;
        std::function<void(double)> sleep = services_.resizerSleep;
        auto probing = QtConcurrent::run([control, server, sleep, window, preset] {
            WindowResizer::Services s{*control, *server};
            if (sleep) s.sleep = sleep;
            return WindowResizer::probe(s, window, double(preset.width), double(preset.height));
        });
        const std::optional<bool> fits = co_await probing;
        if (!self) co_return;
        Entry* e = findEntry(id);
        if (!e || e->isRecording || !(e->preset == preset)) co_return;
        e->note = fits == false ? std::optional(appName + kKeepsShape) : std::nullopt;
        touchEntries();
    } catch (...) {
    }
}

void AppModel::setWarning(const QUuid& id, const std::optional<QString>& text) {
    if (Entry* e = findEntry(id)) {
        e->warning = text;
        touchEntries();
    }
}

void AppModel::setFailure(const QUuid& id, const QString& text) {
    if (Entry* e = findEntry(id)) {
        e->failure = text;
        touchEntries();
    }
}

void AppModel::writeSession() {
    for (const auto& [id, recorder] : recorders_) {
        const auto idx = sessionIndex_.constFind(id);
        if (idx == sessionIndex_.constEnd() || std::size_t(*idx) >= session_.windows.size()) continue;
        if (const auto first = recorder->firstFrameUptime())
            session_.windows[std::size_t(*idx)].startOffsetSeconds = round3(*first - sessionStart_);
    }
    if (!sessionDir_) return;
    const AISession doc = makeAISession(session_, sessionIndex_, focus_.log(), sessionContainer_);
    if (writeSessionDocument(*sessionDir_, doc)) emit sessionWritten();
}

void AppModel::tick() {
    if (!isRecording_) return;
    setElapsed(uptime() - sessionStart_);
    pollFocus();
}

QCoro::Task<> AppModel::shutdown() {
    persist();
    QPointer<AppModel> self(this);
    while (self && starting_)
        co_await QCoro::sleepFor(20ms);
    if (!self) co_return;
    if (isRecording_) co_await stop();
    while (self && finishesInFlight_ > 0)
        co_await QCoro::sleepFor(20ms);
}

// --- Focus ---------------------------------------------------------------------------------

std::optional<QUuid> AppModel::focusCandidate() {
    if (!services_.server) return std::nullopt;
    const std::optional<std::int32_t> front = services_.server->frontmostProcess();
    if (!front) return std::nullopt;
    std::vector<RecordedWindow> recorded;
    for (const Entry& e : entries_) {
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

void AppModel::pollFocus() {
    const double now = uptime() - sessionStart_;
    if (focus_.poll(now, focusCandidate())) writeSession();
}

void AppModel::commitFocus(const QUuid& id, double t) {
    focus_.commit(id, t);
    writeSession();
}

} // namespace lc
