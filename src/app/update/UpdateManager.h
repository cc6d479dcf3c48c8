#pragma once
// The application's updater and its policy: updates never disturb a recording or an export
// (no check and no relaunch while one runs), a found update is announced by the pill rather
// than a window, and installing on quit is the user's choice.
//
// Hooks for the rest of the application:
//  - setBusyTest(): the model's "recording or exporting" test, asked on the main thread;
//    busyChanged() whenever that answer may have changed, so that the pill and the check
//    controls follow it.
//  - start(arguments) at launch; it does nothing in the command-line modes.
//  - checkForUpdates(): the action of the pill, the menu command and the settings button.
//  - installOnQuit() from the termination path, after a running session has stopped.
#include "app/update/Appcast.h"
#include "app/update/UpdateConfig.h"
#include "app/update/UpdateInstaller.h"
#include "app/update/UpdateSettings.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <chrono>
#include <functional>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

namespace lc::update {

class UpdateManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool updateAvailable READ updateAvailable NOTIFY updateAvailableChanged)
    Q_PROPERTY(bool autoInstall READ autoInstall WRITE setAutoInstall NOTIFY autoInstallChanged)
    Q_PROPERTY(bool canCheck READ canCheck NOTIFY canCheckChanged)
    Q_PROPERTY(bool pillVisible READ pillVisible NOTIFY pillVisibleChanged)
    Q_PROPERTY(bool canCheckNow READ canCheckNow NOTIFY canCheckNowChanged)

public:
    // The update session the update window shows.
    enum class Stage {
        Idle,             // nothing to show
        Checking,         // reading the feed
        UpToDate,         // manual check found nothing newer; message() says so
        Failed,           // message() says why in one line; nothing was installed
        Found,            // offeredUpdate() waits for "Install and Relaunch", "Later" or "Skip This Version"
        Downloading,      // progress(); the signature is checked at the end
        WaitingToInstall, // downloaded and verified; install and relaunch wait until not busy
        Installing,
    };
    Q_ENUM(Stage)

    struct Options {
        std::optional<UpdateConfig> config;
        QString configProblem; // why there is no configuration, for a manual check
        QString currentVersion;
        std::optional<InstallLayout> layout; // none: this installation cannot replace itself
        bool packageManaged = false;         // the system's package manager updates it: never started
        QString settingsPath;                // "updates.json"; empty: nothing is remembered
        QString downloadFolder;
        std::function<bool()> busyTest;
        // Starts the installed executable once this process has ended, and quits; false when
        // the new version could not be started.
        std::function<bool(const QString& executable)> relaunch;
        std::chrono::milliseconds firstCheckDelay = std::chrono::minutes(1);
        std::chrono::milliseconds scheduleTick = std::chrono::hours(1);
        std::chrono::milliseconds relaunchRetry = std::chrono::seconds(5);
        std::function<qint64()> now; // seconds since 1970
    };

    // Options for this installation: a portable folder's own configuration, else the first one
    // beside the executable or in the standard data folders; version from
    // QCoreApplication::applicationVersion().
    static Options defaultOptions();
    // The application's instance, made on first use with defaultOptions() and the update
    // window; needs the application object.
    static UpdateManager& shared();

    explicit UpdateManager(Options options, QObject* parent = nullptr);
    ~UpdateManager() override;

    // True for the self-test, snapshot and export modes, which run without updates.
    static bool isCommandLineMode(const QStringList& arguments);
    void start(const QStringList& arguments);
    bool isStarted() const { return started_; }
    bool packageManaged() const { return options_.packageManaged; }

    void setBusyTest(std::function<bool()> test);
    // Any thread; the test itself always runs on the manager's (main) thread.
    bool isBusy() const;
    void busyChanged();

    bool updateAvailable() const { return updateAvailable_; }
    bool autoInstall() const { return settings_.autoInstall; }
    void setAutoInstall(bool on);
    bool canCheck() const { return canCheck_; }
    bool pillVisible() const { return pillVisible_; }
    bool canCheckNow() const { return canCheckNow_; }

    // The check action: nothing while busy; otherwise hides the pill, asks for the update
    // window and checks now, skipped versions included.
    void checkForUpdates();
    // The scheduled check, run by the timer: only when due, idle and not busy; passes the
    // skipped version by; announces a find through updateAvailable, or with autoInstall
    // downloads it for installation on quit.
    void scheduledCheck();

    Stage stage() const { return stage_; }
    QString message() const { return message_; }
    const std::optional<AppcastItem>& offeredUpdate() const { return offered_; }
    QString releaseNotes() const { return releaseNotes_; }
    qint64 bytesReceived() const { return received_; }
    qint64 bytesTotal() const { return total_; }
    QString currentVersion() const { return options_.currentVersion; }
    std::optional<QString> skippedVersion() const;

    // Buttons of the update window.
    void installAndRelaunch();
    void later();
    void skipThisVersion();

    // Installs a downloaded, verified update when autoInstall is on or the user asked for it
    // and it still waits. Runs synchronously: the process is ending. True when installed.
    bool installOnQuit();

signals:
    void updateAvailableChanged(bool);
    void autoInstallChanged(bool);
    void canCheckChanged(bool);
    void pillVisibleChanged(bool);
    void canCheckNowChanged(bool);
    void stageChanged(lc::update::UpdateManager::Stage);
    void progressChanged(qint64 received, qint64 total);
    void releaseNotesChanged();
    void windowRequested();
    void installed(const QString& version);

private:
    struct Pending {
        AppcastItem item;
        QString path;
    };

    QCoro::Task<> runCheck(bool userInitiated);
    QCoro::Task<bool> runDownload(quint64 session, bool userInitiated);
    QCoro::Task<> runInstall(quint64 session);
    QCoro::Task<> loadReleaseNotes(quint64 session);
    void installWhenIdle();
    void setStage(Stage stage, const QString& message = {});
    void fail(bool userInitiated, const QString& message);
    void setUpdateAvailable(bool on);
    void refreshDerived();
    void saveSettings();
    qint64 now() const;

    Options options_;
    UpdateSettings settings_;
    QNetworkAccessManager* network_ = nullptr; // child
    QTimer scheduleTimer_;
    QTimer retryTimer_;
    QPointer<QNetworkReply> transfer_;
    bool started_ = false;
    bool updateAvailable_ = false;
    bool canCheck_ = false;
    bool pillVisible_ = false;
    bool canCheckNow_ = false;
    bool installRequested_ = false;
    quint64 session_ = 0;
    Stage stage_ = Stage::Idle;
    QString message_;
    std::optional<AppcastItem> offered_;
    std::optional<Pending> pending_;
    QString releaseNotes_;
    qint64 received_ = 0;
    qint64 total_ = 0;
};

} // namespace lc::update
