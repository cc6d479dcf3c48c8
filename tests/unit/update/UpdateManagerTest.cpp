// The updater end to end against a local HTTP server: real downloads, real signatures, real
// installs into a temporary application folder; only "busy" and the relaunch are stand-ins.
#include "app/update/UpdateManager.h"
#include "TestSupport.h"
#include "UpdateTestSupport.h"
#include "app/update/UpdateControls.h"
#include "app/update/UpdateWindow.h"
#include "common/Clock.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QThread>
#include <QtConcurrent/QtConcurrentRun>
#include <gtest/gtest.h>
#include <memory>

using namespace lc::update;
using namespace lc::test;
using Stage = UpdateManager::Stage;
using namespace std::chrono_literals;

namespace {

class UpdateManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        QDir(root.path()).mkpath(QStringLiteral("apps"));
        folder = makeAppFolder(root.path() + QStringLiteral("/apps"), QStringLiteral("Loomcast"),
                               QStringLiteral("1.0"));
        scratch = root.path() + QStringLiteral("/scratch");
        QDir().mkpath(scratch);
    }

    UpdateManager::Options options() {
        UpdateConfig config;
        config.feedUrl = server.url(QStringLiteral("/appcast.xml"));
        config.publicKey = keys.publicKey;
        UpdateManager::Options o;
        o.config = config;
        o.currentVersion = QStringLiteral("1.0");
        o.layout = InstallLayout{folder, QStringLiteral("bin/loomcast")};
        o.settingsPath = root.path() + QStringLiteral("/state/updates.json");
        o.downloadFolder = downloads();
        o.busyTest = [this] { return busy; };
        o.relaunch = [this](const QString& exe) {
            relaunchedExe = exe;
            relaunchedAt = lc::uptime();
            ++relaunches;
            return true;
        };
        o.firstCheckDelay = 1h;
        o.now = [this] { return clock; };
        return o;
    }

    std::unique_ptr<UpdateManager> make(UpdateManager::Options o) {
        auto m = std::make_unique<UpdateManager>(std::move(o));
        QObject::connect(m.get(), &UpdateManager::windowRequested, [this] { ++windowRequests; });
        m->start({QStringLiteral("loomcast")});
        return m;
    }
    std::unique_ptr<UpdateManager> make() { return make(options()); }

    // Serves `version` at /Loomcast-<version>.tar.gz and an appcast listing it.
    QByteArray publish(const QString& version, QString notes = {}) {
        const QByteArray package = makePackage(scratch, version);
        const QString path = QStringLiteral("/Loomcast-%1.tar.gz").arg(version);
        server.set(path, {package});
        if (notes.isEmpty()) notes = QStringLiteral("<p>New in %1</p>").arg(version);
        FeedItem item{version, {}, server.url(path).toString(), package.size(), keys.sign(package), notes};
        server.set(QStringLiteral("/appcast.xml"), {makeAppcast({item})});
        return package;
    }

    bool waitStage(UpdateManager& m, Stage stage, std::chrono::milliseconds timeout = 10s) {
        return waitUntil([&] { return m.stage() == stage; }, timeout);
    }
    QString installedVersion() const {
        return QString::fromUtf8(readFile(folder + QStringLiteral("/share/version.txt")));
    }
    QString downloads() const { return root.path() + QStringLiteral("/cache"); }
    QStringList leftovers() const {
        return QDir(downloads()).entryList(QDir::Files) +
               QDir(root.path() + QStringLiteral("/apps"))
                   .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
                   .filter(QStringLiteral("update"));
    }

    QTemporaryDir root;
    QString folder, scratch;
    HttpServer server;
    TestKeys keys = TestKeys::generate();
    bool busy = false;
    qint64 clock = 1'700'000'000;
    int relaunches = 0;
    int windowRequests = 0;
    double relaunchedAt = 0;
    QString relaunchedExe;
};

TEST_F(UpdateManagerTest, OffersAndInstallsANewerSignedVersion) {
    publish(QStringLiteral("1.3"));
    auto m = make();
    int progressReports = 0;
    QObject::connect(m.get(), &UpdateManager::progressChanged, [&] { ++progressReports; });
    m->checkForUpdates();
    EXPECT_EQ(windowRequests, 1);
    ASSERT_TRUE(waitStage(*m, Stage::Found)) << m->message().toStdString();
    EXPECT_EQ(m->offeredUpdate()->version, QStringLiteral("1.3"));
    EXPECT_TRUE(m->releaseNotes().contains(QStringLiteral("New in 1.3")));
    EXPECT_FALSE(m->updateAvailable()); // the window shows it; no pill

    m->installAndRelaunch();
    ASSERT_TRUE(waitUntil([&] { return relaunches == 1; }, 10s)) << m->message().toStdString();
    EXPECT_EQ(installedVersion(), QStringLiteral("1.3"));
    EXPECT_EQ(relaunchedExe, QDir(folder).filePath(QStringLiteral("bin/loomcast")));
    EXPECT_EQ(run(relaunchedExe, {}).trimmed(), QStringLiteral("1.3"));
    EXPECT_GE(progressReports, 1);
    EXPECT_EQ(leftovers(), QStringList());
}

TEST_F(UpdateManagerTest, RefusesBadUpdatesAndSaysWhyInOneLine) {
    struct Case {
        const char* name;
        std::function<void()> serve;
        const char* expected;
    };
    const QString pkgPath = QStringLiteral("/Loomcast-1.3.tar.gz");
    auto feedFor = [&](const QByteArray& package, const QString& signature, qint64 length = -1,
                       QString url = {}) {
        FeedItem item{QStringLiteral("1.3"),
                      {},
                      url.isEmpty() ? server.url(pkgPath).toString() : url,
                      length < 0 ? package.size() : length,
                      signature,
                      {}};
        server.set(QStringLiteral("/appcast.xml"), {makeAppcast({item})});
    };
    const QByteArray package = makePackage(scratch, QStringLiteral("1.3"));
    QByteArray tampered = package;
    tampered[tampered.size() / 2] = static_cast<char>(tampered[tampered.size() / 2] ^ 0x20);
    const TestKeys stranger = TestKeys::generate();

    const std::vector<Case> cases{
        {"malformed feed", [&] { server.set(QStringLiteral("/appcast.xml"), {"<rss><channel><item>"}); },
         "The update feed is not valid: "},
        {"feed missing",
         [&] {
             server.set(QStringLiteral("/appcast.xml"), {"gone", 404});
         },
         "Could not reach the update feed: "},
        {"unsigned",
         [&] {
             server.set(pkgPath, {package});
             feedFor(package, {});
         },
         "Loomcast 1.3 is not signed; it was not installed."},
        {"tampered",
         [&] {
             server.set(pkgPath, {tampered});
             feedFor(package, keys.sign(package));
         },
         "The signature of Loomcast 1.3 does not match; it was not installed."},
        {"signed by another key",
         [&] {
             server.set(pkgPath, {package});
             feedFor(package, stranger.sign(package));
         },
         "The signature of Loomcast 1.3 does not match; it was not installed."},
        {"cut short",
         [&] {
             server.set(pkgPath, {package.left(1000), 200, package.size(), true});
             feedFor(package, keys.sign(package));
         },
         "The download of Loomcast 1.3 is incomplete (1000 of "},
        {"shorter than announced",
         [&] {
             server.set(pkgPath, {package.left(1000)});
             feedFor(package, keys.sign(package));
         },
         "The download of Loomcast 1.3 is incomplete (1000 of "},
        {"longer than announced",
         [&] {
             server.set(pkgPath, {package + QByteArray(5000, 'x')});
             feedFor(package, keys.sign(package));
         },
         "The download of Loomcast 1.3 is larger than announced; it was not installed."},
        {"package missing",
         [&] {
             server.set(pkgPath, {"gone", 404});
             feedFor(package, keys.sign(package));
         },
         "Could not download Loomcast 1.3: "},
        {"insecure address",
         [&] { feedFor(package, keys.sign(package), -1, QStringLiteral("http://updates.example/p.tar.gz")); },
         "The update address is not secure (https required): http://updates.example/p.tar.gz"},
        {"downgrade",
         [&] {
             FeedItem old{QStringLiteral("0.9"), {}, server.url(pkgPath).toString(), package.size(),
                          keys.sign(package),    {}};
             server.set(QStringLiteral("/appcast.xml"), {makeAppcast({old})});
         },
         "The update feed offers only Loomcast 0.9, older than this version (1.0); nothing was installed."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.serve();
        auto m = make();
        m->checkForUpdates();
        ASSERT_TRUE(
            waitUntil([&] { return m->stage() == Stage::Found || m->stage() == Stage::Failed; }, 10s));
        if (m->stage() == Stage::Found) m->installAndRelaunch();
        ASSERT_TRUE(waitStage(*m, Stage::Failed))
            << int(m->stage()) << " " << m->bytesReceived() << "/" << m->bytesTotal();
        EXPECT_TRUE(m->message().startsWith(QString::fromUtf8(c.expected))) << m->message().toStdString();
        EXPECT_FALSE(m->message().contains(u'\n'));
        EXPECT_EQ(installedVersion(), QStringLiteral("1.0"));
        EXPECT_EQ(relaunches, 0);
        EXPECT_FALSE(m->installOnQuit());
        EXPECT_EQ(leftovers(), QStringList());
    }
}

TEST_F(UpdateManagerTest, UnreachableFeedAndMissingConfigurationAreExplained) {
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost, 0));
    const quint16 port = closed.serverPort();
    closed.close();
    auto o = options();
    o.config->feedUrl = QUrl(QStringLiteral("http://127.0.0.1:%1/appcast.xml").arg(port));
    auto m = make(o);
    m->checkForUpdates();
    ASSERT_TRUE(waitStage(*m, Stage::Failed));
    EXPECT_TRUE(m->message().startsWith(QStringLiteral("Could not reach the update feed: ")))
        << m->message().toStdString();

    auto bare = options();
    bare.config.reset();
    bare.configProblem = QStringLiteral("Software updates are not set up for this installation.");
    auto unconfigured = make(bare);
    unconfigured->checkForUpdates();
    EXPECT_EQ(unconfigured->stage(), Stage::Failed);
    EXPECT_EQ(unconfigured->message(), bare.configProblem);
}

TEST_F(UpdateManagerTest, NoCheckRunsWhileRecordingOrExporting) {
    publish(QStringLiteral("1.3"));
    busy = true;
    auto o = options();
    o.firstCheckDelay = 10ms;
    o.scheduleTick = 50ms;
    auto m = make(o);
    EXPECT_FALSE(m->canCheckNow());
    m->checkForUpdates();
    m->scheduledCheck();
    waitUntil([] { return false; }, 300ms); // the schedule timer fires several times meanwhile
    EXPECT_EQ(server.totalHits(), 0);
    EXPECT_EQ(windowRequests, 0);
    EXPECT_EQ(m->stage(), Stage::Idle);

    busy = false;
    m->busyChanged();
    EXPECT_TRUE(m->canCheckNow());
    ASSERT_TRUE(waitUntil([&] { return m->updateAvailable(); }, 5s)); // the timer's check, now allowed
    EXPECT_EQ(server.hits(QStringLiteral("/appcast.xml")), 1);
    EXPECT_EQ(windowRequests, 0);
}

TEST_F(UpdateManagerTest, BusyIsAnsweredOnTheMainThreadWhoeverAsks) {
    auto o = options();
    QThread* askedOn = nullptr;
    o.busyTest = [&] {
        askedOn = QThread::currentThread();
        return busy;
    };
    auto m = make(o);
    busy = true;
    auto fromWorker = QtConcurrent::run([&] { return m->isBusy(); });
    ASSERT_TRUE(waitUntil([&] { return fromWorker.isFinished(); }, 5s));
    EXPECT_TRUE(fromWorker.result());
    EXPECT_EQ(askedOn, QCoreApplication::instance()->thread());
}

TEST_F(UpdateManagerTest, ScheduledChecksRunAtMostOncePerInterval) {
    server.set(QStringLiteral("/appcast.xml"), {makeAppcast({})});
    auto m = make();
    m->scheduledCheck();
    ASSERT_TRUE(waitUntil(
        [&] { return server.hits(QStringLiteral("/appcast.xml")) == 1 && m->stage() == Stage::Idle; }, 5s));
    clock += 23 * 3600;
    m->scheduledCheck();
    clock += 1800;
    auto later = make(); // the time of the last check survives a restart
    later->scheduledCheck();
    EXPECT_EQ(later->stage(), Stage::Idle);
    waitUntil([] { return false; }, 200ms);
    EXPECT_EQ(server.hits(QStringLiteral("/appcast.xml")), 1);
    clock += 1800;
    later->scheduledCheck();
    ASSERT_TRUE(waitUntil([&] { return server.hits(QStringLiteral("/appcast.xml")) == 2; }, 5s));
}

TEST_F(UpdateManagerTest, AFoundUpdateShowsThePillExceptWhileBusy) {
    publish(QStringLiteral("1.3"));
    auto m = make();
    m->scheduledCheck();
    ASSERT_TRUE(waitUntil([&] { return m->updateAvailable(); }, 5s));
    EXPECT_TRUE(m->pillVisible());
    EXPECT_EQ(windowRequests, 0); // found in the background: no window

    busy = true;
    m->busyChanged();
    EXPECT_FALSE(m->pillVisible());
    EXPECT_TRUE(m->updateAvailable());
    m->checkForUpdates(); // the pill's action does nothing while busy
    EXPECT_TRUE(m->updateAvailable());
    EXPECT_EQ(windowRequests, 0);

    busy = false;
    m->busyChanged();
    EXPECT_TRUE(m->pillVisible());
    bool pillHiddenBeforeWindow = false;
    QObject::connect(m.get(), &UpdateManager::windowRequested,
                     [&] { pillHiddenBeforeWindow = !m->pillVisible(); });
    m->checkForUpdates();
    EXPECT_TRUE(pillHiddenBeforeWindow);
    EXPECT_FALSE(m->updateAvailable());
    ASSERT_TRUE(waitStage(*m, Stage::Found));
}

TEST_F(UpdateManagerTest, SkippedVersionIsPassedByOnlyByScheduledChecks) {
    publish(QStringLiteral("1.3"));
    auto m = make();
    m->checkForUpdates();
    ASSERT_TRUE(waitStage(*m, Stage::Found));
    m->skipThisVersion();
    EXPECT_EQ(m->stage(), Stage::Idle);

    clock += 25 * 3600;
    auto next = make(); // remembered across launches
    EXPECT_EQ(next->skippedVersion().value_or(QString()), QStringLiteral("1.3"));
    next->scheduledCheck();
    ASSERT_TRUE(waitUntil(
        [&] { return server.hits(QStringLiteral("/appcast.xml")) == 2 && next->stage() == Stage::Idle; },
        5s));
    EXPECT_FALSE(next->updateAvailable());
    next->checkForUpdates();
    ASSERT_TRUE(waitStage(*next, Stage::Found));

    publish(QStringLiteral("1.4"));
    clock += 25 * 3600;
    next->later();
    next->scheduledCheck();
    ASSERT_TRUE(waitUntil([&] { return next->updateAvailable(); }, 5s));
    EXPECT_EQ(next->offeredUpdate()->version, QStringLiteral("1.4"));
}

TEST_F(UpdateManagerTest, RelaunchDuringAnExportWaitsUntilItEnds) {
    publish(QStringLiteral("1.3"));
    auto m = make();
    m->checkForUpdates();
    ASSERT_TRUE(waitStage(*m, Stage::Found));
    busy = true; // an export starts while the window is open
    m->installAndRelaunch();
    ASSERT_TRUE(waitStage(*m, Stage::WaitingToInstall));
    // Longer than one retry period: still waiting, nothing touched.
    waitUntil([] { return false; }, 5500ms);
    EXPECT_EQ(m->stage(), Stage::WaitingToInstall);
    EXPECT_EQ(relaunches, 0);
    EXPECT_EQ(installedVersion(), QStringLiteral("1.0"));

    busy = false;
    const double exportEnded = lc::uptime();
    ASSERT_TRUE(waitUntil([&] { return relaunches == 1; }, 15s));
    // One retry period, plus the install itself, which a loaded machine can slow down.
    EXPECT_LE(relaunchedAt - exportEnded, 5.0 + 3.0);
    EXPECT_EQ(installedVersion(), QStringLiteral("1.3"));
}

TEST_F(UpdateManagerTest, ARecordingStartedDuringTheInstallRefusesTheRelaunch) {
    publish(QStringLiteral("1.3"));
    auto o = options();
    o.relaunchRetry = 50ms;
    auto m = make(std::move(o));
    bool startedRecording = false;
    QObject::connect(m.get(), &UpdateManager::stageChanged, [&](Stage stage) {
        if (stage != Stage::Installing || startedRecording) return;
        startedRecording = true; // after the last busy check before the swap
        busy = true;
    });
    m->checkForUpdates();
    ASSERT_TRUE(waitStage(*m, Stage::Found));
    m->installAndRelaunch();
    ASSERT_TRUE(waitStage(*m, Stage::WaitingToInstall)) << m->message().toStdString();
    ASSERT_TRUE(startedRecording);
    // The running version is back in place, whole, and nothing was started.
    EXPECT_EQ(relaunches, 0);
    EXPECT_EQ(installedVersion(), QStringLiteral("1.0"));
    EXPECT_TRUE(checkOwnFolder(folder));
    EXPECT_EQ(leftovers().filter(QStringLiteral(".update-")), QStringList());

    busy = false;
    ASSERT_TRUE(waitUntil([&] { return relaunches == 1; }, 15s)) << m->message().toStdString();
    EXPECT_EQ(installedVersion(), QStringLiteral("1.3"));
    EXPECT_EQ(leftovers(), QStringList());
}

TEST_F(UpdateManagerTest, APackageManagedInstallationNeverUpdatesItself) {
    publish(QStringLiteral("1.3"));
    auto o = options();
    o.packageManaged = true;
    o.layout.reset();
    o.firstCheckDelay = 0ms;
    auto m = make(std::move(o));
    EXPECT_TRUE(m->packageManaged());
    EXPECT_FALSE(m->isStarted());
    EXPECT_FALSE(m->canCheck());
    EXPECT_FALSE(m->canCheckNow());
    m->checkForUpdates();
    m->scheduledCheck();
    waitUntil([] { return false; }, 100ms);
    EXPECT_EQ(windowRequests, 0);
    EXPECT_EQ(server.totalHits(), 0);
    EXPECT_EQ(m->stage(), Stage::Idle);
}

TEST_F(UpdateManagerTest, AutomaticInstallDownloadsQuietlyAndInstallsOnQuit) {
    publish(QStringLiteral("1.3"));
    {
        auto manual = make();
        manual->scheduledCheck();
        ASSERT_TRUE(waitUntil([&] { return manual->updateAvailable(); }, 5s));
        EXPECT_FALSE(manual->installOnQuit()); // without the setting the pill is all
        manual->setAutoInstall(true);
    }
    clock += 25 * 3600;
    auto m = make();
    EXPECT_TRUE(m->autoInstall());
    m->scheduledCheck();
    ASSERT_TRUE(waitUntil(
        [&] { return server.hits(QStringLiteral("/Loomcast-1.3.tar.gz")) == 1 && m->stage() == Stage::Idle; },
        10s));
    EXPECT_FALSE(m->updateAvailable());
    EXPECT_EQ(windowRequests, 0);
    EXPECT_EQ(installedVersion(), QStringLiteral("1.0"));
    EXPECT_TRUE(m->installOnQuit());
    EXPECT_EQ(installedVersion(), QStringLiteral("1.3"));
    EXPECT_EQ(relaunches, 0);
    EXPECT_EQ(leftovers(), QStringList());
}

TEST_F(UpdateManagerTest, AutomaticDownloadOfABadPackageFallsBackToThePill) {
    const QByteArray package = publish(QStringLiteral("1.3"));
    QByteArray tampered = package;
    tampered[10] = static_cast<char>(tampered[10] ^ 1);
    server.set(QStringLiteral("/Loomcast-1.3.tar.gz"), {tampered});
    auto m = make();
    m->setAutoInstall(true);
    m->scheduledCheck();
    ASSERT_TRUE(waitUntil([&] { return m->updateAvailable(); }, 10s));
    EXPECT_FALSE(m->installOnQuit());
    EXPECT_EQ(installedVersion(), QStringLiteral("1.0"));
}

TEST_F(UpdateManagerTest, CommandLineModesNeverStartTheUpdater) {
    publish(QStringLiteral("1.3"));
    for (const QStringList& args :
         {QStringList{QStringLiteral("loomcast"), QStringLiteral("--export"), QStringLiteral("/s")},
          QStringList{QStringLiteral("loomcast"), QStringLiteral("--snapshot"), QStringLiteral("/a.png")},
          QStringList{QStringLiteral("loomcast"), QStringLiteral("--selftest-multi")}}) {
        EXPECT_TRUE(UpdateManager::isCommandLineMode(args));
        auto o = options();
        o.firstCheckDelay = 0ms;
        UpdateManager m(o);
        m.start(args);
        EXPECT_FALSE(m.isStarted());
        EXPECT_FALSE(m.canCheck());
        m.checkForUpdates();
        m.scheduledCheck();
        waitUntil([] { return false; }, 100ms);
    }
    EXPECT_EQ(server.totalHits(), 0);
    EXPECT_FALSE(
        UpdateManager::isCommandLineMode({QStringLiteral("loomcast"), QStringLiteral("--snapshot=x")}));
}

TEST_F(UpdateManagerTest, WindowAndControlsDriveTheSession) {
    // Notes that point at endless local files are shown without reading them.
    publish(QStringLiteral("1.3"),
            QStringLiteral("<p>New</p><img src=\"/dev/zero\"><img src=\"file:///dev/urandom\">"
                           "<link rel=\"stylesheet\" href=\"/dev/zero\">"));
    auto m = make();
    attachUpdateWindow(*m);
    UpdatePill pill(*m);
    std::unique_ptr<QAction> action(makeCheckForUpdatesAction(*m, nullptr));
    QCheckBox toggle;
    bindAutoInstallToggle(&toggle, *m);
    EXPECT_EQ(action->text(), QStringLiteral("Check for Updates…"));
    EXPECT_TRUE(action->isEnabled());
    EXPECT_FALSE(pill.isVisibleTo(nullptr));
    toggle.setChecked(true);
    EXPECT_TRUE(m->autoInstall());
    toggle.setChecked(false);

    busy = true;
    m->busyChanged();
    EXPECT_FALSE(action->isEnabled());
    busy = false;
    m->busyChanged();

    action->trigger();
    ASSERT_TRUE(waitStage(*m, Stage::Found));
    QWidget* window = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == u"updateWindow") window = w;
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    const QString detail = window->findChild<QLabel*>(QStringLiteral("detail"))->text();
    EXPECT_TRUE(detail.contains(QStringLiteral("1.3")) && detail.contains(QStringLiteral("1.0")))
        << detail.toStdString();
    EXPECT_TRUE(
        window->findChild<QTextBrowser*>(QStringLiteral("releaseNotes"))->toPlainText().contains(u"New"));
    auto* install = window->findChild<QPushButton*>(QStringLiteral("install"));
    EXPECT_EQ(install->text(), QStringLiteral("Install and Relaunch"));
    EXPECT_EQ(window->findChild<QPushButton*>(QStringLiteral("later"))->text(), QStringLiteral("Later"));
    EXPECT_EQ(window->findChild<QPushButton*>(QStringLiteral("skip"))->text(),
              QStringLiteral("Skip This Version"));

    window->findChild<QPushButton*>(QStringLiteral("later"))->click();
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(m->stage(), Stage::Idle);

    server.set(QStringLiteral("/appcast.xml"), {"<rss>"});
    action->trigger();
    ASSERT_TRUE(waitStage(*m, Stage::Failed));
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->findChild<QLabel*>(QStringLiteral("detail"))->text(), m->message());
    window->findChild<QPushButton*>(QStringLiteral("done"))->click();
    EXPECT_FALSE(window->isVisible());

    publish(QStringLiteral("1.3"));
    action->trigger();
    ASSERT_TRUE(waitStage(*m, Stage::Found));
    install->click();
    ASSERT_TRUE(waitUntil([&] { return relaunches == 1; }, 10s)) << m->message().toStdString();
    EXPECT_EQ(installedVersion(), QStringLiteral("1.3"));
}

} // namespace
