#include "app/update/UpdateConfig.h"

#include "app/update/UpdateErrors.h"
#include "app/update/UpdateNetwork.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace lc::update {

Result<UpdateConfig> parseUpdateConfig(const QByteArray& text, const QString& path) {
    const QString where = path.isEmpty() ? QStringLiteral("update configuration") : path;
    auto fail = [&](const QString& why) {
        return makeError(QStringLiteral("%1: %2").arg(where, why).toStdString(), kErrorNotConfigured);
    };
    UpdateConfig config;
    config.path = path;
    bool haveUrl = false, haveKey = false;
    int lineNumber = 0;
    for (const QByteArray& rawLine : text.split('\n')) {
        ++lineNumber;
        const QString line = QString::fromUtf8(rawLine).trimmed();
        if (line.isEmpty() || line.startsWith(u'#')) continue;
        const qsizetype eq = line.indexOf(u'=');
        if (eq <= 0) return fail(QStringLiteral("line %1 is not \"key = value\"").arg(lineNumber));
        const QString key = line.left(eq).trimmed();
        const QString value = line.mid(eq + 1).trimmed();
        if (key == u"feedUrl") {
            config.feedUrl = QUrl(value, QUrl::StrictMode);
            if (!config.feedUrl.isValid() || !isAllowedUpdateUrl(config.feedUrl))
                return fail(QStringLiteral("feedUrl must be an https address"));
            haveUrl = true;
        } else if (key == u"publicKey") {
            auto decoded =
                QByteArray::fromBase64Encoding(value.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
            if (!decoded || decoded.decoded.size() != 32)
                return fail(QStringLiteral("publicKey must be a base64 Ed25519 public key (32 bytes)"));
            config.publicKey = decoded.decoded;
            haveKey = true;
        } else if (key == u"checkIntervalHours") {
            bool ok = false;
            const qint64 hours = value.toLongLong(&ok);
            if (!ok || hours < 0 || hours > 24 * 366)
                return fail(QStringLiteral("checkIntervalHours must be a whole number of hours"));
            config.checkInterval =
                hours == 0 ? std::chrono::seconds{0}
                           : std::max<std::chrono::seconds>(std::chrono::hours{hours}, kMinimumCheckInterval);
        } else if (key == u"packageManaged") {
            if (value != u"true" && value != u"false")
                return fail(QStringLiteral("packageManaged must be true or false"));
            config.packageManaged = value == u"true";
        }
        // Unknown keys are left for newer versions of the application.
    }
    if (config.packageManaged) return config;
    if (!haveUrl) return fail(QStringLiteral("feedUrl is missing"));
    if (!haveKey) return fail(QStringLiteral("publicKey is missing"));
    return config;
}

Result<UpdateConfig> loadUpdateConfig(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return makeError(QStringLiteral("%1: %2").arg(path, file.errorString()).toStdString(),
                         kErrorNotConfigured);
    return parseUpdateConfig(file.read(64 * 1024), path);
}

QStringList updateConfigCandidates(const QString& executablePath) {
    const QDir exeDir = QFileInfo(executablePath).absoluteDir();
    QStringList candidates{exeDir.filePath(kConfigFileName)};
    if (exeDir.dirName() == u"bin") {
        candidates << QDir::cleanPath(exeDir.filePath(QStringLiteral("../") + kConfigFileName));
        // An installation into any prefix: <prefix>/share/loomcast.
        candidates << QDir::cleanPath(
            exeDir.filePath(QStringLiteral("../share/loomcast/") + kConfigFileName));
    }
    for (const QString& dir : QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation))
        candidates << QDir(dir).filePath(QStringLiteral("loomcast/") + kConfigFileName);
    return candidates;
}

std::optional<QString> findUpdateConfig(const QString& executablePath) {
    for (const QString& candidate : updateConfigCandidates(executablePath))
        if (QFileInfo(candidate).isFile()) return candidate;
    return std::nullopt;
}

} // namespace lc::update
