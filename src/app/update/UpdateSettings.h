#pragma once
// The updater's own remembered choices, kept in "updates.json" in the state folder.
#include <QString>

namespace lc::update {

struct UpdateSettings {
    bool autoInstall = false;  // off by default
    QString skippedVersion;    // "Skip This Version"; scheduled checks pass it by
    qint64 lastCheckEpoch = 0; // seconds since 1970 of the last check that ran
};

// The default file: the state folder ("~/.local/share/Loomcast") plus "updates.json".
QString defaultUpdateSettingsPath();

// Missing or unreadable files give the defaults; saving is best-effort and atomic.
UpdateSettings loadUpdateSettings(const QString& path);
void saveUpdateSettings(const QString& path, const UpdateSettings& settings);

} // namespace lc::update
