#include "TestSupport.h"
#include "UpdateTestSupport.h"
#include "app/update/Signature.h"
#include "app/update/UpdateErrors.h"
#include "app/update/UpdateInstaller.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace lc::update;
using namespace lc::test;

namespace {

QStringList entries(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

struct Installed {
    QTemporaryDir root;
    QString folder;
    QString scratch;
    InstallLayout layout;
    Installed() {
        QDir(root.path()).mkpath(QStringLiteral("apps"));
        folder = makeAppFolder(root.path() + QStringLiteral("/apps"), QStringLiteral("Loomcast"),
                               QStringLiteral("1.0"));
        scratch = root.path() + QStringLiteral("/scratch");
        QDir().mkpath(scratch);
        layout = {folder, QStringLiteral("bin/loomcast")};
    }
    QString version() const {
        return QString::fromUtf8(readFile(folder + QStringLiteral("/share/version.txt")));
    }
};

} // namespace

TEST(InstallerTest, ReplacesTheApplicationFolderAndLeavesNothingBehind) {
    Installed app;
    const QString package = app.scratch + QStringLiteral("/p.tar.gz");
    ASSERT_TRUE(writeFile(package, makePackage(app.scratch, QStringLiteral("1.3"))));
    writeFile(app.folder + QStringLiteral("/share/only-in-old.txt"), "x");

    auto result = installPackage(package, app.layout);
    ASSERT_TRUE(result) << result.error().message;
    EXPECT_EQ(app.version(), QStringLiteral("1.3"));
    EXPECT_FALSE(QFile::exists(app.folder + QStringLiteral("/share/only-in-old.txt")));
    EXPECT_EQ(run(app.folder + QStringLiteral("/bin/loomcast"), {}).trimmed(), QStringLiteral("1.3"));
    EXPECT_EQ(entries(app.root.path() + QStringLiteral("/apps")), QStringList{QStringLiteral("Loomcast")});
}

TEST(InstallerTest, RefusesBadPackagesAndKeepsTheInstalledVersion) {
    Installed app;
    const QString corrupt = app.scratch + QStringLiteral("/corrupt.tar.gz");
    QByteArray bytes = makePackage(app.scratch, QStringLiteral("1.3"));
    writeFile(corrupt, bytes.left(bytes.size() / 2));
    const QString noExe = app.scratch + QStringLiteral("/noexe.tar.gz");
    {
        const QString folder = makeAppFolder(app.scratch, QStringLiteral("broken"), QStringLiteral("1.4"));
        QFile::remove(folder + QStringLiteral("/bin/loomcast"));
        QProcess::execute(QStringLiteral("tar"),
                          {QStringLiteral("-czf"), noExe, QStringLiteral("-C"), folder, QStringLiteral(".")});
    }
    for (const QString& package : {corrupt, noExe, app.scratch + QStringLiteral("/missing.tar.gz")}) {
        auto result = installPackage(package, app.layout);
        ASSERT_FALSE(result) << package.toStdString();
        EXPECT_EQ(result.error().code, kErrorInstallFailed);
        EXPECT_EQ(result.error().message.find('\n'), std::string::npos) << result.error().message;
        EXPECT_EQ(app.version(), QStringLiteral("1.0"));
        EXPECT_EQ(entries(app.root.path() + QStringLiteral("/apps")),
                  QStringList{QStringLiteral("Loomcast")});
    }
    auto noFolder = installPackage(
        corrupt, {app.root.path() + QStringLiteral("/nowhere"), QStringLiteral("bin/loomcast")});
    EXPECT_FALSE(noFolder);
}

TEST(InstallerTest, FindsTheApplicationFolderOnlyWhereTheConfigurationSits) {
    Installed app;
    const QString exe = app.folder + QStringLiteral("/bin/loomcast");
    auto layout = installLayoutFor(exe, app.folder + QStringLiteral("/loomcast-update.conf"));
    ASSERT_TRUE(layout);
    EXPECT_EQ(layout->folder, QFileInfo(app.folder).canonicalFilePath());
    EXPECT_EQ(layout->executable, QStringLiteral("bin/loomcast"));
    // A system-wide configuration: the package manager owns the files.
    writeFile(app.scratch + QStringLiteral("/loomcast/loomcast-update.conf"), "x");
    EXPECT_FALSE(installLayoutFor(exe, app.scratch + QStringLiteral("/loomcast/loomcast-update.conf")));
    EXPECT_FALSE(
        installLayoutFor(QStringLiteral("/usr/bin/loomcast"), QStringLiteral("/usr/loomcast-update.conf")));
}

TEST(SignatureTest, AcceptsOnlyTheExactSignedBytes) {
    QTemporaryDir dir;
    const TestKeys keys = TestKeys::generate();
    const TestKeys other = TestKeys::generate();
    QByteArray bytes = makePackage(dir.path(), QStringLiteral("1.3"));
    const QString path = dir.filePath(QStringLiteral("p.tar.gz"));
    writeFile(path, bytes);
    const QString what = QStringLiteral("Loomcast 1.3");
    const QString sig = keys.sign(bytes);

    EXPECT_TRUE(verifyPackageFile(path, sig, keys.publicKey, what));

    auto unsignedPackage = verifyPackageFile(path, QString(), keys.publicKey, what);
    ASSERT_FALSE(unsignedPackage);
    EXPECT_EQ(unsignedPackage.error().message, "Loomcast 1.3 is not signed; it was not installed.");

    auto wrongKey = verifyPackageFile(path, sig, other.publicKey, what);
    ASSERT_FALSE(wrongKey);
    EXPECT_EQ(wrongKey.error().code, kErrorBadSignature);
    EXPECT_EQ(wrongKey.error().message,
              "The signature of Loomcast 1.3 does not match; it was not installed.");

    for (const QString& garbage : {QStringLiteral("AAAA"), QStringLiteral("not base64 !"), sig.left(40)})
        EXPECT_FALSE(verifyPackageFile(path, garbage, keys.publicKey, what)) << garbage.toStdString();

    bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 1);
    writeFile(path, bytes);
    EXPECT_FALSE(verifyPackageFile(path, sig, keys.publicKey, what));
    writeFile(path, {});
    EXPECT_FALSE(verifyPackageFile(path, sig, keys.publicKey, what));
    EXPECT_TRUE(verifyPackageFile(path, keys.sign({}), keys.publicKey, what));
}

TEST(RelaunchTest, StartsTheNewVersionOnlyAfterTheOldProcessEnds) {
    QTemporaryDir dir;
    const QString marker = dir.filePath(QStringLiteral("started"));
    const QString exe = dir.filePath(QStringLiteral("app.sh"));
    writeFile(exe, "#!/bin/sh\necho \"$@\" > \"$LC_MARKER\"\n");
    QFile::setPermissions(exe, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("LC_MARKER", marker.toUtf8());

    QProcess old;
    old.start(QStringLiteral("sleep"), {QStringLiteral("1")});
    ASSERT_TRUE(old.waitForStarted());
    ASSERT_TRUE(
        relaunchAfterExit(old.processId(), exe, {QStringLiteral("--flag"), QStringLiteral("two words")}));
    EXPECT_FALSE(waitUntil([&] { return QFile::exists(marker); }, std::chrono::milliseconds(500)));
    ASSERT_TRUE(old.waitForFinished(5000));
    ASSERT_TRUE(waitUntil([&] { return readFile(marker).size() > 0; }, std::chrono::seconds(5)));
    EXPECT_EQ(readFile(marker), "--flag two words\n");
}

TEST(SignatureTest, ReleaseToolSignaturesVerify) {
    QTemporaryDir dir;
    const QString secret = dir.filePath(QStringLiteral("release.key"));
    const QString keyLine = run(QStringLiteral(LC_SIGN_TOOL), {QStringLiteral("keygen"), secret}).trimmed();
    ASSERT_TRUE(keyLine.startsWith(QStringLiteral("publicKey = ")));
    EXPECT_EQ(QFile::permissions(secret) & (QFile::ReadOther | QFile::ReadGroup), 0);
    const QByteArray publicKey = QByteArray::fromBase64(keyLine.mid(12).toLatin1());

    const QString package = dir.filePath(QStringLiteral("p.tar.gz"));
    writeFile(package, makePackage(dir.path(), QStringLiteral("1.3")));
    const QString attributes = run(QStringLiteral(LC_SIGN_TOOL), {QStringLiteral("sign"), secret, package});
    const QString signature =
        attributes.section(QStringLiteral("sparkle:edSignature=\""), 1).section(u'"', 0, 0);
    EXPECT_TRUE(attributes.startsWith(QStringLiteral("length=\"%1\"").arg(QFileInfo(package).size())));
    EXPECT_TRUE(verifyPackageFile(package, signature, publicKey, QStringLiteral("Loomcast 1.3")));
}
