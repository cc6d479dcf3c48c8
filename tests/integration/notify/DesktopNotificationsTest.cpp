// Desktop notifications of the real program: the first close of the window to the tray is told
// once and remembered, and a click on the notification brings the window back; the command-line
// modes (self-test, snapshot, export, recovery) tell nothing, though a session stops in them.
#include "NotificationServer.h"
#include "X11TestSupport.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

using namespace lc::test;
using namespace std::chrono_literals;

namespace {

QString loomcast() {
    return qEnvironmentVariable("LC_BUILD_DIR") + QStringLiteral("/src/app/loomcast");
}

bool viewable(const QString& id) {
    return run(QStringLiteral("xwininfo"), {QStringLiteral("-id"), id})
        .contains(QStringLiteral("IsViewable"));
}

// The main window, once it is on screen.
QString shownMainWindow() {
    const QStringList ids =
        run(QStringLiteral("xdotool"),
            {QStringLiteral("search"), QStringLiteral("--name"), QStringLiteral("^Loomcast$")})
            .split(u'\n', Qt::SkipEmptyParts);
    for (const QString& id : ids)
        if (viewable(id)) return id;
    return {};
}

class DesktopNotifications : public ::testing::Test {
protected:
    void SetUp() override {
        LC_REQUIRE_TEST_ENV();
        ASSERT_TRUE(display.ok()) << display.error().toStdString();
        ASSERT_TRUE(bus.ok()) << bus.error().toStdString();
        ASSERT_TRUE(server.registered());
        ASSERT_TRUE(home.isValid());
    }
    void TearDown() override {
        endProcess(app);
        endProcess(tray);
    }

    void start(const QStringList& args) {
        QProcessEnvironment env = homeEnvironment(home.path());
        env.insert(QStringLiteral("LOOMCAST_SESSIONS_DIR"), home.filePath(QStringLiteral("sessions")));
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus.address());
        app.setProcessEnvironment(env);
        app.start(loomcast(), args);
        ASSERT_TRUE(app.waitForStarted());
    }

    // Runs the program to its end while the service answers; its exit code, -1 on a timeout.
    int runToEnd(const QStringList& args) {
        start(args);
        if (!waitUntil([this] { return app.state() == QProcess::NotRunning; }, 120s)) return -1;
        output = QString::fromUtf8(app.readAllStandardOutput());
        return app.exitCode();
    }

    QJsonObject savedState() const {
        QFile f(home.filePath(QStringLiteral(".local/share/Loomcast/state.json")));
        if (!f.open(QIODevice::ReadOnly)) return {};
        return QJsonDocument::fromJson(f.readAll()).object();
    }

    PrivateDisplay display;
    PrivateBus bus;
    NotificationServer server{bus};
    QTemporaryDir home;
    QProcess app, tray;
    QString output;
};

} // namespace

TEST_F(DesktopNotifications, TheFirstCloseToTheTrayIsToldAndRemembered) {
    ASSERT_TRUE(startTray(tray)) << "no tray";
    start({});
    QString id;
    ASSERT_TRUE(waitUntil([&] { return !(id = shownMainWindow()).isEmpty(); }, 60s)) << "no main window";
    EXPECT_TRUE(server.received().empty()) << "nothing to tell at launch";

    // As the window manager's close button does.
    run(QStringLiteral("wmctrl"), {QStringLiteral("-i"), QStringLiteral("-c"), id});
    ASSERT_TRUE(waitUntil([&] { return !server.received().empty(); }, 30s)) << "no notification";
    const auto& note = server.received().front();
    EXPECT_EQ(note.summary, "Loomcast is still running");
    EXPECT_EQ(note.appName, "Loomcast");
    EXPECT_TRUE(note.body.contains("tray")) << note.body.toStdString();
    EXPECT_EQ(app.state(), QProcess::Running) << "closing the window does not quit";
    ASSERT_TRUE(waitUntil([&] { return savedState().value("trayNoteShown").toBool(); }, 30s))
        << "remembered in the saved state";
    EXPECT_FALSE(viewable(id));

    // A click on the notification brings the window back.
    server.invokeAction(note.id, "default");
    EXPECT_TRUE(waitUntil([&] { return !shownMainWindow().isEmpty(); }, 30s))
        << "the window did not come back: " << app.readAllStandardError().toStdString();
}

TEST_F(DesktopNotifications, TheCommandLineModesTellNothing) {
    TestWindow alpha({"--title", "Alpha Note", "--class", "Alpha", "--size", "640x400", "--animate"});
    TestWindow beta({"--title", "Beta Note", "--class", "Beta", "--size", "480x360", "--pos", "500,300"});
    ASSERT_TRUE(alpha.ok() && beta.ok());

    // A whole session starts and stops here: outside this mode it would be told.
    EXPECT_EQ(runToEnd({"--selftest-record", "--sel-a", "Alpha Note", "--sel-b", "Beta Note"}), 0)
        << output.toStdString();
    EXPECT_TRUE(output.contains("stopped; folder: ")) << output.toStdString();
    const QString folder = output.section("stopped; folder: ", 1).section('\n', 0, 0).trimmed();

    EXPECT_EQ(runToEnd({"--snapshot", home.filePath("plain.png")}), 0) << output.toStdString();
    // The headless export of the session just recorded, and the recovery of every session.
    EXPECT_EQ(runToEnd({"--export", folder}), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("exported ")) << output.toStdString();
    EXPECT_EQ(runToEnd({"--recover"}), 0) << output.toStdString();

    EXPECT_TRUE(server.received().empty()) << server.received().front().summary.toStdString();
    // The program ends right after its session; not even the question before a notification
    // may have gone out.
    EXPECT_EQ(server.queries(), 0);
    EXPECT_TRUE(savedState().isEmpty()) << "nor do they save";
}
