#include "export/ExportEngine.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdlib>
#include <gtest/gtest.h>

namespace lc {
namespace {

void touch(const QString& path) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
}

TEST(ExportFiles, UniqueOutputNeverOverwrites) {
    QTemporaryDir dir;
    const QDir d(dir.path());
    EXPECT_EQ(ExportEngine::uniqueOutput(dir.path()), d.filePath("Loomcast Final.mp4"));
    touch(d.filePath("Loomcast Final 2.mp4"));
    EXPECT_EQ(ExportEngine::uniqueOutput(dir.path()), d.filePath("Loomcast Final.mp4"));
    touch(d.filePath("Loomcast Final.mp4"));
    EXPECT_EQ(ExportEngine::uniqueOutput(dir.path()), d.filePath("Loomcast Final 3.mp4"));
    d.mkdir("Loomcast Final 3.mp4"); // a folder of that name counts too
    EXPECT_EQ(ExportEngine::uniqueOutput(dir.path()), d.filePath("Loomcast Final 4.mp4"));
}

TEST(ExportFiles, RecentSessionsAreTheNewestFoldersWithAManifest) {
    QTemporaryDir home;
    const QDir root(QDir(home.path()).filePath("Loomcast"));
    EXPECT_TRUE(ExportEngine::recentSessions(root.path(), 12).isEmpty()); // no session root yet

    for (int i = 1; i <= 15; ++i) {
        const QString name = QStringLiteral("2024-05-%1 10-00-00").arg(i, 2, 10, QLatin1Char('0'));
        root.mkpath(name);
        touch(root.filePath(name + "/session.json"));
    }
    root.mkpath("2099-01-01 no manifest");
    touch(root.filePath("2099-12-31 plain file"));
    root.mkpath(".2099 hidden/session.json"); // hidden, and the manifest is a folder: still listed

    const QStringList recent = ExportEngine::recentSessions(root.path(), 12);
    ASSERT_EQ(recent.size(), 12);
    EXPECT_EQ(recent[0], root.filePath("2024-05-15 10-00-00"));
    EXPECT_EQ(recent[11], root.filePath("2024-05-04 10-00-00"));
    const QStringList all = ExportEngine::recentSessions(root.path(), 100);
    ASSERT_EQ(all.size(), 16);
    EXPECT_EQ(all.back(), root.filePath(".2099 hidden"));
}

} // namespace
} // namespace lc
