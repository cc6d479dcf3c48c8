// The installation's own settings: "Start Loomcast when I log in" and its login entry, the
// start to the tray, and the Updates section of a package-managed installation.
#include "UiFixture.h"

#include "app/autostart/LoginItem.h"
#include "app/update/UpdateManager.h"
#include "ui/SettingsView.h"
#include "ui/Shell.h"
#include "ui/ViewState.h"

#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QStandardPaths>

using namespace lc;
using namespace lc::test;

namespace {

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString makeExecutable(const QString& path) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write("#!/bin/sh\n");
    f.close();
    f.setPermissions(f.permissions() | QFile::ExeOwner);
    return path;
}

class LoginItemTest : public UiFixture {
protected:
    QTemporaryDir dir;
    QString entry() const {
        return dir.filePath(QStringLiteral("config/autostart/org.loomcast.Loomcast.desktop"));
    }
    // A folder name with a space and a dollar sign: the Exec line must quote it.
    QString exe() const { return dir.filePath(QStringLiteral("Loom cast $1/bin/loomcast")); }
};

} // namespace

TEST_F(LoginItemTest, TheSwitchWritesAndRemovesTheLoginEntry) {
    make();
    makeExecutable(exe());
    followStartAtLogin(*model, LoginItem(entry(), exe()));
    EXPECT_FALSE(model->settings().startAtLogin());
    ui::ViewState viewState;
    ui::SettingsView view(*model, viewState, nullptr);
    ASSERT_NE(view.startAtLoginSwitch(), nullptr);
    EXPECT_FALSE(view.startAtLoginSwitch()->isChecked());

    view.startAtLoginSwitch()->click();
    EXPECT_TRUE(model->settings().startAtLogin());
    ASSERT_TRUE(QFile::exists(entry()));
    const QByteArray text = readAll(entry());
    EXPECT_TRUE(text.startsWith("[Desktop Entry]\n")) << text.constData();
    EXPECT_TRUE(text.contains("\nExec=\"" + QFile::encodeName(dir.path()) +
                              "/Loom cast \\\\$1/bin/loomcast\" --background\n"))
        << text.constData();
    EXPECT_TRUE(text.contains("\nIcon=org.loomcast.Loomcast\n"));
    const QString validate = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
    if (!validate.isEmpty()) {
        QProcess p;
        p.start(validate, {entry()});
        ASSERT_TRUE(p.waitForFinished(30000));
        EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardOutput().constData();
    }

    view.startAtLoginSwitch()->click();
    EXPECT_FALSE(model->settings().startAtLogin());
    EXPECT_FALSE(QFile::exists(entry()));
    EXPECT_FALSE(view.startAtLoginSwitch()->isChecked());
}

TEST_F(LoginItemTest, TheEntryOnDiskDecidesAndAStaleOneIsPointedHereAgain) {
    make();
    makeExecutable(exe());
    // Written by a copy of Loomcast in a folder that has since moved away.
    QDir().mkpath(QFileInfo(entry()).absolutePath());
    {
        QFile f(entry());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("[Desktop Entry]\nType=Application\nName=Loomcast\nExec=/gone/Loomcast/bin/loomcast "
                "--background\n");
    }
    followStartAtLogin(*model, LoginItem(entry(), exe()));
    EXPECT_TRUE(model->settings().startAtLogin());
    EXPECT_TRUE(readAll(entry()).contains("/bin/loomcast\" --background")) << readAll(entry()).constData();
    EXPECT_FALSE(readAll(entry()).contains("/gone/"));

    // Removed behind our back (the desktop's session settings): the switch shows it off.
    QFile::remove(entry());
    auto next = std::make_unique<AppModel>(fake::services(desktop, audio, actions, root));
    next->settings().setEphemeral(true);
    followStartAtLogin(*next, LoginItem(entry(), exe()));
    EXPECT_FALSE(next->settings().startAtLogin());
}

TEST_F(LoginItemTest, AnEntryThatCannotBeWrittenPutsTheSwitchBackAndSaysWhy) {
    make();
    // The autostart folder's place is taken by a file.
    const QString blocked = dir.filePath(QStringLiteral("blocked"));
    {
        QFile f(blocked);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    const QString path = blocked + QStringLiteral("/autostart/org.loomcast.Loomcast.desktop");
    followStartAtLogin(*model, LoginItem(path, makeExecutable(exe())));
    ui::ViewState viewState;
    ui::SettingsView view(*model, viewState, nullptr);
    view.startAtLoginSwitch()->click();
    EXPECT_FALSE(model->settings().startAtLogin());
    EXPECT_FALSE(view.startAtLoginSwitch()->isChecked());
    ASSERT_TRUE(model->notice());
    EXPECT_TRUE(model->notice()->contains(QStringLiteral("blocked/autostart")))
        << model->notice()->toStdString();
    EXPECT_FALSE(model->notice()->contains(u'\n'));
}

TEST_F(LoginItemTest, StartedInTheBackgroundTheWindowWaitsMinimisedWithoutATray) {
    make();
    // The offscreen platform has no tray, so the window must stay reachable.
    ui::Shell shell(*model, *exporter, nullptr, [] {});
    shell.start(true);
    EXPECT_TRUE(waitUntil([&] { return shell.window().isMinimized(); }, std::chrono::seconds(10)));
    EXPECT_TRUE(shell.window().isVisible());
}

TEST_F(LoginItemTest, APackageManagedInstallationPointsToThePackageManager) {
    make();
    update::UpdateManager::Options managed;
    managed.packageManaged = true;
    update::UpdateManager packaged(managed);
    packaged.start({QStringLiteral("loomcast")});
    ui::ViewState viewState;
    ui::SettingsView view(*model, viewState, &packaged);
    EXPECT_EQ(view.checkForUpdatesButton(), nullptr);
    bool said = false;
    for (QLabel* label : view.findChildren<QLabel*>())
        said = said || label->text() == QLatin1String(ui::SettingsView::kPackageManagedText);
    EXPECT_TRUE(said);
    for (QLabel* label : view.findChildren<QLabel*>())
        EXPECT_NE(label->text(), QStringLiteral("Install updates automatically when I quit"));

    // Nor does the application menu offer a check.
    ui::MainWindow packagedWindow(*model, *exporter, &packaged);
    EXPECT_EQ(packagedWindow.checkForUpdatesAction(), nullptr);

    update::UpdateManager::Options portable;
    update::UpdateManager self(portable);
    ui::SettingsView selfUpdating(*model, viewState, &self);
    EXPECT_NE(selfUpdating.checkForUpdatesButton(), nullptr);
    ui::MainWindow selfUpdatingWindow(*model, *exporter, &self);
    EXPECT_NE(selfUpdatingWindow.checkForUpdatesAction(), nullptr);
}
