#include "model/app/SessionRecovery.h"

#include "capture/Timecode.h"
#include "session/Rounding.h"
#include "session/SessionDocument.h"
#include "session/SessionFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QRegularExpression>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

namespace lc {

namespace {

std::string errnoText(int err) {
    return std::strerror(err);
}

void syncFolder(const QString& folder) {
    if (UniqueFd dir(::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); dir)
        ::fsync(dir.get());
}

// A regular file directly in the folder, never through a link.
bool isRegularFile(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode);
}

bool exists(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

// A name that carries its offset already: "… (+0m03s).mov", "… (+0m03s) 2.mov".
bool hasOffsetName(const QString& file) {
    static const QRegularExpression offset(QStringLiteral(R"( \(\+\d+m\d{2}s\)( \d+)?(\.[^.]*)?$)"));
    return offset.match(file).hasMatch();
}

struct FileOutcome {
    QString name; // the file's name now
    double seconds = 0;
};

// Finishes one named file of the session. Nothing when it is to be left out (the reason in
// `skipped`); an error only when reading or writing failed.
Result<std::optional<FileOutcome>> recoverFile(const QDir& dir, const QString& file, double offset,
                                               const RecoveryMedia& media, QStringList& skipped) {
    QString name = file;
    if (!exists(dir.filePath(name))) {
        // A stop renamed it and died before the manifest said so.
        const QString renamed =
            SessionFiles::offsetName(file, offsetSuffix(offset), [](const QString&) { return false; });
        if (!hasOffsetName(file) && isRegularFile(dir.filePath(renamed))) {
            name = renamed;
        } else {
            skipped << file + QStringLiteral(": the file is missing");
            return std::optional<FileOutcome>{};
        }
    }
    const QString path = dir.filePath(name);
    if (!isRegularFile(path)) {
        skipped << name + QStringLiteral(": not a regular file");
        return std::optional<FileOutcome>{};
    }
    double seconds = 0;
    const auto finished = media.finish(QFile::encodeName(path).toStdString());
    if (finished.ok()) {
        seconds = finished->mainSeconds();
    } else {
        switch (FinishFailure(finished.error().code)) {
        case FinishFailure::alreadyPlain: {
            const auto length = media.length(QFile::encodeName(path).toStdString());
            if (!length) {
                skipped << name + QStringLiteral(": ") + QString::fromStdString(length.error().message);
                return std::optional<FileOutcome>{};
            }
            seconds = *length;
            break;
        }
        case FinishFailure::noMedia:
            skipped << name + QStringLiteral(": holds no complete second of media");
            return std::optional<FileOutcome>{};
        case FinishFailure::io:
            return makeError(finished.error().message);
        case FinishFailure::notFragmented:
        default:
            skipped << name + QStringLiteral(": ") + QString::fromStdString(finished.error().message);
            return std::optional<FileOutcome>{};
        }
    }
    return std::optional<FileOutcome>{FileOutcome{name, round3(seconds)}};
}

QString oneDecimal(double seconds) {
    return QString::number(seconds, 'f', 1);
}

} // namespace

// --- Marker ----------------------------------------------------------------------------------

const QString& SessionMarker::fileName() {
    static const QString name = QStringLiteral(".recording");
    return name;
}

Result<SessionMarker> SessionMarker::create(const QString& folder) {
    SessionMarker m;
    m.path_ = QDir(folder).filePath(fileName());
    const QByteArray path = QFile::encodeName(m.path_);
    m.fd_.reset(::open(path.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!m.fd_) return makeError("Cannot create " + path.toStdString() + ": " + errnoText(errno));
    // The lock tells a later launch that this session is alive; the kernel drops it with the
    // process, however it ends.
    if (::flock(m.fd_.get(), LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::unlink(path.constData());
        return makeError("Cannot lock " + path.toStdString() + ": " + errnoText(err));
    }
    ::fsync(m.fd_.get());
    syncFolder(folder);
    return m;
}

void SessionMarker::remove() {
    if (!fd_) return;
    ::unlink(QFile::encodeName(path_).constData());
    syncFolder(QFileInfo(path_).path());
    fd_.reset();
}

// --- Recovery --------------------------------------------------------------------------------

QStringList unfinishedSessions(const QString& root) {
    QStringList out;
    const QDir dir(root);
    const QStringList names = dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
    for (const QString& name : names) {
        const QString folder = dir.filePath(name);
        if (QFileInfo(folder).isSymLink()) continue;
        if (exists(QDir(folder).filePath(SessionMarker::fileName()))) out << folder;
    }
    return out;
}

Result<RecoveredSession> recoverSession(const QString& folder, const RecoveryMedia& media) {
    const QFileInfo info(folder);
    if (!info.isDir()) return makeError("not a folder");
    const QDir dir(folder);
    const QByteArray markerPath = QFile::encodeName(dir.filePath(SessionMarker::fileName()));
    UniqueFd marker(::open(markerPath.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!marker) {
        if (errno == ENOENT) return makeError("not an unfinished session (no recording marker)");
        return makeError("cannot open the recording marker: " + errnoText(errno));
    }
    struct stat st {};
    if (::fstat(marker.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return makeError("the recording marker is not a regular file");
    if (::flock(marker.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) return makeError("the session is still being recorded");
        return makeError("cannot lock the recording marker: " + errnoText(errno));
    }

    auto read = SessionDocument::read(folder);
    if (!read) return makeError("no usable session.json: " + read.error().message);
    SessionDocument doc = std::move(*read);
    if (auto names = checkFileNames(doc); !names) return names.error();
    // The export's reading leaves out what it does not use; the rewritten manifest keeps it.
    if (QFile raw(dir.filePath(QStringLiteral("session.json"))); raw.open(QIODevice::ReadOnly))
        doc.sessionStart = QJsonDocument::fromJson(raw.read(64 << 20))
                               .object()
                               .value(QLatin1String("sessionStart"))
                               .toString();

    RecoveredSession out;
    out.folder = folder;
    out.started = QDateTime::fromString(doc.sessionStart, Qt::ISODate).toLocalTime();

    QMap<QString, QString> renamedTo; // old name → name now, for the focus list
    std::vector<SessionRecording> kept;
    for (SessionRecording r : doc.recordings) {
        auto file = recoverFile(dir, r.file, r.startOffset, media, out.skipped);
        if (!file) return file.error();
        if (!*file) continue;
        QString name = (*file)->name;
        if (!hasOffsetName(name)) {
            if (auto renamed = SessionFiles::renameWithOffset(folder, name, offsetSuffix(r.startOffset)))
                name = *renamed;
        }
        renamedTo[r.file] = name;
        r.file = name;
        r.duration = (*file)->seconds;
        out.seconds = std::max(out.seconds, round3(r.startOffset + (*file)->seconds));
        kept.push_back(std::move(r));
    }
    doc.recordings = std::move(kept);

    if (doc.mic) {
        SessionMic& m = *doc.mic;
        auto file = recoverFile(dir, m.file, m.startOffset, media, out.skipped);
        if (!file) return file.error();
        if (!*file) {
            doc.mic.reset();
        } else {
            m.file = (*file)->name;
            m.duration = (*file)->seconds;
            if (m.file == QLatin1String("Mic.m4a")) {
                const QString renamed =
                    QStringLiteral("Mic ") + offsetSuffix(m.startOffset) + QStringLiteral(".m4a");
                if (!exists(dir.filePath(renamed)) &&
                    QFile::rename(dir.filePath(m.file), dir.filePath(renamed)))
                    m.file = renamed;
            }
            out.seconds = std::max(out.seconds, round3(m.startOffset + m.duration.value_or(0)));
        }
    }

    std::vector<FocusSwitch> focus;
    for (FocusSwitch f : doc.focus) {
        const auto it = renamedTo.constFind(f.file);
        if (it == renamedTo.constEnd()) continue;
        f.file = *it;
        focus.push_back(std::move(f));
    }
    doc.focus = std::move(focus);

    out.files = int(doc.recordings.size()) + (doc.mic ? 1 : 0);
    if (auto written = writeSessionDocument(folder, doc); !written)
        return makeError("cannot write session.json: " + written.error().message);
    if (::unlink(markerPath.constData()) != 0 && errno != ENOENT)
        return makeError("cannot remove the recording marker: " + errnoText(errno));
    syncFolder(folder);
    return out;
}

QString recoveryLine(const QString& folder, const Result<RecoveredSession>& outcome) {
    if (!outcome)
        return QStringLiteral("recover FAILED: %1: %2")
            .arg(folder, QString::fromStdString(outcome.error().message));
    return QStringLiteral("recovered %1: %2 files, %3 s")
        .arg(folder)
        .arg(outcome->files)
        .arg(oneDecimal(outcome->seconds));
}

QString recoveryNotice(const RecoveredSession& session) {
    const QString when = session.started.isValid()
                             ? session.started.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                             : QFileInfo(session.folder).fileName();
    return QStringLiteral("Recovered the session of %1 after an unexpected exit.").arg(when);
}

} // namespace lc
