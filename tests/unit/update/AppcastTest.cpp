#include "app/update/Appcast.h"
#include "UpdateTestSupport.h"
#include "app/update/UpdateErrors.h"

#include <QRandomGenerator>
#include <gtest/gtest.h>

using namespace lc::update;

namespace {

const QUrl kFeed(QStringLiteral("https://updates.example/linux/appcast.xml"));

const QByteArray kFeedText = R"XML(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle" xmlns:dc="http://purl.org/dc/elements/1.1/">
  <channel>
    <title>Loomcast</title>
    <item>
      <title>Version 1.3</title>
      <sparkle:version>130</sparkle:version>
      <sparkle:shortVersionString>1.3</sparkle:shortVersionString>
      <sparkle:releaseNotesLink>notes/1.3.html</sparkle:releaseNotesLink>
      <pubDate>Mon, 01 Jan 2024 10:00:00 +0000</pubDate>
      <enclosure url="https://cdn.example/Loomcast-1.3.tar.gz" length="123456" type="application/gzip"
                 sparkle:edSignature="c2lnbmF0dXJl"/>
    </item>
    <item>
      <title>Version 1.2</title>
      <description><![CDATA[<h2>Fixed</h2><ul><li>Things &amp; stuff</li></ul>]]></description>
      <enclosure url="../Loomcast-1.2.tar.gz" sparkle:version="1.2" sparkle:shortVersionString="1.2 (final)"
                 length="99" sparkle:edSignature="AAAA" sparkle:os="linux"/>
    </item>
    <item><title>macOS only</title><enclosure url="https://cdn.example/x.zip" sparkle:version="9" sparkle:os="macos"/></item>
    <item><title>Beta</title><sparkle:channel>beta</sparkle:channel>
      <enclosure url="https://cdn.example/b.tar.gz" sparkle:version="10"/></item>
    <item><title>No enclosure</title><sparkle:version>11</sparkle:version></item>
    <item><title>No version</title><enclosure url="https://cdn.example/n.tar.gz"/></item>
  </channel>
</rss>
)XML";

AppcastItem item(const char* version, const char* shortVersion = "") {
    AppcastItem i;
    i.version = QString::fromLatin1(version);
    i.shortVersion = QString::fromLatin1(shortVersion);
    i.url = QUrl(QStringLiteral("https://cdn.example/p.tar.gz"));
    return i;
}

bool oneLine(const lc::Error& e) {
    return !e.message.empty() && e.message.find('\n') == std::string::npos;
}

} // namespace

TEST(AppcastTest, ReadsItemsInBothVersionForms) {
    auto items = parseAppcast(kFeedText, kFeed);
    ASSERT_TRUE(items) << items.error().message;
    ASSERT_EQ(items->size(), 2u); // other OS, beta channel, no enclosure, no version: left out
    const AppcastItem& a = (*items)[0];
    EXPECT_EQ(a.title, QStringLiteral("Version 1.3"));
    EXPECT_EQ(a.version, QStringLiteral("130"));
    EXPECT_EQ(a.displayVersion(), QStringLiteral("1.3"));
    EXPECT_EQ(a.releaseNotesUrl, QUrl(QStringLiteral("https://updates.example/linux/notes/1.3.html")));
    EXPECT_EQ(a.url, QUrl(QStringLiteral("https://cdn.example/Loomcast-1.3.tar.gz")));
    EXPECT_EQ(a.length, 123456);
    EXPECT_EQ(a.edSignature, QStringLiteral("c2lnbmF0dXJl"));
    const AppcastItem& b = (*items)[1];
    EXPECT_EQ(b.version, QStringLiteral("1.2"));
    EXPECT_EQ(b.shortVersion, QStringLiteral("1.2 (final)"));
    EXPECT_EQ(b.url, QUrl(QStringLiteral("https://updates.example/Loomcast-1.2.tar.gz")));
    EXPECT_TRUE(b.description.contains(QStringLiteral("<li>Things &amp; stuff</li>")));
}

TEST(AppcastTest, RefusesMalformedAndHostileDocumentsInOneLine) {
    const QByteArray bad[] = {
        "",
        "not xml at all",
        "<rss><channel><item><title>x</title></channel></rss>", // mismatched tags
        "<html><body>Maintenance</body></html>",                // not a feed
        "<rss xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\"><channel><item>"
        "<enclosure url=\"https://a/b\" sparkle:version=\"2\"/></item>", // truncated
        "<rss><channel><item><enclosure url=\"https://a/b\" "
        "undeclared:version=\"2\"/></item></channel></rss>",
        // Entity expansion ("billion laughs") and external entities are never read.
        "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\"><!ENTITY lol2 "
        "\"&lol;&lol;&lol;&lol;&lol;"
        "&lol;&lol;&lol;&lol;&lol;\"><!ENTITY lol3 "
        "\"&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;\">]>"
        "<rss><channel><item><title>&lol3;</title></item></channel></rss>",
        "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>"
        "<rss><channel><item><title>&x;</title></item></channel></rss>",
        "<rss><channel><item><title>&undefined;</title></item></channel></rss>",
    };
    for (const QByteArray& text : bad) {
        auto items = parseAppcast(text, kFeed);
        ASSERT_FALSE(items) << text.constData();
        EXPECT_EQ(items.error().code, kErrorFeedMalformed) << text.constData();
        EXPECT_TRUE(oneLine(items.error())) << items.error().message;
    }
}

TEST(AppcastTest, OddButWellFormedItemsAreSkippedOrBounded) {
    QByteArray many = "<rss xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\"><channel>";
    many += "<item><enclosure url=\"https://a/b\" sparkle:version=\"" + QByteArray(5000, '9') + "\"/></item>";
    many += "<item><enclosure url=\"\" sparkle:version=\"3\"/></item>";
    many += "<item><enclosure url=\"https://a/ok\" sparkle:version=\"4\" length=\"-5\"/></item>";
    many += "<item><enclosure url=\"https://a/ok2\" sparkle:version=\"5\" "
            "length=\"99999999999999999999999\"/></item>";
    many += "<item><item><enclosure url=\"https://a/nested\" sparkle:version=\"6\"/></item></item>";
    many += "</channel></rss>";
    auto items = parseAppcast(many, kFeed);
    ASSERT_TRUE(items) << items.error().message;
    ASSERT_EQ(items->size(), 2u);
    EXPECT_EQ((*items)[0].version, QStringLiteral("4"));
    EXPECT_EQ((*items)[0].length, 0);
    EXPECT_EQ((*items)[1].length, 0);
}

// Random damage to a valid feed must give items or a one-line error, never a crash or hang.
TEST(AppcastTest, SurvivesRandomDamage) {
    QRandomGenerator rng(20240611);
    const QByteArray pieces[] = {"<",
                                 ">",
                                 "&",
                                 "&amp;",
                                 "]]>",
                                 "<![CDATA[",
                                 "<item>",
                                 "</item>",
                                 "\"",
                                 "'",
                                 "sparkle:",
                                 "xmlns:sparkle=\"x\"",
                                 "<!DOCTYPE a>",
                                 "\0",
                                 "\xff\xfe",
                                 "&#0;",
                                 "&#x110000;",
                                 "<?xml version=\"1.0\"?>"};
    for (int round = 0; round < 3000; ++round) {
        QByteArray text = kFeedText;
        const int edits = 1 + rng.bounded(8);
        for (int e = 0; e < edits; ++e) {
            const int at = rng.bounded(qMax<qsizetype>(1, text.size()));
            switch (rng.bounded(4)) {
            case 0:
                text[at] = static_cast<char>(rng.bounded(256));
                break;
            case 1:
                text.remove(at, rng.bounded(40));
                break;
            case 2:
                text.insert(at, pieces[rng.bounded(static_cast<int>(std::size(pieces)))]);
                break;
            case 3:
                text.truncate(at);
                break;
            }
        }
        auto items = parseAppcast(text, kFeed);
        if (!items) {
            ASSERT_TRUE(oneLine(items.error())) << items.error().message;
            continue;
        }
        for (const AppcastItem& i : *items) {
            ASSERT_FALSE(i.version.isEmpty());
            ASSERT_TRUE(i.url.isValid());
        }
    }
}

TEST(ChooseUpdateTest, PicksTheNewestNewerItem) {
    const std::vector<AppcastItem> items{item("1.2"), item("1.10"), item("1.9"), item("1.11-beta1")};
    auto choice = chooseUpdate(items, QStringLiteral("1.2"));
    ASSERT_TRUE(choice);
    ASSERT_TRUE(*choice);
    EXPECT_EQ((*choice)->version, QStringLiteral("1.11-beta1"));
    // A skipped version and anything older is passed by; newer ones are still offered.
    auto skipping = chooseUpdate(items, QStringLiteral("1.2"), QStringLiteral("1.11-beta1"));
    ASSERT_TRUE(skipping);
    EXPECT_FALSE(*skipping);
    auto pastSkip = chooseUpdate(items, QStringLiteral("1.2"), QStringLiteral("1.9"));
    ASSERT_TRUE(pastSkip && *pastSkip);
    EXPECT_EQ((*pastSkip)->version, QStringLiteral("1.11-beta1"));
}

TEST(ChooseUpdateTest, SaysWhyNothingIsOffered) {
    auto current = chooseUpdate({item("1.0"), item("1.2")}, QStringLiteral("1.2"));
    ASSERT_TRUE(current);
    EXPECT_FALSE(*current);

    auto downgrade = chooseUpdate({item("1.0", "1.0 final"), item("0.9")}, QStringLiteral("1.2"));
    ASSERT_FALSE(downgrade);
    EXPECT_EQ(downgrade.error().code, kErrorDowngrade);
    EXPECT_EQ(downgrade.error().message, "The update feed offers only Loomcast 1.0 final, older than this "
                                         "version (1.2); nothing was installed.");

    auto empty = chooseUpdate({}, QStringLiteral("1.2"));
    ASSERT_FALSE(empty);
    EXPECT_EQ(empty.error().code, kErrorFeedEmpty);
}
