#include "session/SessionDocument.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace lc;

namespace {

// The keys of every object in the text, in file order, objects listed by where they open.
std::vector<QStringList> objectKeys(const QByteArray& json) {
    std::vector<QStringList> done;
    std::vector<std::pair<bool, size_t>> stack; // (is object, index into done)
    for (qsizetype i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (c == '"') {
            const qsizetype start = ++i;
            while (json[i] != '"')
                i += json[i] == '\\' ? 2 : 1;
            qsizetype j = i + 1;
            while (json[j] == ' ')
                ++j;
            if (json[j] == ':' && !stack.empty() && stack.back().first)
                done[stack.back().second] << QString::fromUtf8(json.mid(start, i - start));
        } else if (c == '{') {
            stack.emplace_back(true, done.size());
            done.emplace_back();
        } else if (c == '[') {
            stack.emplace_back(false, 0);
        } else if (c == '}' || c == ']') {
            stack.pop_back();
        }
    }
    return done;
}

SessionWindow window(const QString& file, const QString& title, const Preset& preset) {
    SessionWindow w;
    w.file = file;
    w.app = "Editor";
    w.title = title;
    w.preset = preset.label();
    w.width = preset.width;
    w.height = preset.height;
    w.presetRef = preset;
    return w;
}

struct Fixture {
    SessionFile record;
    SessionIndex index;
    std::vector<FocusLogEntry> focus;
    QUuid a = QUuid::createUuid(), b = QUuid::createUuid(), failed = QUuid::createUuid();

    Fixture() {
        record.startedAt = "2026-03-01T14:05:09Z";
        record.folder = "/tmp/s";
        SessionWindow first = window("Editor - Notes (9x16 Vertical).mov", "Notes", Preset::builtIn()[1]);
        SessionWindow second = window("Web - a-b (16x9 Horizontal).mov", "a/b", Preset::builtIn()[0]);
        second.fps = 60;
        second.codec = "hevc";
        second.startOffsetSeconds = 1.25;
        second.durationSeconds = 12.345;
        second.warning = "Window control off: not resized";
        second.appAudio = true;
        second.micTrack = true;
        second.timecode = "14:05:10:07";
        record.windows = {first, second};
        index = {{a, 0}, {b, 1}};
        focus = {{0, a}, {1.5, failed}, {2.0625, b}, {3.0004, a}};
    }
    AISession doc(const QString& container = "mov") const {
        return makeAISession(record, index, focus, container);
    }
};

} // namespace

TEST(SessionDocument, BuiltFromTheRecord) {
    Fixture f;
    f.record.windows[0].startOffsetSeconds = 0.1 + 0.2;
    const AISession d = f.doc();
    EXPECT_EQ(d.recordings[0].startOffset, 0.3);
    EXPECT_EQ(d.version, 1);
    EXPECT_EQ(d.sessionStart, "2026-03-01T14:05:09Z");
    ASSERT_EQ(d.recordings.size(), 2u);
    const AIRecording& r = d.recordings[1];
    EXPECT_EQ(r.windowTitle, "a/b");
    EXPECT_EQ(r.fps, 60);
    EXPECT_EQ(r.startOffset, 1.25);
    EXPECT_EQ(r.duration, 12.345);
    EXPECT_TRUE(r.hasAppAudio && r.hasMicTrack);
    EXPECT_EQ(r.startTimecode, "14:05:10:07");
    EXPECT_EQ(r.warning, "Window control off: not resized");
    EXPECT_FALSE(d.mic);

    // The entry that never got a record is left out; times are rounded to milliseconds.
    ASSERT_EQ(d.focus.size(), 3u);
    EXPECT_EQ(d.focus[1], (AIFocus{2.063, "Web - a-b (16x9 Horizontal).mov", "a/b"}));
    EXPECT_EQ(d.focus[2].t, 3.0);

    // The first recording decides the final frame.
    EXPECT_EQ(d.finalSettings.preset, (AIPresetRef{Preset::builtIn()[1].name, 1080, 1920}));
    EXPECT_EQ(d.finalSettings.transition, "crossfade");
    EXPECT_EQ(d.finalSettings.transitionDuration, 0.35);

    EXPECT_EQ(d.timecodeStorage(), "tmcd track in each .mov");
    EXPECT_EQ(f.doc("mp4").timecodeStorage(), "metadata comment tag (MP4 cannot hold a tmcd track)");
    EXPECT_EQ(f.doc("MP4").timecodeStorage(), "tmcd track in each .mov");

    // An empty session, and an index that points nowhere.
    f.record.windows.clear();
    const AISession empty = f.doc();
    EXPECT_TRUE(empty.recordings.empty());
    EXPECT_TRUE(empty.focus.empty());
    EXPECT_EQ(empty.finalSettings.preset, (AIPresetRef{Preset::builtIn()[0].name, 1920, 1080}));

    f.record.mic = SessionMic{"Mic (+0m00s).m4a", "USB Mic", 0.004, 9.5, "14:05:09:02"};
    EXPECT_EQ(f.doc().mic, (AIMic{"Mic (+0m00s).m4a", "USB Mic", 0.004, 9.5, "14:05:09:02"}));
}

TEST(SessionDocument, JsonFormKeyOrderAndValues) {
    Fixture f;
    f.record.mic = SessionMic{};
    f.record.windows[0].startOffsetSeconds = 1234.567;
    const auto bytes = f.doc().encode();
    ASSERT_TRUE(bytes);
    const auto objects = objectKeys(*bytes);
    // top, final, final preset, focus x3, mic, recording x2 (sorted keys: objects open in that order)
    ASSERT_EQ(objects.size(), 9u);
    EXPECT_EQ(objects[0], QStringList({"_ai_instructions", "container", "final", "focus", "mic", "recordings",
                                       "sessionStart", "timecodeStorage", "version"}));
    EXPECT_EQ(objects[1], QStringList({"preset", "transition", "transitionDuration"}));
    EXPECT_EQ(objects[2], QStringList({"height", "name", "width"}));
    EXPECT_EQ(objects[3], QStringList({"file", "t", "windowTitle"}));
    EXPECT_EQ(objects[6], QStringList({"device", "file", "startOffset", "startTimecode"}))
        << "no duration yet";
    EXPECT_EQ(objects[7], QStringList({"app", "file", "fps", "hasAppAudio", "hasMicTrack", "height", "preset",
                                       "startOffset", "startTimecode", "width", "windowTitle"}));
    EXPECT_EQ(objects[8],
              QStringList({"app", "duration", "file", "fps", "hasAppAudio", "hasMicTrack", "height", "preset",
                           "startOffset", "startTimecode", "warning", "width", "windowTitle"}));
    EXPECT_FALSE(bytes->contains("codec"));

    EXPECT_TRUE(bytes->contains("\"windowTitle\": \"a/b\""));
    EXPECT_FALSE(bytes->contains("\\/"));
    EXPECT_TRUE(bytes->contains("9:16 Vertical \xC2\xB7 Shorts/Reels/TikTok (1080\xC3\x97"
                                "1920)"));
    EXPECT_TRUE(bytes->contains("\"t\": 2.063"));
    EXPECT_TRUE(bytes->contains("\"transitionDuration\": 0.35"));

    const QJsonObject top = QJsonDocument::fromJson(*bytes).object();
    EXPECT_EQ(top.value("version").toInteger(), 1);
    EXPECT_EQ(top.value("recordings").toArray()[0].toObject().value("startOffset").toDouble(), 1234.567);
    EXPECT_EQ(top.value("recordings").toArray()[1].toObject().value("duration").toDouble(), 12.345);
    EXPECT_EQ(top.value("_ai_instructions").toString(), aiInstructionText());

    f.record.mic.reset();
    const auto noMic = f.doc().encode();
    ASSERT_TRUE(noMic);
    EXPECT_TRUE(noMic->contains("\"mic\": null"));
}

TEST(SessionDocument, InstructionText) {
    const QString& text = aiInstructionText();
    const QStringList lines = text.split(u'\n');
    ASSERT_EQ(lines.size(), 30);
    EXPECT_FALSE(text.endsWith(u'\n'));
    for (qsizetype i = 0; i < text.size(); ++i)
        ASSERT_LT(text[i].unicode(), 128) << i;
    EXPECT_EQ(lines[0],
              "TASK FOR AN AI VIDEO EDITOR. Read this whole file, then build ONE final video with ffmpeg.");
    for (int empty : {1, 4, 7, 10, 13, 16, 22, 25, 28})
        EXPECT_TRUE(lines[empty].isEmpty()) << empty + 1;
    EXPECT_EQ(lines[27],
              "Print every ffmpeg command you ran, and the final file path, duration and resolution. "
              "If ffmpeg is missing, install it (for example: sudo apt install ffmpeg).");
    EXPECT_EQ(lines[29].count(u'"'), 4);
    // Guards every other character of the long paragraphs.
    EXPECT_EQ(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256).toHex(),
              "e2a5d18dfecd8f511dd7a23d81716baeb895c68e6b712e33c0b45da219057892");
}

TEST(SessionDocument, WritingIsAllOrNothing) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    Fixture f;
    ASSERT_TRUE(writeSessionDocument(dir.path(), f.doc()));
    QFile file(QDir(dir.path()).filePath("session.json"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray written = file.readAll();
    file.close();
    EXPECT_EQ(written, *f.doc().encode());

    // A number that could not be read back fails the encoding; the previous manifest stays.
    f.record.windows[0].durationSeconds = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(f.doc().encode());
    EXPECT_FALSE(writeSessionDocument(dir.path(), f.doc()));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), written);

    EXPECT_FALSE(writeSessionDocument(QDir(dir.path()).filePath("missing/folder"), Fixture().doc()));
}
