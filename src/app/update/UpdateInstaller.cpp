#include "app/update/UpdateInstaller.h"

#include "app/update/UpdateErrors.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSet>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lc::update {
namespace {

constexpr int kUnpackTimeoutMs = 10 * 60 * 1000;
constexpr qint64 kMaxManifestBytes = 4 * 1024 * 1024;

Error installError(const QString& why) {
    return makeError(QStringLiteral("The update could not be installed: %1").arg(why).toStdString(),
                     kErrorInstallFailed);
}

Error refusal(const QString& folder, const QString& why) {
    return makeError(QStringLiteral("%1 is not a portable Loomcast folder: %2; nothing was changed.")
                         .arg(folder, why)
                         .toStdString(),
                     kErrorInstallFailed);
}

QString firstLine(const QByteArray& text) {
    const QString s = QString::fromLocal8Bit(text).trimmed();
    return s.section(u'\n', 0, 0).trimmed();
}

QString errnoText() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

bool isSymlinkOrMissing(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) != 0 || S_ISLNK(st.st_mode);
}

// Folders the system or every user shares; never an application's own.
bool isSystemFolder(const QString& canonical) {
    static const QStringList system{
        QStringLiteral("/"),          QStringLiteral("/bin"),       QStringLiteral("/boot"),
        QStringLiteral("/dev"),       QStringLiteral("/etc"),       QStringLiteral("/home"),
        QStringLiteral("/lib"),       QStringLiteral("/lib64"),     QStringLiteral("/media"),
        QStringLiteral("/mnt"),       QStringLiteral("/opt"),       QStringLiteral("/proc"),
        QStringLiteral("/root"),      QStringLiteral("/run"),       QStringLiteral("/sbin"),
        QStringLiteral("/srv"),       QStringLiteral("/sys"),       QStringLiteral("/tmp"),
        QStringLiteral("/usr"),       QStringLiteral("/usr/bin"),   QStringLiteral("/usr/lib"),
        QStringLiteral("/usr/local"), QStringLiteral("/usr/share"), QStringLiteral("/var")};
    // Also every folder of /usr itself and of the /usr/local prefix (/usr/lib, /usr/local/bin);
    // a portable folder may live in /opt/Loomcast or /usr/local/Loomcast.
    static const QStringList prefixFolders{
        QStringLiteral("bin"),  QStringLiteral("etc"),   QStringLiteral("games"),   QStringLiteral("include"),
        QStringLiteral("lib"),  QStringLiteral("lib64"), QStringLiteral("libexec"), QStringLiteral("man"),
        QStringLiteral("sbin"), QStringLiteral("share"), QStringLiteral("src")};
    const QStringList parts = canonical.split(u'/', Qt::SkipEmptyParts);
    return system.contains(canonical) || (parts.size() == 2 && parts[0] == u"usr" && parts[1] != u"local") ||
           (parts.size() == 3 && parts[0] == u"usr" && parts[1] == u"local" &&
            prefixFolders.contains(parts[2]));
}

bool isAncestorOrSelf(const QString& folder, const QString& path) {
    return path == folder || path.startsWith(folder == u"/" ? folder : folder + u'/');
}

// A manifest line must name a path strictly inside the folder.
bool isPlainRelativePath(const QString& path) {
    if (path.isEmpty() || path.startsWith(u'/') || path.endsWith(u'/')) return false;
    for (const QString& part : path.split(u'/'))
        if (part.isEmpty() || part == u"." || part == u"..") return false;
    return true;
}

Result<QStringList> readManifest(const QString& folder) {
    const QString path = QDir(folder).filePath(kPortableManifest);
    if (isSymlinkOrMissing(path)) return refusal(folder, QStringLiteral("it has no manifest of its files"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return refusal(folder, file.errorString());
    const QByteArray bytes = file.read(kMaxManifestBytes + 1);
    if (bytes.size() > kMaxManifestBytes) return refusal(folder, QStringLiteral("its manifest is too large"));
    QStringList paths;
    for (const QByteArray& raw : bytes.split('\n')) {
        const QString line = QString::fromUtf8(raw);
        if (line.isEmpty()) continue;
        if (!isPlainRelativePath(line))
            return refusal(folder,
                           QStringLiteral("its manifest names \"%1\", which is not inside it").arg(line));
        paths << line;
    }
    return paths;
}

// The marker and a manifest that lists every entry: the folder holds only what we installed.
Result<void> checkContents(const QString& folder) {
    const QString marker = QDir(folder).filePath(kPortableMarker);
    if (isSymlinkOrMissing(marker)) return refusal(folder, QStringLiteral("it has no Loomcast marker file"));
    QFile markerFile(marker);
    if (!markerFile.open(QIODevice::ReadOnly) ||
        QString::fromUtf8(markerFile.read(256)).trimmed() != QLatin1String(kApplicationId))
        return refusal(folder, QStringLiteral("its marker file does not hold %1").arg(kApplicationId));
    auto manifest = readManifest(folder);
    if (!manifest) return manifest.error();
    QSet<QString> listed(manifest->begin(), manifest->end());
    listed << QString::fromLatin1(kPortableMarker) << QString::fromLatin1(kPortableManifest);
    const QDir root(folder);
    // Symbolic links inside are entries of their own and are never followed.
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString relative = root.relativeFilePath(it.next());
        if (!listed.contains(relative))
            return refusal(folder, QStringLiteral("\"%1\" was not installed by Loomcast").arg(relative));
    }
    return {};
}

// Removes what the manifest lists, deepest first; a folder that still holds anything it did not
// list stays, and so does everything inside it.
void takeApart(const QString& folder) {
    auto manifest = readManifest(folder);
    QStringList paths = manifest ? *manifest : QStringList{};
    paths << QString::fromLatin1(kPortableMarker) << QString::fromLatin1(kPortableManifest);
    std::sort(paths.begin(), paths.end(), [](const QString& a, const QString& b) {
        const auto da = a.count(u'/'), db = b.count(u'/');
        return da != db ? da > db : a > b;
    });
    for (const QString& relative : paths) {
        const QByteArray path = QFile::encodeName(QDir(folder).filePath(relative));
        struct stat st {};
        if (::lstat(path.constData(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode))
            ::rmdir(path.constData());
        else
            ::unlink(path.constData());
    }
    ::rmdir(QFile::encodeName(folder).constData());
}

// Swaps two paths atomically; falls back to two renames where exchange is unsupported.
bool exchange(const QString& a, const QString& b, QString* why) {
    const QByteArray pa = QFile::encodeName(a), pb = QFile::encodeName(b);
    if (::renameat2(AT_FDCWD, pa.constData(), AT_FDCWD, pb.constData(), RENAME_EXCHANGE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) {
        *why = errnoText();
        return false;
    }
    const QByteArray aside = QFile::encodeName(b + QStringLiteral(".old-update"));
    if (::rename(pb.constData(), aside.constData()) != 0) {
        *why = errnoText();
        return false;
    }
    if (::rename(pa.constData(), pb.constData()) != 0) {
        *why = errnoText();
        ::rename(aside.constData(), pb.constData());
        return false;
    }
    ::rename(aside.constData(), pa.constData());
    return true;
}

} // namespace

Result<QString> checkOwnFolder(const QString& folder) {
    const QFileInfo info(folder);
    const QString canonical = info.canonicalFilePath();
    if (canonical.isEmpty() || !QFileInfo(canonical).isDir())
        return refusal(folder, QStringLiteral("it is not a folder"));
    if (isSystemFolder(canonical)) return refusal(canonical, QStringLiteral("it is a system folder"));
    // Resolved, so that a home folder reached through a link is recognised too.
    const QString home = QFileInfo(QDir::homePath()).canonicalFilePath();
    if (!home.isEmpty() && isAncestorOrSelf(canonical, home))
        return refusal(canonical, QStringLiteral("it is the home folder or holds it"));
    if (auto contents = checkContents(canonical); !contents) return contents.error();
    return canonical;
}

std::optional<InstallLayout> portableLayoutFor(const QString& executablePath) {
    const QString exe = QFileInfo(executablePath).canonicalFilePath();
    if (exe.isEmpty()) return std::nullopt;
    QDir dir = QFileInfo(exe).absoluteDir();
    if (dir.dirName() == u"bin") dir.cdUp();
    auto folder = checkOwnFolder(dir.absolutePath());
    if (!folder) return std::nullopt;
    return InstallLayout{*folder, QDir(*folder).relativeFilePath(exe)};
}

FolderSwap::FolderSwap(FolderSwap&& other) noexcept
    : folder_(std::move(other.folder_)), staging_(std::move(other.staging_)), done_(other.done_) {
    other.done_ = true;
}

FolderSwap::~FolderSwap() {
    if (!done_) (void)rollback();
}

Result<FolderSwap> FolderSwap::swapIn(const QString& packagePath, const InstallLayout& layout) {
    auto own = checkOwnFolder(layout.folder);
    if (!own) return own.error();
    const QString folder = *own;
    const QString parent = QFileInfo(folder).absolutePath();
    if (::access(QFile::encodeName(parent).constData(), W_OK) != 0)
        return installError(QStringLiteral("%1 is not writable.").arg(parent));

    QByteArray pattern = QFile::encodeName(
        QDir(parent).filePath(QStringLiteral(".%1.update-XXXXXX").arg(QFileInfo(folder).fileName())));
    if (!::mkdtemp(pattern.data())) return installError(errnoText());
    const QString staging = QFile::decodeName(pattern);
    const QString unpacked = QDir(staging).filePath(kPortableTopFolder);
    // Before the swap the private folder holds only what tar unpacked into it (links are removed,
    // never followed), so it may go as a whole.
    auto discard = [&] { QDir(staging).removeRecursively(); };

    QProcess tar;
    tar.setProgram(QStringLiteral("tar"));
    tar.setArguments({QStringLiteral("-xzf"), packagePath, QStringLiteral("-C"), staging,
                      QStringLiteral("--no-same-owner"), QStringLiteral("--no-overwrite-dir")});
    tar.start();
    const bool finished = tar.waitForStarted() && tar.waitForFinished(kUnpackTimeoutMs);
    if (!finished || tar.exitStatus() != QProcess::NormalExit || tar.exitCode() != 0) {
        const QString why =
            !finished ? QStringLiteral("unpacking did not finish") : firstLine(tar.readAllStandardError());
        tar.kill();
        tar.waitForFinished(1000);
        discard();
        return installError(QStringLiteral("the package could not be unpacked (%1).").arg(why));
    }

    const QStringList top =
        QDir(staging).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    if (top != QStringList{QString::fromLatin1(kPortableTopFolder)} || isSymlinkOrMissing(unpacked) ||
        !QFileInfo(unpacked).isDir()) {
        discard();
        return installError(
            QStringLiteral("the package does not hold one folder \"%1\".").arg(kPortableTopFolder));
    }
    if (auto contents = checkContents(unpacked); !contents) {
        discard();
        return installError(QStringLiteral("the package is not a portable folder."));
    }
    const QFileInfo newExe(QDir(unpacked).filePath(layout.executable));
    if (!newExe.isFile() || !newExe.isExecutable() ||
        !newExe.canonicalFilePath().startsWith(QFileInfo(unpacked).canonicalFilePath() + u'/')) {
        discard();
        return installError(QStringLiteral("the package does not contain %1.").arg(layout.executable));
    }

    struct stat st {};
    if (::stat(QFile::encodeName(folder).constData(), &st) == 0)
        ::chmod(QFile::encodeName(unpacked).constData(), st.st_mode & 07777);

    // Checked again right before the swap, links resolved afresh: the folder may have changed
    // while the package was unpacked.
    auto still = checkOwnFolder(folder);
    if (!still || *still != folder) {
        discard();
        return still ? refusal(folder, QStringLiteral("it moved during the install")) : still.error();
    }
    QString why;
    if (!exchange(unpacked, folder, &why)) {
        discard();
        return installError(QStringLiteral("%1 could not be replaced (%2).").arg(folder, why));
    }
    return FolderSwap(folder, staging);
}

void FolderSwap::commit() {
    if (done_) return;
    done_ = true;
    takeApart(QDir(staging_).filePath(kPortableTopFolder));
    ::rmdir(QFile::encodeName(staging_).constData());
}

Result<void> FolderSwap::rollback() {
    if (done_) return {};
    done_ = true;
    const QString old = QDir(staging_).filePath(kPortableTopFolder);
    QString why;
    if (!exchange(old, folder_, &why))
        return installError(
            QStringLiteral("the previous version could not be put back (%1); it is in %2.").arg(why, old));
    takeApart(old);
    ::rmdir(QFile::encodeName(staging_).constData());
    return {};
}

Result<void> installPackage(const QString& packagePath, const InstallLayout& layout) {
    auto swap = FolderSwap::swapIn(packagePath, layout);
    if (!swap) return swap.error();
    swap->commit();
    return {};
}

bool relaunchAfterExit(qint64 pid, const QString& executable, const QStringList& arguments) {
    // A small shell waits for the old process so that two copies never run at once.
    QStringList args{
        QStringLiteral("-c"),
        QStringLiteral("while kill -0 \"$1\" 2>/dev/null; do sleep 0.2; done; shift; exec \"$@\""),
        QStringLiteral("loomcast-relaunch"), QString::number(pid), executable};
    args += arguments;
    return QProcess::startDetached(QStringLiteral("/bin/sh"), args);
}

} // namespace lc::update
