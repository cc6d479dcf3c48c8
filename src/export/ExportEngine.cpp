#include "export/ExportEngine.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>

namespace lc::ExportEngine {

QStringList recentSessions(const QString& sessionsRoot, int limit) {
    if (sessionsRoot.isEmpty() || limit <= 0) return {};
    const QDir root(sessionsRoot);
    // Hidden entries count too; a missing or unreadable root gives nothing.
    const QStringList names =
        root.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::NoSort);
    QStringList kept;
    for (const QString& name : names) {
        const QString child = root.filePath(name);
        if (QFileInfo::exists(QDir(child).filePath(QStringLiteral("session.json")))) kept.push_back(name);
    }
    std::sort(kept.begin(), kept.end(), [](const QString& a, const QString& b) { return a > b; });
    QStringList out;
    for (const QString& name : kept) {
        if (out.size() >= limit) break;
        out.push_back(root.filePath(name));
    }
    return out;
}

QString uniqueOutput(const QString& folder) {
    const QDir dir(folder);
    QString candidate = dir.filePath(QStringLiteral("Loomcast Final.mp4"));
    // A dangling link is something too: it must not be written through.
    for (int n = 2; QFileInfo::exists(candidate) || QFileInfo(candidate).isSymLink(); ++n)
        candidate = dir.filePath(QStringLiteral("Loomcast Final %1.mp4").arg(n));
    return candidate;
}

} // namespace lc::ExportEngine
