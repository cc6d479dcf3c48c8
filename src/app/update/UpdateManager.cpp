#include "app/update/UpdateManager.h"

#include "app/update/Signature.h"
#include "app/update/UpdateErrors.h"
#include "app/update/UpdateNetwork.h"
#include "app/update/UpdateWindow.h"

#include <QCoreApplication>
#include <QCoro/QCoroFuture>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QStandardPaths>
#include <QTextDocument>
#include <QThread>
#include <QtConcurrent/QtConcurrentRun>
#include <memory>

namespace lc::update {
namespace {

constexpr qint64 kMaxFeedBytes = 4 * 1024 * 1024;
constexpr qint64 kMaxNotesBytes = 1024 * 1024;

QString what(const AppcastItem& item) {
    return QStringLiteral("Loomcast %1").arg(item.displayVersion());
}

QString packageFileName(const AppcastItem& item) {
    QString safe;
    for (QChar c : item.version)
        safe += (c.isLetterOrNumber() && c.unicode() < 128) || c == u'.' || c == u'-' ? c : u'_';
    return QStringLiteral("Loomcast-%1.tar.gz").arg(safe);
}

} // namespace

UpdateManager::Options UpdateManager::defaultOptions() {
    Options o;
    const QString exe = QCoreApplication::applicationFilePath();
    // A portable folder reads its own configuration; any other installation the first one found.
    o.layout = portableLayoutFor(exe);
    const std::optional<QString> path =
        o.layout ? std::optional<QString>(QDir(o.layout->folder).filePath(kConfigFileName))
                 : findUpdateConfig(exe);
    if (path) {
        auto config = loadUpdateConfig(*path);
        if (config) {
            o.config = *config;
            o.packageManaged = config->packageManaged;
        } else {
            o.configProblem = QString::fromStdString(config.error().message);
        }
    } else {
        o.configProblem = QStringLiteral("Software updates are not set up for this installation.");
    }
    o.currentVersion = QCoreApplication::applicationVersion();
    if (o.currentVersion.isEmpty()) o.currentVersion = QStringLiteral("0");
    o.settingsPath = defaultUpdateSettingsPath();
    o.downloadFolder = QDir(QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation))
                           .filePath(QStringLiteral("Loomcast/updates"));
    o.relaunch = [](const QString& executable) {
        if (!relaunchAfterExit(QCoreApplication::applicationPid(), executable,
                               QCoreApplication::arguments().mid(1)))
            return false;
        QCoreApplication::quit();
        return true;
    };
    return o;
}

UpdateManager& UpdateManager::shared() {
    // Owned by the application object, so it goes before the event loop's objects do.
    static UpdateManager* instance = [] {
        auto* manager = new UpdateManager(defaultOptions(), QCoreApplication::instance());
        attachUpdateWindow(*manager);
        return manager;
    }();
    return *instance;
}

UpdateManager::UpdateManager(Options options, QObject* parent)
    : QObject(parent), options_(std::move(options)), network_(new QNetworkAccessManager(this)) {
    settings_ = loadUpdateSettings(options_.settingsPath);
    scheduleTimer_.setInterval(options_.scheduleTick);
    connect(&scheduleTimer_, &QTimer::timeout, this, &UpdateManager::scheduledCheck);
    retryTimer_.setSingleShot(true);
    retryTimer_.setInterval(options_.relaunchRetry);
    connect(&retryTimer_, &QTimer::timeout, this, &UpdateManager::installWhenIdle);
}

UpdateManager::~UpdateManager() {
    // Waiting coroutines resume, see a stale session and end without touching anything.
    ++session_;
    for (QNetworkReply* reply : network_->findChildren<QNetworkReply*>())
        reply->abort();
}

bool UpdateManager::isCommandLineMode(const QStringList& arguments) {
    for (const QString& a : arguments)
        if (a.startsWith(QLatin1String("--selftest")) || a == u"--snapshot" || a == u"--export") return true;
    return false;
}

void UpdateManager::start(const QStringList& arguments) {
    // A package-managed installation gets its new versions from the system alone.
    if (started_ || options_.packageManaged || isCommandLineMode(arguments)) return;
    started_ = true;
    if (options_.config && options_.config->checkInterval.count() > 0) {
        QTimer::singleShot(options_.firstCheckDelay, this, [this] {
            scheduledCheck();
            scheduleTimer_.start();
        });
    }
    refreshDerived();
}

void UpdateManager::setBusyTest(std::function<bool()> test) {
    options_.busyTest = std::move(test);
    refreshDerived();
}

bool UpdateManager::isBusy() const {
    if (!options_.busyTest) return false;
    if (QThread::currentThread() == thread()) return options_.busyTest();
    bool busy = false;
    QMetaObject::invokeMethod(
        const_cast<UpdateManager*>(this), [&] { busy = options_.busyTest(); }, Qt::BlockingQueuedConnection);
    return busy;
}

void UpdateManager::busyChanged() {
    refreshDerived();
}

void UpdateManager::setAutoInstall(bool on) {
    if (settings_.autoInstall == on) return;
    settings_.autoInstall = on;
    saveSettings();
    emit autoInstallChanged(on);
}

std::optional<QString> UpdateManager::skippedVersion() const {
    if (settings_.skippedVersion.isEmpty()) return std::nullopt;
    return settings_.skippedVersion;
}

void UpdateManager::checkForUpdates() {
    if (isBusy() || !canCheck_) return;
    setUpdateAvailable(false);
    emit windowRequested();
    if (stage_ == Stage::WaitingToInstall) return; // the window shows the waiting update
    runCheck(true);
}

void UpdateManager::scheduledCheck() {
    if (!started_ || !options_.config || options_.config->checkInterval.count() <= 0) return;
    if (isBusy()) return; // no check, scheduled or otherwise, during a recording or an export
    if (stage_ != Stage::Idle || pending_) return;
    if (now() - settings_.lastCheckEpoch < options_.config->checkInterval.count()) return;
    runCheck(false);
}

QCoro::Task<> UpdateManager::runCheck(bool userInitiated) {
    const quint64 session = ++session_;
    if (transfer_) transfer_->abort();
    retryTimer_.stop();
    installRequested_ = false;
    offered_.reset();
    releaseNotes_.clear();
    setStage(Stage::Checking);
    if (!options_.config) {
        fail(userInitiated, options_.configProblem);
        co_return;
    }
    settings_.lastCheckEpoch = now();
    saveSettings();

    QPointer<UpdateManager> self(this);
    auto feed = co_await fetchDocument(network_, options_.config->feedUrl, kMaxFeedBytes,
                                       QStringLiteral("the update feed"));
    if (!self || session != session_) co_return;
    if (!feed) co_return fail(userInitiated, QString::fromStdString(feed.error().message));
    auto items = parseAppcast(*feed, options_.config->feedUrl);
    if (!items) co_return fail(userInitiated, QString::fromStdString(items.error().message));
    auto choice =
        chooseUpdate(*items, options_.currentVersion, userInitiated ? QString() : settings_.skippedVersion);
    if (!choice) co_return fail(userInitiated, QString::fromStdString(choice.error().message));
    if (!*choice) {
        if (userInitiated)
            setStage(Stage::UpToDate,
                     QStringLiteral("Loomcast %1 is the newest version.").arg(options_.currentVersion));
        else
            setStage(Stage::Idle);
        co_return;
    }
    const AppcastItem item = **choice;
    // An unsigned package is never downloaded: nothing could vouch for it.
    if (item.edSignature.isEmpty())
        co_return fail(userInitiated,
                       QStringLiteral("%1 is not signed; it was not installed.").arg(what(item)));
    offered_ = item;
    if (pending_ && pending_->item.version != item.version) {
        QFile::remove(pending_->path);
        pending_.reset();
    }

    if (userInitiated) {
        setStage(Stage::Found);
        loadReleaseNotes(session);
        co_return;
    }
    if (settings_.autoInstall && options_.layout) {
        const bool ready = co_await runDownload(session, false);
        if (!self || session != session_) co_return;
        if (ready) {
            offered_.reset();
            setStage(Stage::Idle); // installed when the application quits
            co_return;
        }
    }
    setStage(Stage::Found);
    setUpdateAvailable(true);
}

QCoro::Task<bool> UpdateManager::runDownload(quint64 session, bool userInitiated) {
    const AppcastItem item = *offered_;
    if (pending_ && pending_->item.version == item.version && QFileInfo::exists(pending_->path))
        co_return true;
    received_ = 0;
    total_ = item.length;
    setStage(Stage::Downloading);
    emit progressChanged(received_, total_);
    QDir().mkpath(options_.downloadFolder);

    QPointer<UpdateManager> self(this);
    DownloadRequest request;
    request.url = item.url;
    request.path = QDir(options_.downloadFolder).filePath(packageFileName(item));
    request.expectedLength = item.length;
    request.what = what(item);
    request.progress = [self, session](qint64 received, qint64 total) {
        if (!self || session != self->session_) return;
        self->received_ = received;
        self->total_ = total;
        emit self->progressChanged(received, total);
    };
    request.started = [self](QNetworkReply* reply) {
        if (self) self->transfer_ = reply;
    };
    const QString path = request.path;
    auto downloaded = co_await downloadFile(network_, std::move(request));
    if (!self || session != session_) {
        QFile::remove(path);
        co_return false;
    }
    if (!downloaded) {
        if (userInitiated) fail(true, QString::fromStdString(downloaded.error().message));
        co_return false;
    }
    const QByteArray key = options_.config->publicKey;
    auto future = QtConcurrent::run(verifyPackageFile, path, item.edSignature, key, what(item));
    auto verified = co_await future;
    if (!self || session != session_) {
        QFile::remove(path);
        co_return false;
    }
    if (!verified) {
        QFile::remove(path);
        if (userInitiated) fail(true, QString::fromStdString(verified.error().message));
        co_return false;
    }
    pending_ = Pending{item, path};
    co_return true;
}

void UpdateManager::installAndRelaunch() {
    if (!offered_ || stage_ != Stage::Found) return;
    installRequested_ = true;
    const quint64 session = session_;
    [](QPointer<UpdateManager> self, quint64 session) -> QCoro::Task<> {
        const bool ready = co_await self->runDownload(session, true);
        if (!self || session != self->session_ || !ready) co_return;
        self->installWhenIdle();
    }(this, session);
}

// Installing replaces the application and restarts it, so it waits while a recording or an
// export runs, asking again every few seconds for as long as it takes.
void UpdateManager::installWhenIdle() {
    if (!pending_ || !installRequested_) return;
    if (isBusy()) {
        setStage(Stage::WaitingToInstall);
        retryTimer_.start();
        return;
    }
    runInstall(++session_);
}

QCoro::Task<> UpdateManager::runInstall(quint64 session) {
    if (!options_.layout) {
        fail(true, QStringLiteral("This installation of Loomcast cannot replace itself; install %1 with your "
                                  "package manager.")
                       .arg(what(pending_->item)));
        co_return;
    }
    setStage(Stage::Installing);
    const Pending pending = *pending_;
    const InstallLayout layout = *options_.layout;
    QPointer<UpdateManager> self(this);
    auto future = QtConcurrent::run([path = pending.path, layout]() -> Result<std::shared_ptr<FolderSwap>> {
        auto swap = FolderSwap::swapIn(path, layout);
        if (!swap) return swap.error();
        return std::make_shared<FolderSwap>(std::move(swap).value());
    });
    auto result = co_await future;
    if (!self) co_return;
    if (!result) {
        if (session == session_) fail(true, QString::fromStdString(result.error().message));
        co_return;
    }
    const std::shared_ptr<FolderSwap> swap = *result;
    // A recording or an export may have started while the files were swapped: the running
    // version then stays in place and the install is tried again once it has ended.
    if (isBusy() || session != session_) {
        auto undo = QtConcurrent::run([swap] { return swap->rollback(); });
        auto undone = co_await undo;
        if (!self) co_return;
        if (!undone) co_return fail(true, QString::fromStdString(undone.error().message));
        if (session != session_) co_return;
        setStage(Stage::WaitingToInstall);
        retryTimer_.start();
        co_return;
    }
    const QString executable = QDir(layout.folder).filePath(layout.executable);
    if (options_.relaunch && !options_.relaunch(executable)) {
        auto undo = QtConcurrent::run([swap] { return swap->rollback(); });
        auto undone = co_await undo;
        if (!self) co_return;
        setStage(Stage::Failed,
                 undone ? QStringLiteral("Loomcast %1 could not be started; the installed version was kept.")
                              .arg(pending.item.displayVersion())
                        : QString::fromStdString(undone.error().message));
        co_return;
    }
    // The process is ending: the old version goes now, its files by its own manifest.
    swap->commit();
    QFile::remove(pending.path);
    pending_.reset();
    installRequested_ = false;
    emit installed(pending.item.displayVersion());
}

void UpdateManager::later() {
    ++session_;
    if (transfer_) transfer_->abort();
    retryTimer_.stop();
    installRequested_ = false;
    offered_.reset();
    releaseNotes_.clear();
    if (stage_ != Stage::Installing) setStage(Stage::Idle);
}

void UpdateManager::skipThisVersion() {
    if (offered_) {
        settings_.skippedVersion = offered_->version;
        saveSettings();
    }
    later();
}

bool UpdateManager::installOnQuit() {
    if (!pending_ || !options_.layout || !(settings_.autoInstall || installRequested_)) return false;
    retryTimer_.stop();
    ++session_;
    auto result = installPackage(pending_->path, *options_.layout);
    if (!result) {
        message_ = QString::fromStdString(result.error().message);
        return false;
    }
    QFile::remove(pending_->path);
    pending_.reset();
    return true;
}

QCoro::Task<> UpdateManager::loadReleaseNotes(quint64 session) {
    const AppcastItem item = *offered_;
    if (!item.description.isEmpty() || !item.releaseNotesUrl.isValid()) {
        releaseNotes_ = item.description;
        emit releaseNotesChanged();
        co_return;
    }
    QPointer<UpdateManager> self(this);
    auto notes = co_await fetchDocument(network_, item.releaseNotesUrl, kMaxNotesBytes,
                                        QStringLiteral("the release notes"));
    if (!self || session != session_) co_return;
    if (notes) {
        const QString text = QString::fromUtf8(*notes);
        releaseNotes_ =
            Qt::mightBeRichText(text) ? text : text.toHtmlEscaped().replace(u'\n', QStringLiteral("<br>"));
    } else {
        releaseNotes_ = QString::fromStdString(notes.error().message).toHtmlEscaped();
    }
    emit releaseNotesChanged();
}

void UpdateManager::setStage(Stage stage, const QString& message) {
    message_ = message;
    if (stage == Stage::Idle || stage == Stage::Failed || stage == Stage::UpToDate) {
        received_ = total_ = 0;
    }
    const bool changed = stage != stage_;
    stage_ = stage;
    if (changed || !message.isEmpty()) emit stageChanged(stage);
    refreshDerived();
}

void UpdateManager::fail(bool userInitiated, const QString& message) {
    if (userInitiated) {
        setStage(Stage::Failed, message);
    } else {
        offered_.reset();
        setStage(Stage::Idle);
    }
}

void UpdateManager::setUpdateAvailable(bool on) {
    if (updateAvailable_ == on) return;
    updateAvailable_ = on;
    emit updateAvailableChanged(on);
    refreshDerived();
}

void UpdateManager::refreshDerived() {
    const bool busy = isBusy();
    const bool inProgress =
        stage_ == Stage::Checking || stage_ == Stage::Downloading || stage_ == Stage::Installing;
    const bool canCheck = started_ && !inProgress;
    const bool pill = updateAvailable_ && !busy;
    const bool canCheckNow = canCheck && !busy;
    if (canCheck != canCheck_) {
        canCheck_ = canCheck;
        emit canCheckChanged(canCheck);
    }
    if (pill != pillVisible_) {
        pillVisible_ = pill;
        emit pillVisibleChanged(pill);
    }
    if (canCheckNow != canCheckNow_) {
        canCheckNow_ = canCheckNow;
        emit canCheckNowChanged(canCheckNow);
    }
}

void UpdateManager::saveSettings() {
    saveUpdateSettings(options_.settingsPath, settings_);
}

qint64 UpdateManager::now() const {
    return options_.now ? options_.now() : QDateTime::currentSecsSinceEpoch();
}

} // namespace lc::update
