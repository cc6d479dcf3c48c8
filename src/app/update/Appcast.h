#pragma once
// The update feed: an RSS document in the widespread "sparkle" appcast dialect.
#include "common/Result.h"

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <optional>
#include <vector>

namespace lc::update {

inline constexpr const char* kSparkleNamespace = "http://www.andymatuschak.org/xml-namespaces/sparkle";

struct AppcastItem {
    QString title;
    QString version;      // compared with the running version
    QString shortVersion; // shown to people; may be empty
    QUrl releaseNotesUrl;
    QString description; // release notes as HTML; may be empty
    QUrl url;            // the package
    qint64 length = 0;   // announced size in bytes; 0 when not given
    QString edSignature; // base64 Ed25519 signature of the package; empty when unsigned

    QString displayVersion() const { return shortVersion.isEmpty() ? version : shortVersion; }
};

// Reads every installable item for this system: items with a version and an enclosure URL,
// not meant for another OS ("sparkle:os") and on no beta channel. Relative URLs are taken
// against feedUrl. Documents with a DTD are refused: a feed needs no entities, and refusing
// them rules out entity expansion and external entities.
Result<std::vector<AppcastItem>> parseAppcast(const QByteArray& xml, const QUrl& feedUrl = {});

// The newest item newer than currentVersion, skipping skippedVersion and anything older.
// No item newer: nullopt when the feed's newest equals the running version, an error
// (downgrade) when the feed offers only older versions or nothing at all.
Result<std::optional<AppcastItem>> chooseUpdate(const std::vector<AppcastItem>& items,
                                                const QString& currentVersion,
                                                const QString& skippedVersion = {});

} // namespace lc::update
