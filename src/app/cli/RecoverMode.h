#pragma once
// Recovering sessions that did not end cleanly: the "--recover [FOLDER]" mode (one line per
// session on standard output, exit code 0, or 1 when any failed) and the quiet pass the
// application makes over the sessions folder when it starts.
#include "model/app/SessionRecovery.h"

#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

namespace lc::cli {

// Whether "--recover" is given, and the folder after it when there is one.
struct RecoverRequest {
    std::optional<QString> folder; // absent: every unfinished session under the sessions folder
};
std::optional<RecoverRequest> recoverArgument(const QStringList& arguments);

int runRecoverMode(const RecoverRequest& request, const QString& sessionsRoot, const RecoveryMedia& media);

// A folder that a dying process left unfinished is recovered before it is exported, as the next
// launch would: one line on standard output, the recovery's or its failure's. Nothing for a
// folder without a marker.
void recoverBeforeExport(const QString& folder, const RecoveryMedia& media);

// Every unfinished session under `sessionsRoot`, recovered; the ones that worked, in order.
// Failures are written to standard error, one line each.
std::vector<RecoveredSession> recoverAtLaunch(const QString& sessionsRoot, const RecoveryMedia& media);

} // namespace lc::cli
