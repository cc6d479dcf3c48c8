#include "model/Store.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace Store = lc::Store;
using lc::AppState;

namespace {

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeAll(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        Store::setBaseDirOverride(tmp.path());
    }
    void TearDown() override { Store::setBaseDirOverride(std::nullopt); }
    QString at(const QString& rel) const { return QDir(tmp.path()).filePath(rel); }
    QTemporaryDir tmp;
};

} // namespace

TEST_F(StoreTest, FirstUseCopiesLegacyItemsOnce) {
    ASSERT_TRUE(QDir().mkpath(at("Vitrex/sub")));
    ASSERT_TRUE(writeAll(at("Vitrex/state.json"), R"({"fps":60})"));
    ASSERT_TRUE(writeAll(at("Vitrex/sub/x.txt"), "x"));

    EXPECT_EQ(Store::dir(), at("Loomcast"));
    EXPECT_EQ(readAll(at("Loomcast/state.json")), R"({"fps":60})");
    EXPECT_EQ(readAll(at("Loomcast/sub/x.txt")), "x");
    EXPECT_TRUE(QFile::exists(at("Vitrex/state.json"))) << "migration copies, never moves";
    EXPECT_EQ(Store::load().fps, 60);

    // Later changes to the legacy folder are not copied again.
    ASSERT_TRUE(writeAll(at("Vitrex/state.json"), R"({"fps":24})"));
    ASSERT_TRUE(writeAll(at("Vitrex/new.txt"), "n"));
    QFile::remove(at("Loomcast/state.json"));
    Store::dir();
    EXPECT_FALSE(QFile::exists(at("Loomcast/state.json")));
    EXPECT_FALSE(QFile::exists(at("Loomcast/new.txt")));
}

TEST_F(StoreTest, SaveLoadAndBadFiles) {
    EXPECT_EQ(Store::load(), AppState{}) << "no file";
    EXPECT_TRUE(QDir(at("Loomcast")).exists()) << "created on first use";

    AppState s;
    s.fps = 60;
    s.container = "mp4";
    s.entries.push_back({"org.x", "X", "t", lc::Preset::builtIn()[2], false});
    Store::save(s);
    const QByteArray first = readAll(Store::statePath());
    Store::save(s);
    EXPECT_EQ(readAll(Store::statePath()), first) << "saving twice gives identical bytes";
    EXPECT_EQ(Store::load(), s);

    // A broken file loads as defaults and stays on disk untouched until the next save.
    const QByteArray truncated = first.left(first.size() / 2);
    ASSERT_TRUE(writeAll(Store::statePath(), truncated));
    EXPECT_EQ(Store::load(), AppState{});
    EXPECT_EQ(readAll(Store::statePath()), truncated);
    ASSERT_TRUE(writeAll(Store::statePath(), ""));
    EXPECT_EQ(Store::load(), AppState{});
}

TEST_F(StoreTest, UnusableFolderNeverFails) {
    // The base is a regular file, so nothing can be created below it.
    ASSERT_TRUE(writeAll(at("plain"), "x"));
    Store::setBaseDirOverride(at("plain"));
    EXPECT_EQ(Store::dir(), at("plain/Loomcast"));
    Store::save(AppState{});
    EXPECT_EQ(Store::load(), AppState{});
    EXPECT_EQ(readAll(at("plain")), "x");
}

TEST_F(StoreTest, EnvironmentNamesTheBaseWithoutOverride) {
    Store::setBaseDirOverride(std::nullopt);
    qputenv("LOOMCAST_DATA_HOME", at("env").toUtf8());
    EXPECT_EQ(Store::dir(), at("env/Loomcast"));
    qunsetenv("LOOMCAST_DATA_HOME");
}
