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
    for (const QString& line : QString::fromUtf8(json).split(u'\n'))
        if (const auto m = re.match(line); m.hasMatch()) keys << m.captured(1);
    return keys;
}

AppState everythingSet() {
    AppState s;
    s.entries = {SavedEntry{"org.a", "A", "T/1", {"Custom", 700, 500}, false},
                 SavedEntry{"org.b", "B \u00B7 x", "", Preset::builtIn()[3], true}};
    s.lastPreset = Preset::builtIn()[1];
    s.fps = 60;
    s.hevc = s.micEnabled = s.micInEach = s.outlineIdle = true;
    s.lastAppAudio = s.showOutline = false;
    s.micDeviceID = "alsa_input.usb-mic";
    s.container = "mp4";
    return s;
}

const char* kEntry =
    R"({"bundleID":"b","appName":"a","title":"t","preset":{"name":"n","width":1,"height":2}})";

} // namespace

TEST(AppState, MissingOrNullKeysTakeDefaults) {
    const AppState d;
    EXPECT_TRUE(d.entries.empty() && !d.hevc && d.lastAppAudio && !d.micEnabled && !d.micDeviceID &&
                !d.micInEach && d.showOutline && !d.outlineIdle);
    EXPECT_EQ(d.lastPreset, Preset::builtIn()[0]);
    EXPECT_EQ(d.fps, 30);
    EXPECT_EQ(d.container, "mov");

    EXPECT_EQ(AppState::decode("{}"), d);
    EXPECT_EQ(AppState::decode(R"({"entries":null,"lastPreset":null,"fps":null,"hevc":null,
        "lastAppAudio":null,"micEnabled":null,"micDeviceID":null,"micInEach":null,
        "showOutline":null,"outlineIdle":null,"container":null,"unknown":[1]})"),
              d);
    const auto noAudio = AppState::decode(QByteArray("{\"entries\":[") + kEntry + "],\"fps\":60.0}");
    ASSERT_TRUE(noAudio && noAudio->entries.size() == 1);
    EXPECT_TRUE(noAudio->entries[0].appAudio);
    EXPECT_EQ(noAudio->fps, 60);

    const AppState s = everythingSet();
    EXPECT_EQ(AppState::decode(s.encode()), s);
}

TEST(AppState, AnyMissingRequiredOrMistypedValueRejectsTheFile) {
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
        R"({"container":1})"};
    for (const char* text : bad)
        EXPECT_FALSE(AppState::decode(text)) << text;

    const QByteArray full = everythingSet().encode();
    for (qsizetype n : {full.size() / 3, full.size() / 2, full.size() - 2})
        EXPECT_FALSE(AppState::decode(full.left(n))) << "truncated to " << n;
}

TEST(AppState, FrameRateBelowOneFallsBackAlone) {
    const auto s = AppState::decode(R"({"fps":0,"hevc":true})");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->fps, 30);
    EXPECT_TRUE(s->hevc);
    EXPECT_EQ(AppState::decode(R"({"fps":-60})")->fps, 30);
    EXPECT_EQ(AppState::decode(R"({"fps":99999999999})")->fps, 30);
}

TEST(AppState, ShortcutsDefaultWhenAbsentAndAreOffWhenUnreadable) {
    const auto absent = AppState::decode("{}");
    EXPECT_EQ(absent->shortcutStartStop, "Ctrl+Alt+R");
    EXPECT_EQ(absent->shortcutPauseResume, "Ctrl+Alt+P");

    const auto set =
        AppState::decode(R"({"shortcutStartStop":"super+f9","shortcutPauseResume":"","hevc":true})");
    ASSERT_TRUE(set);
    EXPECT_EQ(set->shortcutStartStop, "Super+F9");
    EXPECT_EQ(set->shortcutPauseResume, ""); // cleared by the user stays cleared
    EXPECT_EQ(AppState::decode(set->encode()), set);

    // Unreadable: that shortcut off, everything else kept.
    const auto bad =
        AppState::decode(R"({"shortcutStartStop":"Ctrl+Banana","shortcutPauseResume":7,"fps":60})");
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->shortcutStartStop, "");
    EXPECT_EQ(bad->shortcutPauseResume, "");
    EXPECT_EQ(bad->fps, 60);
}

TEST(AppState, EncodingIsSortedPrettyAndStable) {
    AppState s = everythingSet();
    const QByteArray bytes = s.encode();
    EXPECT_EQ(keysAtIndent(bytes, 4),
              QStringList({"container", "entries", "fps", "hevc", "lastAppAudio", "lastPreset", "micDeviceID",
                           "micEnabled", "micInEach", "outlineIdle", "shortcutPauseResume",
                           "shortcutStartStop", "showOutline"}));
    EXPECT_EQ(keysAtIndent(bytes, 12).mid(0, 5),
              QStringList({"appAudio", "appName", "bundleID", "preset", "title"}));
    EXPECT_EQ(keysAtIndent(bytes, 8), QStringList({"height", "name", "width"})); // lastPreset
    EXPECT_TRUE(bytes.contains("\"T/1\"") && bytes.contains("B \xC2\xB7 x")) << "no escaping of / or U+00B7";
    EXPECT_EQ(s.encode(), bytes);

    s.micDeviceID.reset();
    EXPECT_FALSE(s.encode().contains("micDeviceID"));

    EXPECT_FALSE(s.encode().contains("startAtLogin"));
    s.startAtLogin = true;
    EXPECT_TRUE(s.encode().contains("\"startAtLogin\": true"));
    EXPECT_EQ(AppState::decode(s.encode()), s);
    EXPECT_FALSE(AppState::decode(R"({"startAtLogin":"yes"})"));

    EXPECT_FALSE(s.encode().contains("trayNoteShown")) << "older files keep their keys";
    s.trayNoteShown = true;
    EXPECT_TRUE(s.encode().contains("\"trayNoteShown\": true"));
    EXPECT_EQ(AppState::decode(s.encode()), s);
    EXPECT_FALSE(AppState::decode(R"({"trayNoteShown":1})"));
}
