#include "app/update/Appcast.h"

#include "app/update/UpdateErrors.h"
#include "app/update/Version.h"

#include <QXmlStreamReader>

namespace lc::update {
namespace {

constexpr qsizetype kMaxVersionLength = 100;
constexpr size_t kMaxItems = 10000;

QString oneLine(QString s) {
    s.replace(u'\n', u' ').replace(u'\r', u' ');
    return s.simplified();
}

Error malformed(const QString& why) {
    return makeError(QStringLiteral("The update feed is not valid: %1.").arg(oneLine(why)).toStdString(),
                     kErrorFeedMalformed);
}

bool isSparkle(const QXmlStreamReader& r) {
    return r.namespaceUri() == QLatin1String(kSparkleNamespace);
}

QUrl resolve(const QUrl& base, const QString& text) {
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    if (!url.isValid() || text.trimmed().isEmpty()) return {};
    return base.isValid() ? base.resolved(url) : url;
}

struct ItemReading {
    AppcastItem item;
    bool otherOs = false;
    bool onChannel = false;
};

// Reads one <item> up to its end tag.
void readItem(QXmlStreamReader& r, const QUrl& feedUrl, ItemReading& out) {
    AppcastItem& item = out.item;
    while (r.readNextStartElement()) {
        const auto name = r.name();
        if (!isSparkle(r) && r.namespaceUri().isEmpty() && name == u"title") {
            item.title = oneLine(r.readElementText(QXmlStreamReader::IncludeChildElements));
        } else if (r.namespaceUri().isEmpty() && name == u"description") {
            item.description = r.readElementText(QXmlStreamReader::IncludeChildElements).trimmed();
        } else if (isSparkle(r) && name == u"version") {
            item.version = r.readElementText(QXmlStreamReader::IncludeChildElements).trimmed();
        } else if (isSparkle(r) && name == u"shortVersionString") {
            item.shortVersion = oneLine(r.readElementText(QXmlStreamReader::IncludeChildElements));
        } else if (isSparkle(r) && name == u"releaseNotesLink") {
            item.releaseNotesUrl =
                resolve(feedUrl, r.readElementText(QXmlStreamReader::IncludeChildElements));
        } else if (isSparkle(r) && name == u"channel") {
            out.onChannel = true;
            r.skipCurrentElement();
        } else if (r.namespaceUri().isEmpty() && name == u"enclosure") {
            const auto a = r.attributes();
            item.url = resolve(feedUrl, a.value(QStringLiteral("url")).toString());
            bool ok = false;
            const qint64 length = a.value(QStringLiteral("length")).toLongLong(&ok);
            item.length = ok && length > 0 ? length : 0;
            const QString sparkle = QString::fromLatin1(kSparkleNamespace);
            if (a.hasAttribute(sparkle, QStringLiteral("version")))
                item.version = a.value(sparkle, QStringLiteral("version")).toString().trimmed();
            if (a.hasAttribute(sparkle, QStringLiteral("shortVersionString")))
                item.shortVersion =
                    oneLine(a.value(sparkle, QStringLiteral("shortVersionString")).toString());
            item.edSignature = a.value(sparkle, QStringLiteral("edSignature")).toString().trimmed();
            if (a.hasAttribute(sparkle, QStringLiteral("os"))) {
                const auto os = a.value(sparkle, QStringLiteral("os"));
                out.otherOs = os.compare(QLatin1String("linux"), Qt::CaseInsensitive) != 0;
            }
            r.skipCurrentElement();
        } else {
            r.skipCurrentElement();
        }
    }
}

bool usable(const ItemReading& reading) {
    const AppcastItem& item = reading.item;
    return !reading.otherOs && !reading.onChannel && !item.version.isEmpty() &&
           item.version.size() <= kMaxVersionLength && item.shortVersion.size() <= kMaxVersionLength &&
           item.url.isValid() && !item.url.isEmpty();
}

} // namespace

Result<std::vector<AppcastItem>> parseAppcast(const QByteArray& xml, const QUrl& feedUrl) {
    QXmlStreamReader r(xml);
    std::vector<AppcastItem> items;
    bool sawRss = false;
    while (!r.atEnd()) {
        const auto token = r.readNext();
        if (token == QXmlStreamReader::DTD)
            return malformed(QStringLiteral("document type declarations are not allowed"));
        if (token == QXmlStreamReader::EntityReference)
            return malformed(QStringLiteral("unknown entity \"%1\"").arg(r.name()));
        if (token != QXmlStreamReader::StartElement) continue;
        if (!sawRss) {
            if (r.name() != u"rss") return malformed(QStringLiteral("the document is not an RSS feed"));
            sawRss = true;
            continue;
        }
        if (r.namespaceUri().isEmpty() && r.name() == u"item") {
            ItemReading reading;
            readItem(r, feedUrl, reading);
            if (r.hasError()) break;
            if (usable(reading) && items.size() < kMaxItems) items.push_back(std::move(reading.item));
        }
    }
    if (r.hasError())
        return malformed(QStringLiteral("%1 at line %2").arg(r.errorString()).arg(r.lineNumber()));
    if (!sawRss) return malformed(QStringLiteral("the document is empty"));
    return items;
}

Result<std::optional<AppcastItem>> chooseUpdate(const std::vector<AppcastItem>& items,
                                                const QString& currentVersion,
                                                const QString& skippedVersion) {
    const AppcastItem* newest = nullptr;
    const AppcastItem* best = nullptr;
    for (const AppcastItem& item : items) {
        if (!newest || compareVersions(item.version, newest->version) > 0) newest = &item;
        if (compareVersions(item.version, currentVersion) <= 0) continue;
        if (!skippedVersion.isEmpty() && compareVersions(item.version, skippedVersion) <= 0) continue;
        if (!best || compareVersions(item.version, best->version) > 0) best = &item;
    }
    if (best) return std::optional<AppcastItem>(*best);
    if (!newest) return makeError("The update feed lists no updates for this system.", kErrorFeedEmpty);
    if (compareVersions(newest->version, currentVersion) < 0)
        return makeError(
            QStringLiteral("The update feed offers only Loomcast %1, older than this version (%2); "
                           "nothing was installed.")
                .arg(newest->displayVersion(), currentVersion)
                .toStdString(),
            kErrorDowngrade);
    return std::optional<AppcastItem>{};
}

} // namespace lc::update
