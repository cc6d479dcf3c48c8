#include "model/AppState.h"

#include <QRegularExpression>
#include <gtest/gtest.h>

using lc::AppState;
using lc::Preset;
using lc::SavedEntry;

namespace {

// Keys of the lines indented by `indent` spaces, in file order.
QStringList keysAtIndent(const QByteArray& json, int indent) {
    QStringList keys;
    const QRegularExpression re(QStringLiteral("^ {%1}\"([^\"]+)\":").arg(indent));
    for (const QString& line : QString::fromUtf8(json).split(u'\n')) {
        const auto m = re.match(line);
        if (m.hasMatch()) keys << m.captured(1);
    }
    return keys;
}

AppState everythingSet() {
    AppState s;
    s.entries = {SavedEntry{"org.a", "A", "T/1", {"Custom", 700, 500}, false},
                 SavedEntry{"org.b", "B \u00B7 x", "", Preset::builtIn()[3], true}};
    s.lastPreset = Preset::builtIn()[1];
    s.fps = 60;
    s.hevc = true;
    s.lastAppAudio = false;
    s.micEnabled = true;
    s.micDeviceID = "alsa_input.usb-mic";
    s.micInEach = true;
    s.showOutline = false;
    s.outlineIdle = true;
    s.container = "mp4";
    return s;
}

} // namespace

TEST(AppState, DefaultsAndEmptyObject) {
    const AppState d;
    EXPECT_TRUE(d.entries.empty());
    EXPECT_EQ(d.lastPreset, (Preset{"16:9 Horizontal \u00B7 YouTube", 1920, 1080}));
    EXPECT_EQ(d.fps, 30);
    EXPECT_FALSE(d.hevc);
    EXPECT_TRUE(d.lastAppAudio);
    EXPECT_FALSE(d.micEnabled);
    EXPECT_FALSE(d.micDeviceID.has_value());
    EXPECT_FALSE(d.micInEach);
    EXPECT_TRUE(d.showOutline);
    EXPECT_FALSE(d.outlineIdle);
    EXPECT_EQ(d.container, "mov");

    EXPECT_EQ(AppState::decode("{}"), d);
    // Null counts as missing for every optional key.
    EXPECT_EQ(AppState::decode(R"({"entries":null,"lastPreset":null,"fps":null,"hevc":null,
        "lastAppAudio":null,"micEnabled":null,"micDeviceID":null,"micInEach":null,
        "showOutline":null,"outlineIdle":null,"container":null})"),
              d);
}

TEST(AppState, RoundTripAndOptionalEntryKey) {
    const AppState s = everythingSet();
    EXPECT_EQ(AppState::decode(s.encode()), s);

    const auto noAudio = AppState::decode(
        R"({"entries":[{"bundleID":"b","appName":"a","title":"t","preset":{"name":"n","width":1,"height":2}}],
            "unknownKey":[1,2,3]})");
    ASSERT_TRUE(noAudio);
    ASSERT_EQ(noAudio->entries.size(), 1u);
    EXPECT_TRUE(noAudio->entries[0].appAudio);

    // Whole-number doubles are integers too.
    EXPECT_EQ(AppState::decode(R"({"fps":60.0})")->fps, 60);
}

TEST(AppState, AnyMissingRequiredOrMistypedValueRejectsTheFile) {
    const char* entryOk =
        R"({"bundleID":"b","appName":"a","title":"t","preset":{"name":"n","width":1,"height":2}})";
    ASSERT_TRUE(AppState::decode(QByteArray("{\"entries\":[") + entryOk + "]}"));
    const char* bad[] = {
        "",
        "not json",
        "[]",
        "null",
        R"({"fps":30,)",
        R"({"entries":{}})",
        R"({"entries":[null]})",
        R"({"entries":[{"appName":"a","title":"t","preset":{"name":"n","width":1,"height":2}}]})",
        R"({"entries":[{"bundleID":"b","appName":"a","title":null,"preset":{"name":"n","width":1,"height":2}}]})",
        R"({"entries":[{"bundleID":"b","appName":"a","title":"t"}]})",
        R"({"entries":[{"bundleID":"b","appName":"a","title":"t","preset":{"name":"n","width":"1","height":2}}]})",
        R"({"entries":[{"bundleID":"b","appName":"a","title":"t","preset":{"name":"n","width":1,"height":2},"appAudio":1}]})",
        R"({"lastPreset":{"name":"n","width":1}})",
        R"({"lastPreset":{"name":7,"width":1,"height":2}})",
        R"({"lastPreset":"16:9"})",
        R"({"fps":"30"})",
        R"({"fps":29.97})",
        R"({"hevc":"true"})",
        R"({"showOutline":0})",
        R"({"micDeviceID":5})",
        R"({"container":1})",
    };
    for (const char* text : bad)
        EXPECT_FALSE(AppState::decode(text)) << text;

    // A truncated real file.
    const QByteArray full = everythingSet().encode();
    for (qsizetype n : {qsizetype(1), full.size() / 3, full.size() / 2, full.size() - 2})
        EXPECT_FALSE(AppState::decode(full.left(n))) << n;
}

TEST(AppState, FrameRateBelowOneFallsBackAlone) {
    const auto s = AppState::decode(R"({"fps":0,"hevc":true})");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->fps, 30);
    EXPECT_TRUE(s->hevc);
    EXPECT_EQ(AppState::decode(R"({"fps":-60})")->fps, 30);
    EXPECT_EQ(AppState::decode(R"({"fps":99999999999})")->fps, 30);
}

TEST(AppState, EncodingIsSortedPrettyAndStable) {
    AppState s = everythingSet();
    const QByteArray bytes = s.encode();
    EXPECT_EQ(keysAtIndent(bytes, 4),
              QStringList({"container", "entries", "fps", "hevc", "lastAppAudio", "lastPreset", "micDeviceID",
                           "micEnabled", "micInEach", "outlineIdle", "showOutline"}));
    EXPECT_EQ(keysAtIndent(bytes, 12).mid(0, 5),
              QStringList({"appAudio", "appName", "bundleID", "preset", "title"}));
    EXPECT_EQ(keysAtIndent(bytes, 8), QStringList({"height", "name", "width"})); // lastPreset
    EXPECT_TRUE(bytes.contains("\"T/1\"")) << "slashes stay unescaped";
    EXPECT_TRUE(bytes.contains("B \xC2\xB7 x")) << "non-ASCII stays raw UTF-8";
    EXPECT_EQ(s.encode(), bytes);

    s.micDeviceID.reset();
    const QByteArray noMic = s.encode();
    EXPECT_FALSE(noMic.contains("micDeviceID"));
    EXPECT_FALSE(noMic.contains("null"));
}
