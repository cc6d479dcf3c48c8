#include "model/app/AppModel.h"

#include "common/Detached.h"
#include "model/Store.h"

#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QStandardPaths>
#include <QTimer>

namespace lc {

QString sessionsRootDefault() {
    const QString env = qEnvironmentVariable("LOOMCAST_SESSIONS_DIR");
    if (!env.isEmpty()) return QDir::cleanPath(env);
    QString videos = QStandardPaths::writableLocation(QStandardPaths::MoviesLocation);
    if (videos.isEmpty()) videos = QDir::home().filePath(QStringLiteral("Videos"));
    return QDir(videos).filePath(QStringLiteral("Loomcast"));
}

AppModel::AppModel(AppServices services, QObject* parent) : QObject(parent), services_(std::move(services)) {
    if (services_.sessionsRoot.isEmpty()) services_.sessionsRoot = sessionsRootDefault();
    const auto notice = [this](const std::optional<QString>& text) { setNotice(text); };

    windows_ = std::make_unique<WindowList>(services_.capture, services_.control, services_.self);
    settings_ = std::make_unique<Settings>([this] { return windows_->saved(); }, services_.ephemeral);
    outlines_ = std::make_unique<OutlineManager>(services_.server);
    exporter_ = std::make_unique<ExportController>();
    mic_ = std::make_unique<Microphone>(services_.audio, services_.makeWriter, *settings_, notice);
    session_ = std::make_unique<SessionController>(
        SessionController::Services{services_.server, services_.control, services_.makeRecorder,
                                    services_.sessionsRoot, services_.resizerSleep, services_.settleSeconds,
                                    services_.freeSpace},
        *windows_, *settings_, *mic_, notice);
    notifications_ = std::make_unique<Notifications>(services_.notifier, services_.desktop, *settings_,
                                                     *exporter_, [this] { return session_->isRecording(); });

    connect(settings_.get(), &Settings::showOutlineChanged, this, &AppModel::refreshOutlines);
    connect(settings_.get(), &Settings::outlineIdleChanged, this, &AppModel::refreshOutlines);
    connect(session_.get(), &SessionController::isRecordingChanged, this, &AppModel::refreshOutlines);
    connect(windows_.get(), &WindowList::permissionsChecked, mic_.get(), &Microphone::recheckAuthorization);
    connect(session_.get(), &SessionController::ended, notifications_.get(), &Notifications::sessionEnded);

    // The saved settings and entries (unlinked until the first refresh); nothing saves yet.
    const AppState state = Store::load();
    settings_->load(state);
    windows_->load(state.entries);
    mic_->loadMicDevices();
    settings_->setLoaded();
    if (state.micEnabled) settings_->setMicEnabled(true);

    shortcuts_ =
        std::make_unique<ShortcutKeys>(services_.shortcuts, *settings_, [this](ShortcutAction action) {
            if (action == ShortcutAction::startStop) {
                toggle();
            } else {
                togglePause();
            }
        });

    if (services_.refreshOnLaunch) {
        QTimer::singleShot(
            0, this, [this] { runReported(windows_->refresh(true), QStringLiteral("Listing the windows")); });
    }
}

AppModel::~AppModel() = default;

void AppModel::setNotice(const std::optional<QString>& text) {
    if (notice_ == text) return;
    notice_ = text;
    noticeAction_.reset();
    emit noticeChanged();
}

void AppModel::showRecovered(const RecoveredSession& session) {
    notice_ = recoveryNotice(session);
    noticeAction_ = NoticeAction{QStringLiteral("Show in Folder"), session.folder};
    emit noticeChanged();
}

void AppModel::runNoticeAction() {
    if (noticeAction_ && services_.desktop) services_.desktop->openFolder(noticeAction_->folder);
}

QUuid AppModel::add(const LiveWindow& window) {
    const QUuid id = windows_->add(window, settings_->lastPreset(), settings_->lastAppAudio());
    persist();
    session_->entryAdded(id);
    return id;
}

void AppModel::remove(const QUuid& id) {
    // The entry goes first: whatever its recorder reports from here on has no row to land on.
    windows_->remove(id);
    session_->entryRemoved(id);
    persist();
}

void AppModel::clearEntries() {
    std::vector<QUuid> ids;
    for (const Entry& e : windows_->entries())
        ids.push_back(e.id);
    for (const QUuid& id : ids)
        remove(id);
    persist();
}

void AppModel::setPreset(const QUuid& id, const Preset& preset) {
    const Entry* e = windows_->entry(id);
    if (!e || e->isRecording) return;
    windows_->edit(id, [&](Entry& entry) {
        entry.preset = preset;
        entry.note.reset();
    });
    settings_->setLastPreset(preset);
    persist();
    session_->probe(id);
}

void AppModel::setAppAudio(const QUuid& id, bool on) {
    const Entry* e = windows_->entry(id);
    if (!e || e->isRecording) return;
    windows_->edit(id, [&](Entry& entry) { entry.appAudio = on; });
    settings_->setLastAppAudio(on);
    persist();
}

void AppModel::toggle() {
    auto flip = [](QPointer<SessionController> session) -> QCoro::Task<> {
        if (!session) co_return;
        if (session->isRecording()) {
            co_await session->stop();
        } else {
            co_await session->start();
        }
    };
    runReported(flip(session_.get()), QStringLiteral("Recording"));
}

void AppModel::togglePause() {
    if (!session_->isRecording()) return;
    if (session_->isPaused()) {
        session_->resume();
    } else {
        session_->pause();
    }
}

void AppModel::runReported(QCoro::Task<> task, const QString& what) {
    runDetached(std::move(task), what, [self = QPointer<AppModel>(this)](const QString& message) {
        if (self) self->setNotice(message);
    });
}

QCoro::Task<> AppModel::shutdown() {
    persist();
    notifications_->silence();
    co_await session_->shutdown();
}

void AppModel::requestMic() {
    if (mic_->micAuth() != MicAuthorization::notDetermined) {
        openSettings(QStringLiteral("Privacy_Microphone"));
        return;
    }
    mic_->requestAccess(false);
}

void AppModel::openOutputFolder() {
    const QString root = QDir::cleanPath(services_.sessionsRoot);
    QString target = root;
    if (const auto& last = session_->lastFolder()) {
        const QFileInfo info(*last);
        const QString parent = QDir::cleanPath(info.absolutePath());
        if (parent == root || QFileInfo(parent).fileName() == QLatin1String("Loomcast")) target = *last;
    }
    QDir().mkpath(target);
    if (services_.desktop) services_.desktop->openFolder(target);
}

void AppModel::openSettings(const QString& anchor) {
    if (services_.desktop) services_.desktop->openSettings(anchor);
}

std::vector<OutlineManager::Target> AppModel::outlineTargets() const {
    std::vector<OutlineManager::Target> out;
    const bool recording = session_->isRecording();
    for (const Entry& e : windows_->entries()) {
        if (!e.windowID) continue;
        if (recording) {
            if (!e.isRecording) continue;
            const bool focused = session_->focusCurrent() == e.id;
            out.push_back(
                {*e.windowID, focused ? OutlineView::Style::focused : OutlineView::Style::recording});
        } else {
            out.push_back({*e.windowID, OutlineView::Style::idle});
        }
    }
    return out;
}

void AppModel::refreshOutlines() {
    const bool on = session_->isRecording() ? settings_->showOutline() : settings_->outlineIdle();
    if (!on) {
        outlines_->stop();
        return;
    }
    outlines_->start([self = QPointer<AppModel>(this)]() -> std::vector<OutlineManager::Target> {
        if (!self) return {};
        return self->outlineTargets();
    });
}

} // namespace lc
