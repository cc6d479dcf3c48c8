#include "app/update/UpdateSettings.h"

#include "common/Files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

namespace lc::update {

QString defaultUpdateSettingsPath() {
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return QDir(base).filePath(QStringLiteral("Loomcast/updates.json"));
}

UpdateSettings loadUpdateSettings(const QString& path) {
    UpdateSettings settings;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return settings;
    const QJsonObject o = QJsonDocument::fromJson(file.read(64 * 1024)).object();
    if (o.value(QStringLiteral("autoInstall")).isBool())
        settings.autoInstall = o.value(QStringLiteral("autoInstall")).toBool();
    const QString skipped = o.value(QStringLiteral("skippedVersion")).toString();
    if (skipped.size() <= 100) settings.skippedVersion = skipped;
    const double last = o.value(QStringLiteral("lastCheckEpoch")).toDouble();
    if (last > 0 && last < 1e11) settings.lastCheckEpoch = static_cast<qint64>(last);
    return settings;
}

void saveUpdateSettings(const QString& path, const UpdateSettings& settings) {
    if (path.isEmpty()) return;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QJsonObject o;
    o.insert(QStringLiteral("autoInstall"), settings.autoInstall);
    o.insert(QStringLiteral("skippedVersion"), settings.skippedVersion);
    o.insert(QStringLiteral("lastCheckEpoch"), static_cast<double>(settings.lastCheckEpoch));
    writeFileAtomically(path, QJsonDocument(o).toJson());
}

} // namespace lc::update
