#include "session/SessionFiles.h"
#include "capture/Timecode.h"
#include "session/Rounding.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimeZone>
#include <gtest/gtest.h>

using namespace lc;
namespace SF = lc::SessionFiles;

namespace {

bool touch(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly);
}

} // namespace

TEST(SessionFiles, CleansComponents) {
    EXPECT_EQ(SF::cleanComponent("a/b:c\\d\ne\rf"), "a-b-c-d-e-f");
    EXPECT_EQ(SF::cleanComponent(" \t  "), "Untitled") << "tabs count as blanks at the ends";
    EXPECT_EQ(SF::cleanComponent("\tx y\t"), "x y");
    EXPECT_EQ(SF::cleanComponent(""), "Untitled");
    EXPECT_EQ(SF::cleanComponent(QString(100, u'x')), QString(60, u'x'));
    EXPECT_EQ(SF::cleanComponent(QStringLiteral("nul\u0000bell\u0007")), "nul-bell-");
    // Four-byte characters: at most 80 bytes, and never half a character.
    const QString emoji = QString::fromUcs4(U"\U0001F600").repeated(60);
    const QString cut = SF::cleanComponent(emoji);
    EXPECT_EQ(cut, QString::fromUcs4(U"\U0001F600").repeated(20));
    EXPECT_LE(SF::cleanComponent(QString(200, QChar(0x00E9))).toUtf8().size(), SF::kMaxComponentBytes);
}

TEST(SessionFiles, WindowNamesAndNumbering) {
    const Preset wide = Preset::builtIn()[0];
    const QString base = SF::windowBase("Editor", "Notes", wide);
    EXPECT_EQ(base, "Editor - Notes (16x9 Horizontal)");
    EXPECT_EQ(SF::extensionFor("mp4"), "mp4");
    EXPECT_EQ(SF::extensionFor("MP4"), "mov");
    EXPECT_EQ(SF::extensionFor("mov"), "mov");
    QSet<QString> taken{base + ".mov", base + " 2.mov"};
    EXPECT_EQ(SF::firstFreeName(base, "mov", [&](const QString& n) { return taken.contains(n); }),
              base + " 3.mov");
    EXPECT_EQ(SF::firstFreeName(base, "mp4", [&](const QString& n) { return taken.contains(n); }),
              base + ".mp4");
}

TEST(SessionFiles, OffsetNamesRoundAndAvoidCollisions) {
    EXPECT_EQ(offsetSuffix(round3(2.49)), "(+0m02s)");
    EXPECT_EQ(offsetSuffix(round3(2.5)), "(+0m03s)");
    EXPECT_EQ(offsetSuffix(round3(2.4996)), "(+0m03s)") << "rounded to 2.5 first";
    EXPECT_EQ(offsetSuffix(65.4), "(+1m05s)");

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QDir d(dir.path());
    ASSERT_TRUE(touch(d.filePath("A - B (1x1 Square).mov")));
    ASSERT_TRUE(touch(d.filePath("A - B (1x1 Square) (+0m03s).mov")));
    const auto renamed = SF::renameWithOffset(dir.path(), "A - B (1x1 Square).mov", "(+0m03s)");
    ASSERT_TRUE(renamed);
    EXPECT_EQ(*renamed, "A - B (1x1 Square) (+0m03s) 2.mov");
    EXPECT_TRUE(QFile::exists(d.filePath(*renamed)));
    EXPECT_FALSE(SF::renameWithOffset(dir.path(), "never written.mov", "(+0m00s)"));
    EXPECT_EQ(SF::offsetName("no extension", "(+0m01s)", [](const QString&) { return false; }),
              "no extension (+0m01s)");
}

TEST(SessionFiles, FolderAndDateTexts) {
    const QDateTime utc(QDate(2026, 3, 1), QTime(14, 5, 9, 700), QTimeZone::utc());
    EXPECT_EQ(SF::isoUtc(utc), "2026-03-01T14:05:09Z");
    EXPECT_EQ(SF::folderName(utc), utc.toLocalTime().toString("yyyy-MM-dd HH-mm-ss"));
}
