#include "common/Files.h"

#include "common/UniqueFd.h"

#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace lc {

namespace {

Error systemError(const QString& what, const QString& path, int err) {
    return makeError((what + QStringLiteral(" ") + path + QStringLiteral(": ")).toStdString() +
                     std::strerror(err));
}

Result<void> writeAll(int fd, const QByteArray& bytes, const QString& path) {
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, static_cast<size_t>(left));
        if (n < 0) {
            if (errno == EINTR) continue;
            return systemError(QStringLiteral("Cannot write"), path, errno);
        }
        data += n;
        left -= n;
    }
    return {};
}

} // namespace

Result<void> writeFileDurably(const QString& path, const QByteArray& bytes) {
    const QFileInfo info(path);
    const QByteArray folder = QFile::encodeName(info.absolutePath());
    const QByteArray target = QFile::encodeName(info.absoluteFilePath());

    // A name of our own next to the target: the rename then stays within one file system.
    std::random_device random;
    const QByteArray temp = target + ".tmp-" + QByteArray::number(::getpid()) + "-" +
                            QByteArray::number(static_cast<quint32>(random()), 16);
    const QString tempName = QFile::decodeName(temp);

    UniqueFd fd(::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd) return systemError(QStringLiteral("Cannot create"), tempName, errno);
    auto fail = [&](Error error) -> Result<void> {
        fd.reset();
        ::unlink(temp.constData());
        return error;
    };
    if (auto written = writeAll(fd.get(), bytes, path); !written) return fail(written.error());
    if (::fsync(fd.get()) != 0) return fail(systemError(QStringLiteral("Cannot sync"), path, errno));
    // close() can report a deferred write error (NFS, some FUSE file systems).
    if (::close(fd.release()) != 0) return fail(systemError(QStringLiteral("Cannot write"), path, errno));
    if (::rename(temp.constData(), target.constData()) != 0)
        return fail(systemError(QStringLiteral("Cannot replace"), path, errno));

    // The rename is durable only once the folder's entry is on disk.
    if (UniqueFd dir(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); dir) ::fsync(dir.get());
    return {};
}

bool writeFileAtomically(const QString& path, const QByteArray& bytes) {
    return writeFileDurably(path, bytes).ok();
}

} // namespace lc
