#include "app/update/UpdateInstaller.h"

#include "app/update/UpdateConfig.h"
#include "app/update/UpdateErrors.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lc::update {
namespace {

constexpr int kUnpackTimeoutMs = 10 * 60 * 1000;

Error installError(const QString& why) {
    return makeError(QStringLiteral("The update could not be installed: %1").arg(why).toStdString(),
                     kErrorInstallFailed);
}

QString firstLine(const QByteArray& text) {
    const QString s = QString::fromLocal8Bit(text).trimmed();
    return s.section(u'\n', 0, 0).trimmed();
}

bool isSharedPrefix(const QString& folder) {
    static const QStringList shared{QStringLiteral("/"),          QStringLiteral("/usr"),
                                    QStringLiteral("/usr/local"), QStringLiteral("/opt"),
                                    QStringLiteral("/bin"),       QStringLiteral("/home"),
                                    QStringLiteral("/tmp"),       QStringLiteral("/var")};
    return shared.contains(folder) || folder == QDir::homePath() ||
           folder == QDir(QDir::homePath()).filePath(QStringLiteral(".local"));
}

// Swaps two paths atomically; falls back to two renames where exchange is unsupported.
bool exchange(const QString& a, const QString& b, QString* why) {
    const QByteArray pa = QFile::encodeName(a), pb = QFile::encodeName(b);
    if (::renameat2(AT_FDCWD, pa.constData(), AT_FDCWD, pb.constData(), RENAME_EXCHANGE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) {
        *why = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    // b is the installed folder, a the new one: move b aside, a into place, a's old name gets b.
    const QByteArray aside = QFile::encodeName(b + QStringLiteral(".old-update"));
    if (::rename(pb.constData(), aside.constData()) != 0) {
        *why = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    if (::rename(pa.constData(), pb.constData()) != 0) {
        *why = QString::fromLocal8Bit(std::strerror(errno));
        ::rename(aside.constData(), pb.constData());
        return false;
    }
    ::rename(aside.constData(), pa.constData());
    return true;
}

} // namespace

std::optional<InstallLayout> installLayoutFor(const QString& executablePath, const QString& configPath) {
    const QFileInfo exe(executablePath);
    const QString config = QFileInfo(configPath).canonicalFilePath();
    if (config.isEmpty()) return std::nullopt;
    auto holdsConfig = [&](const QDir& dir) {
        return QFileInfo(dir.filePath(kConfigFileName)).canonicalFilePath() == config;
    };
    QDir folder = exe.absoluteDir();
    if (!holdsConfig(folder) && !(folder.dirName() == u"bin" && folder.cdUp() && holdsConfig(folder)))
        return std::nullopt;
    const QString canonical = QFileInfo(folder.absolutePath()).canonicalFilePath();
    if (canonical.isEmpty() || isSharedPrefix(canonical)) return std::nullopt;
    return InstallLayout{canonical, QDir(canonical).relativeFilePath(exe.canonicalFilePath())};
}

Result<void> installPackage(const QString& packagePath, const InstallLayout& layout) {
    const QFileInfo target(layout.folder);
    if (!target.isDir()) return installError(QStringLiteral("%1 is not a folder.").arg(layout.folder));
    const QString folder = target.canonicalFilePath();
    if (isSharedPrefix(folder)) return installError(QStringLiteral("%1 is a shared folder.").arg(folder));
    const QString parent = QFileInfo(folder).absolutePath();
    if (::access(QFile::encodeName(parent).constData(), W_OK) != 0)
        return installError(QStringLiteral("%1 is not writable.").arg(parent));

    QByteArray pattern =
        QFile::encodeName(QDir(parent).filePath(QStringLiteral(".%1.update-XXXXXX").arg(target.fileName())));
    if (!::mkdtemp(pattern.data())) return installError(QString::fromLocal8Bit(std::strerror(errno)));
    const QString staging = QFile::decodeName(pattern);
    auto discardStaging = [&] { QDir(staging).removeRecursively(); };

    QProcess tar;
    tar.setProgram(QStringLiteral("tar"));
    tar.setArguments({QStringLiteral("-xzf"), packagePath, QStringLiteral("-C"), staging,
                      QStringLiteral("--no-same-owner")});
    tar.start();
    const bool finished = tar.waitForStarted() && tar.waitForFinished(kUnpackTimeoutMs);
    if (!finished || tar.exitStatus() != QProcess::NormalExit || tar.exitCode() != 0) {
        const QString why =
            !finished ? QStringLiteral("unpacking did not finish") : firstLine(tar.readAllStandardError());
        tar.kill();
        tar.waitForFinished(1000);
        discardStaging();
        return installError(QStringLiteral("the package could not be unpacked (%1).").arg(why));
    }

    const QFileInfo newExe(QDir(staging).filePath(layout.executable));
    const QString stagingRoot = QFileInfo(staging).canonicalFilePath() + u'/';
    if (!newExe.isFile() || !newExe.isExecutable() || !newExe.canonicalFilePath().startsWith(stagingRoot)) {
        discardStaging();
        return installError(QStringLiteral("the package does not contain %1.").arg(layout.executable));
    }

    struct stat st {};
    if (::stat(QFile::encodeName(folder).constData(), &st) == 0)
        ::chmod(QFile::encodeName(staging).constData(), st.st_mode & 07777);

    QString why;
    if (!exchange(staging, folder, &why)) {
        discardStaging();
        return installError(QStringLiteral("%1 could not be replaced (%2).").arg(folder, why));
    }
    // The staging name now holds the old version.
    discardStaging();
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
