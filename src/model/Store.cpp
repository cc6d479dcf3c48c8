#include "model/Store.h"

#include "common/Files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QStandardPaths>

namespace lc::Store {

namespace {

QMutex& overrideLock() {
    static QMutex m;
    return m;
}

std::optional<QString>& overrideDir() {
    static std::optional<QString> dir;
    return dir;
}

// Copies a file or a whole folder under `to`; each failure is skipped on its own.
void copyItem(const QString& from, const QString& to) {
    const QFileInfo info(from);
    if (info.isDir() && !info.isSymLink()) {
        if (!QDir().mkpath(to)) return;
        const QDir src(from);
        for (const QString& name :
             src.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
            copyItem(src.filePath(name), QDir(to).filePath(name));
        }
    } else {
        QFile::copy(from, to);
    }
}

void migrateLegacy(const QString& base, const QString& target) {
    const QDir legacy(QDir(base).filePath(QStringLiteral("Vitrex")));
    if (!legacy.exists()) return;
    for (const QString& name :
         legacy.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        copyItem(legacy.filePath(name), QDir(target).filePath(name));
    }
}

} // namespace

QString baseDir() {
    {
        QMutexLocker lock(&overrideLock());
        if (overrideDir()) return *overrideDir();
    }
    const QString env = qEnvironmentVariable("LOOMCAST_DATA_HOME");
    if (!env.isEmpty()) return env;
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
}

void setBaseDirOverride(std::optional<QString> dir) {
    QMutexLocker lock(&overrideLock());
    overrideDir() = std::move(dir);
}

QString dir() {
    const QString base = baseDir();
    const QString path = QDir(base).filePath(QStringLiteral("Loomcast"));
    if (QFileInfo::exists(path) || QFileInfo(path).isSymLink()) return path;
    if (!QDir().mkpath(path)) return path;
    migrateLegacy(base, path);
    return path;
}

QString statePath() {
    return QDir(dir()).filePath(QStringLiteral("state.json"));
}

void save(const AppState& state) {
    writeFileAtomically(statePath(), state.encode());
}

AppState load() {
    QFile file(statePath());
    if (!file.open(QIODevice::ReadOnly)) return AppState{};
    return AppState::decode(file.readAll()).value_or(AppState{});
}

} // namespace lc::Store
