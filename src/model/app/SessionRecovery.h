#pragma once
// Sessions that did not end cleanly. While a session records, its folder holds a marker file
// that the recording process keeps locked; a clean stop removes it. A marker nobody holds means
// the process died: its files are finished in place (what survived, a torn last fragment cut
// off), renamed with their offsets as a stop would, and the manifest is completed with the
// real durations.
//
// Recovery touches nothing outside the session folder, follows no links, and deletes nothing but
// the marker: a file it cannot use is left where it is and only left out of the manifest.
// Blocking file I/O on the caller's thread.
#include "common/Result.h"
#include "common/UniqueFd.h"
#include "platform/MovieFinisher.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

namespace lc {

// The marker of a session being recorded, held (locked) by the recording process.
class SessionMarker {
public:
    static const QString& fileName(); // ".recording"

    // Creates and locks the marker in `folder` (synced with the folder).
    static Result<SessionMarker> create(const QString& folder);
    SessionMarker() = default;
    SessionMarker(SessionMarker&&) = default;
    SessionMarker& operator=(SessionMarker&&) = default;
    // Dropping a marker that was not removed leaves it: the session then counts as unfinished.
    ~SessionMarker() = default;

    bool held() const { return bool(fd_); }
    // The clean end of the session: the marker goes (the folder synced), the lock with it.
    void remove();

private:
    QString path_;
    UniqueFd fd_;
};

// What recovery needs from the media back end.
struct RecoveryMedia {
    // Finishes a fragmented file in place (platform/MovieFinisher.h).
    std::function<Result<FinishedMovie>(const std::string& path)> finish;
    // The length in seconds of a file that is plain already (its main track).
    std::function<Result<double>(const std::string& path)> length;
};

struct RecoveredSession {
    QString folder;
    QDateTime started;   // the session's start (local time), invalid when unknown
    int files = 0;       // files described by the completed manifest
    double seconds = 0;  // end of the last of them on the shared clock
    QStringList skipped; // "<file>: <reason>", one per file left out
};

// Folders directly inside `root` (links not followed) that hold a marker, oldest name first.
QStringList unfinishedSessions(const QString& root);

// Recovers one folder. Fails, leaving the folder as it was, for a folder without a marker,
// one still being recorded, one without a readable manifest or with file names that are not
// plain names; and, with the marker kept for another try, when a file cannot be read or written.
Result<RecoveredSession> recoverSession(const QString& folder, const RecoveryMedia& media);

// "recovered FOLDER: N files, D s" or "recover FAILED: FOLDER: <reason>".
QString recoveryLine(const QString& folder, const Result<RecoveredSession>& outcome);

// "Recovered the session of <date and time> after an unexpected exit."
QString recoveryNotice(const RecoveredSession& session);

} // namespace lc
