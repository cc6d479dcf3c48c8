// The real install rules and the real updater agree: the portable folder that
// scripts/make-portable makes is one the updater accepts as its own and can swap, and a plain
// installation into a prefix finds the configuration that leaves updates to the package manager.
#include "app/update/UpdateConfig.h"
#include "app/update/UpdateInstaller.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace lc::update;

namespace {

QString source(const QString& path) {
    return qEnvironmentVariable("LC_SOURCE_DIR") + u'/' + path;
}

// Runs a program to its end; its output, or a failure naming what went wrong.
testing::AssertionResult runs(const QString& program, const QStringList& args, QString* output = nullptr,
                              const QStringList& environment = {}) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString& pair : environment)
        env.insert(pair.section(u'=', 0, 0), pair.section(u'=', 1));
    p.setProcessEnvironment(env);
    p.start(program, args);
    if (!p.waitForFinished(240000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return testing::AssertionFailure()
               << program.toStdString() << " failed: " << p.readAll().toStdString();
    if (output) *output = QString::fromLocal8Bit(p.readAll()).trimmed();
    return testing::AssertionSuccess();
}

} // namespace

TEST(InstalledTreeTest, ThePortableFolderIsOneTheUpdaterCanSwap) {
    QTemporaryDir dir;
    QString archive;
    ASSERT_TRUE(runs(source(QStringLiteral("scripts/make-portable")),
                     {qEnvironmentVariable("LC_BUILD_DIR"), dir.filePath(QStringLiteral("out"))}, &archive));
    archive = archive.section(u'\n', -1);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^Loomcast-[0-9.]+-linux-[a-z0-9_]+\\.tar\\.gz$"))
                    .match(QFileInfo(archive).fileName())
                    .hasMatch())
        << archive.toStdString();
    const QString apps = dir.filePath(QStringLiteral("apps"));
    QDir().mkpath(apps);
    ASSERT_TRUE(runs(QStringLiteral("tar"), {QStringLiteral("-xzf"), archive, QStringLiteral("-C"), apps}));
    EXPECT_EQ(QDir(apps).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{QStringLiteral("Loomcast")});

    const QString folder = apps + QStringLiteral("/Loomcast");
    auto own = checkOwnFolder(folder);
    ASSERT_TRUE(own) << own.error().message;
    auto layout = portableLayoutFor(folder + QStringLiteral("/bin/loomcast"));
    ASSERT_TRUE(layout);
    EXPECT_EQ(layout->executable, QStringLiteral("bin/loomcast"));
    auto config = loadUpdateConfig(*findUpdateConfig(folder + QStringLiteral("/bin/loomcast")));
    ASSERT_TRUE(config) << config.error().message;
    EXPECT_FALSE(config->packageManaged);

    // The same archive delivered as an update: swapped in, and the folder is still its own.
    auto installed = installPackage(archive, *layout);
    ASSERT_TRUE(installed) << installed.error().message;
    EXPECT_TRUE(checkOwnFolder(folder));
    EXPECT_EQ(QDir(apps).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{QStringLiteral("Loomcast")});
}

TEST(InstalledTreeTest, AnInstallIntoAPrefixLeavesUpdatesToThePackageManager) {
    QTemporaryDir dir;
    const QString dest = dir.filePath(QStringLiteral("dest"));
    ASSERT_TRUE(runs(QStringLiteral("cmake"),
                     {QStringLiteral("--install"), qEnvironmentVariable("LC_BUILD_DIR"),
                      QStringLiteral("--prefix"), QStringLiteral("/usr")},
                     nullptr, {QStringLiteral("DESTDIR=") + dest}));
    const QString exe = dest + QStringLiteral("/usr/bin/loomcast");
    ASSERT_TRUE(QFileInfo(exe).isExecutable());
    EXPECT_FALSE(QFile::exists(dest + QStringLiteral("/usr/loomcast-portable.id")));
    EXPECT_FALSE(portableLayoutFor(exe));
    const auto path = findUpdateConfig(exe);
    ASSERT_TRUE(path);
    EXPECT_EQ(*path, dest + QStringLiteral("/usr/share/loomcast/loomcast-update.conf"));
    auto config = loadUpdateConfig(*path);
    ASSERT_TRUE(config) << config.error().message;
    EXPECT_TRUE(config->packageManaged);
}
