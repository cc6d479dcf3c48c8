#pragma once
// The application model the views bind to: a thin owner of its topics, each with its own
// header and signals: the saved settings (Settings), the window catalogue (WindowList), the
// microphone (Microphone) and the recording session (SessionController). What spans topics
// lives here: adding and removing entries, the outlines, the one-line notice. Main thread only.
// Platform services come in through AppServices so that tests can run the model on small fakes.
#include "export/ExportController.h"
#include "model/WindowCatalogue.h"
#include "model/app/Microphone.h"
#include "model/app/Notifications.h"
#include "model/app/SessionController.h"
#include "model/app/SessionRecorder.h"
#include "model/app/Settings.h"
#include "model/app/ShortcutKeys.h"
#include "model/app/WindowList.h"
#include "platform/Audio.h"
#include "platform/DesktopActions.h"
#include "platform/GlobalShortcuts.h"
#include "platform/MovieWriter.h"
#include "platform/Notifier.h"
#include "platform/ScreenCapture.h"
#include "platform/WindowControl.h"
#include "platform/WindowServer.h"
#include "windows/OutlineManager.h"

#include <QObject>
#include <QString>
#include <QUuid>
#include <functional>
#include <memory>
#include <optional>
#include <qcoro/qcorotask.h>
#include <vector>

namespace lc {

struct AppServices {
    std::shared_ptr<ScreenCapture> capture;
    std::shared_ptr<WindowServer> server;
    std::shared_ptr<WindowControl> control;
    std::shared_ptr<AudioSystem> audio;
    MovieWriterFactory makeWriter; // the microphone file's writer
    std::shared_ptr<DesktopActions> desktop;
    // Desktop notifications; none in the command-line modes.
    std::shared_ptr<Notifier> notifier;
    RecorderFactory makeRecorder;
    // Keys that reach the application from any window; none: shortcuts are unavailable.
    std::shared_ptr<GlobalShortcuts> shortcuts;
    // This application, whose own windows are never offered.
    Catalogue::Self self;
    // Root under which session folders are made; empty: sessionsRootDefault().
    QString sessionsRoot;
    // Start the first catalogue refresh when the model is created.
    bool refreshOnLaunch = true;
    // How the window resizer waits (tests pass a no-op).
    std::function<void(double)> resizerSleep;
    // The wait before a recorder starts, letting a resized window settle.
    double settleSeconds = 0.3;
    // Never save (the command-line self-tests), from the start.
    bool ephemeral = false;
    // Free bytes where sessions are written (empty: the real file system's answer).
    std::function<std::optional<qint64>(const QString& path)> freeSpace;
};

// $LOOMCAST_SESSIONS_DIR when set, else the videos folder + "/Loomcast".
QString sessionsRootDefault();

class AppModel : public QObject {
    Q_OBJECT
public:
    explicit AppModel(AppServices services, QObject* parent = nullptr);
    ~AppModel() override;

    Settings& settings() { return *settings_; }
    const Settings& settings() const { return *settings_; }
    WindowList& windows() { return *windows_; }
    const WindowList& windows() const { return *windows_; }
    Microphone& mic() { return *mic_; }
    const Microphone& mic() const { return *mic_; }
    SessionController& session() { return *session_; }
    const SessionController& session() const { return *session_; }
    ShortcutKeys& shortcuts() { return *shortcuts_; }
    const ShortcutKeys& shortcuts() const { return *shortcuts_; }
    OutlineManager& outlines() { return *outlines_; }
    ExportController& exporter() { return *exporter_; }
    Notifications& notifications() { return *notifications_; }
    const AppServices& services() const { return services_; }
    const QString& sessionsRoot() const { return services_.sessionsRoot; }

    // The one-line message under the record button (a failure, "Finishing files…").
    const std::optional<QString>& notice() const { return notice_; }
    // A new notice drops the action of the previous one.
    void setNotice(const std::optional<QString>& text);

    // A button offered with the notice ("Show in Folder" after a recovery), when it has one.
    struct NoticeAction {
        QString label;
        QString folder; // shown in the file manager
    };
    const std::optional<NoticeAction>& noticeAction() const { return noticeAction_; }
    void runNoticeAction();
    // Sessions recovered at launch: the notice names the latest, with "Show in Folder".
    void showRecovered(const RecoveredSession& session);

    // Adds an entry for the window with the last preset and app-audio choice, saves, and starts
    // its recorder during a session (else probes its shape). The new entry's id.
    QUuid add(const LiveWindow& window);
    // Drops the entry (its recorder finishes on its own) and saves.
    void remove(const QUuid& id);
    // Drops every entry and saves.
    void clearEntries();
    // An entry's preset or app audio, outside its recording; both become the next entry's too.
    void setPreset(const QUuid& id, const Preset& preset);
    void setAppAudio(const QUuid& id, bool on);
    // Starts or stops the session.
    void toggle();
    // Pauses or resumes the running session.
    void togglePause();
    void persist() { settings_->persist(); }
    // Saves the state; when a session runs (or is starting), stops it and waits until every
    // file is finished.
    QCoro::Task<> shutdown();

    // Runs a task nobody waits for; what it throws becomes the notice ("<what> failed: …").
    void runReported(QCoro::Task<> task, const QString& what);

    // Asks for the microphone, or shows the sound settings once the answer is known.
    void requestMic();
    void openOutputFolder();
    void openSettings(const QString& anchor);

    // What the outlines show now.
    std::vector<OutlineManager::Target> outlineTargets() const;
    void refreshOutlines();

signals:
    void noticeChanged();

private:
    AppServices services_;
    std::optional<QString> notice_;
    std::optional<NoticeAction> noticeAction_;
    std::unique_ptr<WindowList> windows_;
    std::unique_ptr<Settings> settings_;
    std::unique_ptr<OutlineManager> outlines_;
    std::unique_ptr<ExportController> exporter_;
    std::unique_ptr<Microphone> mic_;
    std::unique_ptr<SessionController> session_;
    std::unique_ptr<Notifications> notifications_;
    std::unique_ptr<ShortcutKeys> shortcuts_;
};

} // namespace lc
