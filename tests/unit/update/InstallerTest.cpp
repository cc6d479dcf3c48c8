#include "TestSupport.h"
#include "UpdateTestSupport.h"
#include "app/update/Signature.h"
#include "app/update/UpdateErrors.h"
#include "app/update/UpdateInstaller.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <thread>

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
    writeManifest(app.folder);

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
        const QString parent = app.scratch + QStringLiteral("/broken");
        const QString folder = makeAppFolder(parent, QStringLiteral("Loomcast"), QStringLiteral("1.4"));
        QFile::remove(folder + QStringLiteral("/bin/loomcast"));
        writeManifest(folder);
        packFolder(parent, noExe);
    }
    // The old format: the folder's contents with no top-level folder.
    const QString flat = app.scratch + QStringLiteral("/flat.tar.gz");
    packFolder(makeAppFolder(app.scratch, QStringLiteral("flat"), QStringLiteral("1.4")), flat);
    // Two top-level folders, or one holding files its manifest does not list.
    const QString twoFolders = app.scratch + QStringLiteral("/two.tar.gz");
    {
        const QString parent = app.scratch + QStringLiteral("/two");
        makeAppFolder(parent, QStringLiteral("Loomcast"), QStringLiteral("1.4"));
        makeAppFolder(parent, QStringLiteral("Other"), QStringLiteral("1.4"));
        packFolder(parent, twoFolders);
    }
    const QString unlisted = app.scratch + QStringLiteral("/unlisted.tar.gz");
    {
        const QString parent = app.scratch + QStringLiteral("/unlisted");
        const QString folder = makeAppFolder(parent, QStringLiteral("Loomcast"), QStringLiteral("1.4"));
        writeFile(folder + QStringLiteral("/share/extra.txt"), "x");
        packFolder(parent, unlisted);
    }
    for (const QString& package :
         {corrupt, noExe, flat, twoFolders, unlisted, app.scratch + QStringLiteral("/missing.tar.gz")}) {
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

TEST(InstallerTest, FindsOnlyAPortableFolderOfItsOwn) {
    Installed app;
    const QString exe = app.folder + QStringLiteral("/bin/loomcast");
    auto layout = portableLayoutFor(exe);
    ASSERT_TRUE(layout);
    EXPECT_EQ(layout->folder, QFileInfo(app.folder).canonicalFilePath());
    EXPECT_EQ(layout->executable, QStringLiteral("bin/loomcast"));
    // Reached through a link, it is still the same folder.
    const QString link = app.scratch + QStringLiteral("/link");
    ASSERT_TRUE(QFile::link(app.folder, link));
    auto linked = portableLayoutFor(link + QStringLiteral("/bin/loomcast"));
    ASSERT_TRUE(linked);
    EXPECT_EQ(linked->folder, layout->folder);
    // A system-wide installation: the package manager owns the files.
    EXPECT_FALSE(portableLayoutFor(QStringLiteral("/usr/bin/loomcast")));
    EXPECT_FALSE(portableLayoutFor(QStringLiteral("/bin/sh")));
    QFile::remove(app.folder + QStringLiteral("/loomcast-portable.id"));
    EXPECT_FALSE(portableLayoutFor(exe));
}

// Every refusal is one line, names the folder and changes nothing in it.
void expectRefused(const QString& folder, const char* why) {
    auto checked = checkOwnFolder(folder);
    ASSERT_FALSE(checked) << folder.toStdString();
    EXPECT_EQ(checked.error().message.find('\n'), std::string::npos) << checked.error().message;
    EXPECT_NE(checked.error().message.find(why), std::string::npos) << checked.error().message;
}

struct HomeOverride {
    QByteArray saved = qgetenv("HOME");
    explicit HomeOverride(const QString& home) { qputenv("HOME", QFile::encodeName(home)); }
    ~HomeOverride() { qputenv("HOME", saved); }
};

TEST(OwnFolderTest, RefusesEverythingThatIsNotProvablyItsOwn) {
    Installed app;
    ASSERT_TRUE(checkOwnFolder(app.folder));

    expectRefused(QStringLiteral("/"), "system folder");
    expectRefused(QStringLiteral("/usr"), "system folder");
    expectRefused(QStringLiteral("/usr/local"), "system folder");
    expectRefused(QStringLiteral("/usr/lib"), "system folder");
    expectRefused(QStringLiteral("/usr/local/share"), "system folder");
    expectRefused(QStringLiteral("/etc"), "system folder");
    expectRefused(app.root.path() + QStringLiteral("/nowhere"), "not a folder");

    // A folder the user keeps other files in: the package unpacked without its top folder, as in
    // ~/Downloads. The first update must not touch a single file there.
    const QString downloads = app.root.path() + QStringLiteral("/Downloads");
    const QString spilled =
        makeAppFolder(app.root.path(), QStringLiteral("Downloads"), QStringLiteral("1.0"));
    writeFile(downloads + QStringLiteral("/holiday.jpg"), "photo");
    expectRefused(downloads, "\"holiday.jpg\" was not installed by Loomcast");

    // Foreign files deeper inside, and a link to elsewhere that the manifest does not know.
    writeFile(app.folder + QStringLiteral("/share/notes.txt"), "mine");
    expectRefused(app.folder, "\"share/notes.txt\" was not installed by Loomcast");
    QFile::remove(app.folder + QStringLiteral("/share/notes.txt"));
    ASSERT_TRUE(QFile::link(downloads, app.folder + QStringLiteral("/lib/elsewhere")));
    expectRefused(app.folder, "\"lib/elsewhere\" was not installed by Loomcast");
    QFile::remove(app.folder + QStringLiteral("/lib/elsewhere"));
    ASSERT_TRUE(checkOwnFolder(app.folder));

    // No marker, a marker of something else, a manifest that points outside.
    const QString marker = app.folder + QStringLiteral("/loomcast-portable.id");
    writeFile(marker, "org.example.Other\n");
    expectRefused(app.folder, "marker file does not hold org.loomcast.Loomcast");
    QFile::remove(marker);
    expectRefused(app.folder, "no Loomcast marker file");
    writeFile(marker, "org.loomcast.Loomcast\n");
    const QString manifest = app.folder + QStringLiteral("/loomcast-portable.manifest");
    const QByteArray listed = readFile(manifest);
    writeFile(manifest, listed + "../Downloads/holiday.jpg\n");
    expectRefused(app.folder, "not inside it");
    QFile::remove(manifest);
    expectRefused(app.folder, "no manifest");
    writeFile(manifest, listed);
    ASSERT_TRUE(checkOwnFolder(app.folder));
    EXPECT_EQ(readFile(downloads + QStringLiteral("/holiday.jpg")), "photo");
    EXPECT_TRUE(QFileInfo(spilled).isDir());
}

TEST(OwnFolderTest, RefusesTheHomeFolderHoweverItIsReached) {
    QTemporaryDir dir;
    // A home folder that looks like a portable folder in every other respect.
    const QString real = makeAppFolder(dir.path(), QStringLiteral("real-home"), QStringLiteral("1.0"));
    const QString link = dir.filePath(QStringLiteral("home-link"));
    ASSERT_TRUE(QFile::link(real, link));
    {
        HomeOverride home(real);
        expectRefused(real, "home folder");
        expectRefused(link, "home folder");
        expectRefused(dir.path(), "home folder"); // holds the home folder
    }
    {
        HomeOverride home(link); // the home folder itself reached through a link
        expectRefused(real, "home folder");
        expectRefused(link, "home folder");
        auto layout = portableLayoutFor(real + QStringLiteral("/bin/loomcast"));
        EXPECT_FALSE(layout);
    }
    // The same folder, no longer anybody's home, is a portable folder.
    EXPECT_TRUE(checkOwnFolder(link));
}

TEST(FolderSwapTest, SwapsInAndRollsBackExactly) {
    Installed app;
    const QString package = app.scratch + QStringLiteral("/p.tar.gz");
    ASSERT_TRUE(writeFile(package, makePackage(app.scratch, QStringLiteral("1.3"))));
    // Reached through a link: the real folder is swapped, the link stays a link.
    const QString link = app.root.path() + QStringLiteral("/Loomcast-link");
    ASSERT_TRUE(QFile::link(app.folder, link));
    const InstallLayout linked{link, QStringLiteral("bin/loomcast")};
    const QByteArray oldManifest = readFile(app.folder + QStringLiteral("/loomcast-portable.manifest"));
    {
        auto swap = FolderSwap::swapIn(package, linked);
        ASSERT_TRUE(swap) << swap.error().message;
        EXPECT_EQ(app.version(), QStringLiteral("1.3"));
        EXPECT_EQ(run(app.folder + QStringLiteral("/bin/loomcast"), {}).trimmed(), QStringLiteral("1.3"));
        auto back = swap->rollback();
        ASSERT_TRUE(back) << back.error().message;
    }
    EXPECT_EQ(app.version(), QStringLiteral("1.0"));
    EXPECT_EQ(readFile(app.folder + QStringLiteral("/loomcast-portable.manifest")), oldManifest);
    EXPECT_TRUE(checkOwnFolder(app.folder));
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_EQ(entries(app.root.path() + QStringLiteral("/apps")), QStringList{QStringLiteral("Loomcast")});

    // Dropped without a decision: rolled back as well.
    { ASSERT_TRUE(FolderSwap::swapIn(package, linked)); }
    EXPECT_EQ(app.version(), QStringLiteral("1.0"));

    // Committed: the new version stays, the old one is gone, nothing lies beside the folder.
    {
        auto swap = FolderSwap::swapIn(package, linked);
        ASSERT_TRUE(swap);
        swap->commit();
    }
    EXPECT_EQ(app.version(), QStringLiteral("1.3"));
    EXPECT_TRUE(checkOwnFolder(app.folder));
    EXPECT_EQ(entries(app.root.path() + QStringLiteral("/apps")), QStringList{QStringLiteral("Loomcast")});
}

TEST(FolderSwapTest, RefusesAFolderThatIsNotItsOwnAndTouchesNothing) {
    Installed app;
    const QString package = app.scratch + QStringLiteral("/p.tar.gz");
    ASSERT_TRUE(writeFile(package, makePackage(app.scratch, QStringLiteral("1.3"))));
    writeFile(app.folder + QStringLiteral("/share/notes.txt"), "mine");
    auto result = installPackage(package, app.layout);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().code, kErrorInstallFailed);
    EXPECT_NE(result.error().message.find("share/notes.txt"), std::string::npos);
    EXPECT_EQ(app.version(), QStringLiteral("1.0"));
    EXPECT_EQ(readFile(app.folder + QStringLiteral("/share/notes.txt")), "mine");
    EXPECT_EQ(entries(app.root.path() + QStringLiteral("/apps")), QStringList{QStringLiteral("Loomcast")});
    for (const QString& shared : {QStringLiteral("/"), QStringLiteral("/usr"), QDir::homePath()})
        EXPECT_FALSE(installPackage(package, {shared, QStringLiteral("bin/loomcast")}))
            << shared.toStdString();
}

TEST(FolderSwapTest, CommitLeavesWhatTheOldVersionDidNotInstall) {
    Installed app;
    const QString package = app.scratch + QStringLiteral("/p.tar.gz");
    ASSERT_TRUE(writeFile(package, makePackage(app.scratch, QStringLiteral("1.3"))));
    auto swap = FolderSwap::swapIn(package, app.layout);
    ASSERT_TRUE(swap);
    // Something appears in the old version after the check: it survives the clean-up.
    const QStringList aside = QDir(app.root.path() + QStringLiteral("/apps"))
                                  .entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot)
                                  .filter(QStringLiteral(".update-"));
    ASSERT_EQ(aside.size(), 1);
    const QString late =
        app.root.path() + QStringLiteral("/apps/") + aside[0] + QStringLiteral("/Loomcast/share/late.txt");
    ASSERT_TRUE(writeFile(late, "late"));
    swap->commit();
    EXPECT_EQ(readFile(late), "late");
    EXPECT_FALSE(QFile::exists(QFileInfo(late).dir().filePath(QStringLiteral("version.txt"))));
    EXPECT_EQ(app.version(), QStringLiteral("1.3"));
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
    old.start(QStringLiteral("sleep"), {QStringLiteral("600")});
    ASSERT_TRUE(old.waitForStarted());
    ASSERT_TRUE(
        relaunchAfterExit(old.processId(), exe, {QStringLiteral("--flag"), QStringLiteral("two words")}));
    // The old process lives until it is killed: no new one may start meanwhile.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(QFile::exists(marker));
    old.kill();
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
