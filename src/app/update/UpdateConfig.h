#pragma once
// The update configuration installed with the application: where the feed lives, which key
// signs the packages and how often to look. It is data, so a build never carries these.
#include "common/Result.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <chrono>
#include <optional>

namespace lc::update {

inline constexpr const char* kConfigFileName = "loomcast-update.conf";
inline constexpr std::chrono::hours kMinimumCheckInterval{24};

struct UpdateConfig {
    QUrl feedUrl;
    QByteArray publicKey; // raw Ed25519 public key, 32 bytes
    // Time between scheduled checks; never less than a day. Zero: manual checks only.
    std::chrono::seconds checkInterval = kMinimumCheckInterval;
    QString path; // the file it was read from
    // Installed by a package: the system's package manager brings new versions, so nothing
    // checks, downloads or installs here, and no feed or key is needed.
    bool packageManaged = false;
};

// Parses "key = value" lines ('#' starts a comment): feedUrl (https), publicKey (base64),
// checkIntervalHours (optional, at least 24; 0 turns scheduled checks off); or
// packageManaged = true alone.
Result<UpdateConfig> parseUpdateConfig(const QByteArray& text, const QString& path = {});
Result<UpdateConfig> loadUpdateConfig(const QString& path);

// Where an installation keeps its configuration, most specific first: the application folder
// (beside the executable, or one level up when the executable sits in "bin"), then the
// installation prefix's share/loomcast, then the standard data folders
// ("loomcast/loomcast-update.conf").
QStringList updateConfigCandidates(const QString& executablePath);
std::optional<QString> findUpdateConfig(const QString& executablePath);

} // namespace lc::update
