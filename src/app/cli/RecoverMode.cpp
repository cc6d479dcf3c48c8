#include "app/cli/RecoverMode.h"

#include "app/cli/CommandLine.h"
#include "model/app/Console.h"

#include <QDir>
#include <QFileInfo>
#include <cstdio>

namespace lc::cli {

std::optional<RecoverRequest> recoverArgument(const QStringList& arguments) {
    if (!has(arguments, QStringLiteral("--recover"))) return std::nullopt;
    RecoverRequest r;
    if (const auto v = value(arguments, QStringLiteral("--recover"));
        v && !v->startsWith(QLatin1String("--")))
        r.folder = *v;
    return r;
}

namespace {

// Recovers one folder and prints what became of it; whether it worked.
bool recoverAndReport(const QString& folder, const RecoveryMedia& media) {
    const auto outcome = recoverSession(folder, media);
    if (outcome)
        for (const QString& skipped : outcome->skipped)
            printLine(QStringLiteral("skipped ") + QDir(folder).filePath(skipped));
    printLine(recoveryLine(folder, outcome));
    return bool(outcome);
}

} // namespace

int runRecoverMode(const RecoverRequest& request, const QString& sessionsRoot, const RecoveryMedia& media) {
    const QStringList folders =
        request.folder ? QStringList{*request.folder} : unfinishedSessions(sessionsRoot);
    bool failed = false;
    for (const QString& folder : folders)
        failed = !recoverAndReport(folder, media) || failed;
    if (folders.isEmpty()) printLine(QStringLiteral("no unfinished session in ") + sessionsRoot);
    return failed ? 1 : 0;
}

void recoverBeforeExport(const QString& folder, const RecoveryMedia& media) {
    if (QFileInfo::exists(QDir(folder).filePath(SessionMarker::fileName()))) recoverAndReport(folder, media);
}

std::vector<RecoveredSession> recoverAtLaunch(const QString& sessionsRoot, const RecoveryMedia& media) {
    std::vector<RecoveredSession> out;
    for (const QString& folder : unfinishedSessions(sessionsRoot)) {
        auto outcome = recoverSession(folder, media);
        if (!outcome) {
            std::fprintf(stderr, "%s\n", qPrintable(recoveryLine(folder, outcome)));
            continue;
        }
        out.push_back(std::move(*outcome));
    }
    return out;
}

} // namespace lc::cli
