// "--background", as the login entry starts it: the main window stays hidden behind the tray
// item, or is minimised (hidden by the window manager, still in its list) where no tray runs.
#include "X11TestSupport.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

using namespace lc::test;
using namespace std::chrono_literals;

namespace {

QString xprop(const QString& id, const QString& property) {
    return run(QStringLiteral("xprop"), {QStringLiteral("-id"), id, property});
}
bool viewable(const QString& id) {
    return run(QStringLiteral("xwininfo"), {QStringLiteral("-id"), id})
        .contains(QStringLiteral("IsViewable"));
}
// Our windows: the main window is named "Loomcast", the tray item carries the class alone.
QStringList windowsOfClass() {
    return run(QStringLiteral("xdotool"),
               {QStringLiteral("search"), QStringLiteral("--class"), QStringLiteral("Loomcast")})
        .split(u'\n', Qt::SkipEmptyParts);
}
QStringList mainWindows() {
    return run(QStringLiteral("xdotool"),
               {QStringLiteral("search"), QStringLiteral("--name"), QStringLiteral("^Loomcast$")})
        .split(u'\n', Qt::SkipEmptyParts);
}

class BackgroundStart : public ::testing::Test {
protected:
    void SetUp() override {
        LC_REQUIRE_TEST_ENV();
        ASSERT_TRUE(display.ok()) << display.error().toStdString();
    }
    void TearDown() override {
        endProcess(app);
        endProcess(tray);
    }
    void start(const QStringList& args) {
        app.setProcessEnvironment(homeEnvironment(home.path()));
        app.start(qEnvironmentVariable("LC_BUILD_DIR") + QStringLiteral("/src/app/loomcast"), args);
        ASSERT_TRUE(app.waitForStarted());
    }
    PrivateDisplay display;
    QTemporaryDir home;
    QProcess app, tray;
};

} // namespace

TEST_F(BackgroundStart, WithoutATrayTheWindowIsMinimised) {
    start({QStringLiteral("--background")});
    QString id;
    ASSERT_TRUE(waitUntil(
        [&] {
            const QStringList ids = mainWindows();
            for (const QString& w : ids)
                if (xprop(w, QStringLiteral("_NET_WM_STATE"))
                        .contains(QStringLiteral("_NET_WM_STATE_HIDDEN")))
                    id = w;
            return !id.isEmpty();
        },
        60s))
        << "the main window was not minimised";
    EXPECT_FALSE(viewable(id));
    // Still the window manager's: it can be brought back from its list.
    EXPECT_TRUE(run(QStringLiteral("wmctrl"), {QStringLiteral("-l")}).contains(QStringLiteral("Loomcast")));
    EXPECT_EQ(app.state(), QProcess::Running);
}

TEST_F(BackgroundStart, WithATrayOnlyTheTrayItemAppears) {
    ASSERT_TRUE(startTray(tray)) << "no tray";
    start({QStringLiteral("--background")});
    // The tray item is shown after the main window would have been, in the same turn.
    ASSERT_TRUE(waitUntil(
        [] {
            const QStringList named = mainWindows();
            for (const QString& w : windowsOfClass())
                if (!named.contains(w) && viewable(w)) return true;
            return false;
        },
        60s))
        << "no tray item";
    for (const QString& w : mainWindows())
        EXPECT_FALSE(viewable(w)) << "the main window is on screen";
    EXPECT_EQ(app.state(), QProcess::Running);
}
