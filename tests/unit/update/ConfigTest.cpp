#include "UpdateTestSupport.h"
#include "app/update/UpdateConfig.h"
#include "app/update/UpdateErrors.h"
#include "app/update/UpdateNetwork.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace lc::update;

namespace {
const QByteArray kKey = "publicKey = Oq9EdDd+++bLbEiZkAuPNPxK+93+gWGtjGG1gPaZftw=\n";
}

TEST(UpdateConfigTest, ReadsTheShippedFile) {
    const QString shipped =
        qEnvironmentVariable("LC_SOURCE_DIR") + QStringLiteral("/src/app/update/loomcast-update.conf");
    auto config = loadUpdateConfig(shipped);
    ASSERT_TRUE(config) << config.error().message;
    EXPECT_EQ(config->feedUrl.scheme(), QStringLiteral("https"));
    EXPECT_EQ(config->publicKey.size(), 32);
    EXPECT_EQ(config->checkInterval, std::chrono::hours(24));
}

TEST(UpdateConfigTest, APackagedInstallationLeavesUpdatesToThePackageManager) {
    const QString shipped =
        qEnvironmentVariable("LC_SOURCE_DIR") + QStringLiteral("/packaging/loomcast-update.conf");
    auto packaged = loadUpdateConfig(shipped);
    ASSERT_TRUE(packaged) << packaged.error().message;
    EXPECT_TRUE(packaged->packageManaged);
    EXPECT_FALSE(packaged->feedUrl.isValid());

    auto portable =
        parseUpdateConfig("feedUrl = https://x.example/a.xml\n" + kKey + "packageManaged = false\n");
    ASSERT_TRUE(portable);
    EXPECT_FALSE(portable->packageManaged);
    EXPECT_FALSE(parseUpdateConfig("packageManaged = false\n")); // then a feed is needed
    auto unclear = parseUpdateConfig("packageManaged = yes\n");
    ASSERT_FALSE(unclear);
    EXPECT_EQ(unclear.error().code, kErrorNotConfigured);
}

TEST(UpdateConfigTest, KeepsChecksAtMostDailyAndRefusesBadValues) {
    auto hourly = parseUpdateConfig("# comment\nfeedUrl = https://x.example/a.xml\n" + kKey +
                                    "checkIntervalHours = 1\n");
    ASSERT_TRUE(hourly);
    EXPECT_EQ(hourly->checkInterval, std::chrono::hours(24));
    auto weekly =
        parseUpdateConfig("feedUrl=https://x.example/a.xml\n" + kKey + "checkIntervalHours=168\nfuture=1\n");
    ASSERT_TRUE(weekly);
    EXPECT_EQ(weekly->checkInterval, std::chrono::hours(168));
    auto manual = parseUpdateConfig("feedUrl=https://x.example/a.xml\n" + kKey + "checkIntervalHours=0\n");
    ASSERT_TRUE(manual);
    EXPECT_EQ(manual->checkInterval.count(), 0);

    const QByteArray bad[] = {
        "feedUrl = http://x.example/a.xml\n" + kKey,             // not https
        "feedUrl = https://x.example/a.xml\n",                   // no key
        kKey,                                                    // no feed
        "feedUrl = https://x.example/a.xml\npublicKey = AAAA\n", // key too short
        "feedUrl = https://x.example/a.xml\npublicKey = !!notbase64!!\n",
        "feedUrl = https://x.example/a.xml\n" + kKey + "checkIntervalHours = soon\n",
        "feedUrl = https://x.example/a.xml\n" + kKey + "just words\n",
    };
    for (const QByteArray& text : bad) {
        auto config = parseUpdateConfig(text, QStringLiteral("/opt/Loomcast/loomcast-update.conf"));
        ASSERT_FALSE(config) << text.constData();
        EXPECT_EQ(config.error().code, kErrorNotConfigured);
        EXPECT_FALSE(QString::fromStdString(config.error().message).contains(u'\n'));
    }
}

TEST(UpdateConfigTest, IsFoundInTheApplicationFolderFirst) {
    QTemporaryDir dir;
    const QString app =
        lc::test::makeAppFolder(dir.path(), QStringLiteral("Loomcast"), QStringLiteral("1.0"));
    const QString exe = app + QStringLiteral("/bin/loomcast");
    EXPECT_EQ(findUpdateConfig(exe).value_or(QString()),
              QDir::cleanPath(app + QStringLiteral("/loomcast-update.conf")));
    EXPECT_EQ(updateConfigCandidates(exe).first(), app + QStringLiteral("/bin/loomcast-update.conf"));
}

TEST(UpdateUrlTest, AcceptsHttpsAndLoopbackHttpOnly) {
    EXPECT_TRUE(isAllowedUpdateUrl(QUrl(QStringLiteral("https://updates.example/a.xml"))));
    EXPECT_TRUE(isAllowedUpdateUrl(QUrl(QStringLiteral("http://127.0.0.1:8080/a.xml"))));
    EXPECT_TRUE(isAllowedUpdateUrl(QUrl(QStringLiteral("http://[::1]:8080/a.xml"))));
    EXPECT_FALSE(isAllowedUpdateUrl(QUrl(QStringLiteral("http://updates.example/a.xml"))));
    EXPECT_FALSE(isAllowedUpdateUrl(QUrl(QStringLiteral("http://localhost.evil.example/a.xml"))));
    EXPECT_FALSE(isAllowedUpdateUrl(QUrl(QStringLiteral("http://192.168.1.2/a.xml"))));
    EXPECT_FALSE(isAllowedUpdateUrl(QUrl(QStringLiteral("file:///etc/passwd"))));
    EXPECT_FALSE(isAllowedUpdateUrl(QUrl(QStringLiteral("ftp://updates.example/a.tar.gz"))));
    EXPECT_FALSE(isAllowedUpdateUrl(QUrl(QStringLiteral("https:///nohost"))));
}
