#include "session/SessionDocument.h"
#include "TestSupport.h"

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

struct Fixture {
    QUuid a = QUuid::createUuid(), b = QUuid::createUuid(), failed = QUuid::createUuid();
    const Preset tall = Preset::builtIn()[1], wide = Preset::builtIn()[0];
    SessionDocument record = [this] {
        SessionDocument d;
        d.sessionStart = "2026-03-01T14:05:09Z";
        d.addRecording({.file = "Editor - Notes (9x16 Vertical).mov",
                        .app = "Editor",
                        .windowTitle = "Notes",
                        .preset = tall.label(),
                        .width = 1080,
                        .height = 1920,
                        .entry = a},
                       tall);
        d.addRecording({.file = "Web - a-b (16x9 Horizontal).mov",
                        .app = "Web",
                        .windowTitle = "a/b",
                        .preset = wide.label(),
                        .width = 1920,
                        .height = 1080,
                        .fps = 60,
                        .startOffset = 1.25,
                        .duration = 12.345,
                        .hasAppAudio = true,
                        .hasMicTrack = true,
                        .startTimecode = "14:05:10:07",
                        .warning = "Window control off: not resized",
                        .entry = b},
                       wide);
        return d;
    }();
    std::vector<FocusLogEntry> focus{{0, a}, {1.5, failed}, {2.0625, b}, {3.0004, a}};

    SessionDocument doc(const QString& container = "mov") const {
        SessionDocument d = record.withFocus(focus);
        d.container = container;
        return d;
    }
};

} // namespace

TEST(SessionDocument, BuiltFromTheRecord) {
    Fixture f;
    f.record.recordings[0].startOffset = 0.1 + 0.2;
    const SessionDocument d = f.doc();
    ASSERT_EQ(d.recordings.size(), 2u);
    EXPECT_EQ(d.recordings[0].startOffset, 0.3);
    EXPECT_EQ(d.recordings[1], (SessionRecording{"Web - a-b (16x9 Horizontal).mov", "Web", "a/b",
                                                 f.wide.label(), 1920, 1080, 60, 1.25, 12.345, true, true,
                                                 "14:05:10:07", "Window control off: not resized", f.b}));
    EXPECT_FALSE(d.mic);
    // The entry that never got a record is left out; times are rounded to milliseconds.
    ASSERT_EQ(d.focus.size(), 3u);
    EXPECT_EQ(d.focus[1], (FocusSwitch{2.063, "Web - a-b (16x9 Horizontal).mov", "a/b"}));
    EXPECT_EQ(d.focus[2].t, 3.0);
    // The first recording (9:16) decides the final frame.
    EXPECT_EQ(d.finalSettings, (FinalSettings{{f.tall.name, 1080, 1920}, "crossfade", 0.35}));
    EXPECT_EQ(d.timecodeStorage(), "tmcd track in each .mov");
    EXPECT_EQ(f.doc("mp4").timecodeStorage(), "metadata comment tag (MP4 cannot hold a tmcd track)");

    // Without recordings the final frame is built-in row 1.
    f.record = SessionDocument{};
    f.record.mic = SessionMic{"Mic (+0m00s).m4a", "USB Mic", 0.004, 9.5, "14:05:09:02"};
    const SessionDocument empty = f.doc();
    EXPECT_TRUE(empty.recordings.empty() && empty.focus.empty());
    EXPECT_EQ(empty.finalSettings.preset, (FinalPreset{f.wide.name, 1920, 1080}));
    EXPECT_EQ(empty.mic, (SessionMic{"Mic (+0m00s).m4a", "USB Mic", 0.004, 9.5, "14:05:09:02"}));
}

TEST(SessionDocument, RecordingsAreFoundByTheirEntry) {
    Fixture f;
    ASSERT_TRUE(f.record.recording(f.b));
    EXPECT_EQ(f.record.recording(f.b)->file, "Web - a-b (16x9 Horizontal).mov");
    EXPECT_FALSE(f.record.recording(f.failed));
    EXPECT_FALSE(f.record.recording(QUuid())) << "records read back have no entry";
    // A later recording of the same entry is the one found, and the one focus switches name.
    f.record.addRecording({.file = "Web again.mov", .windowTitle = "again", .entry = f.b}, f.wide);
    EXPECT_EQ(f.record.recording(f.b)->file, "Web again.mov");
    EXPECT_EQ(f.doc().focus[1], (FocusSwitch{2.063, "Web again.mov", "again"}));
    EXPECT_EQ(f.doc().finalSettings.preset.name, f.tall.name) << "still the first recording's preset";
    // The entry id stays in memory: the written form has no key for it.
    const auto objects = lc::test::objectKeys(*f.doc().encode());
    for (const QStringList& keys : objects)
        EXPECT_FALSE(keys.contains("entry"));
}

TEST(SessionDocument, JsonFormKeyOrderAndValues) {
    Fixture f;
    f.record.mic = SessionMic{};
    f.record.recordings[0].startOffset = 1234.567;
    const auto bytes = f.doc().encode();
    ASSERT_TRUE(bytes);
    const auto objects = lc::test::objectKeys(*bytes);
    // Sorted keys open the objects in this order: top, final, its preset, 3 focus, mic, 2 recordings.
    ASSERT_EQ(objects.size(), 9u);
    EXPECT_EQ(objects[0], QStringList({"_ai_instructions", "container", "final", "focus", "mic", "pauses",
                                       "recordings", "sessionStart", "timecodeStorage", "version"}));
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

    // Slashes and non-ASCII characters unescaped; numbers read back exactly.
    EXPECT_TRUE(bytes->contains("\"windowTitle\": \"a/b\""));
    EXPECT_FALSE(bytes->contains("\\/"));
    EXPECT_TRUE(bytes->contains("9:16 Vertical \xC2\xB7 Shorts/Reels/TikTok (1080\xC3\x97"
                                "1920)"));
    EXPECT_TRUE(bytes->contains("\"t\": 2.063,"));
    const QJsonObject top = QJsonDocument::fromJson(*bytes).object();
    EXPECT_EQ(top.value("recordings").toArray()[0].toObject().value("startOffset").toDouble(), 1234.567);
    EXPECT_EQ(top.value("_ai_instructions").toString(), aiInstructionText());

    f.record.mic.reset();
    EXPECT_TRUE(f.doc().encode()->contains("\"mic\": null,"));
}

TEST(SessionDocument, InstructionText) {
    const QString& text = aiInstructionText();
    const QStringList lines = text.split(u'\n');
    ASSERT_EQ(lines.size(), 30);
    EXPECT_FALSE(text.endsWith(u'\n'));
    for (QChar c : text)
        ASSERT_LT(c.unicode(), 128);
    EXPECT_EQ(lines[0],
              "TASK FOR AN AI VIDEO EDITOR. Read this whole file, then build ONE final video with ffmpeg.");
    for (int empty : {1, 4, 7, 10, 13, 16, 22, 25, 28})
        EXPECT_TRUE(lines[empty].isEmpty()) << empty + 1;
    EXPECT_EQ(lines[27],
              "Print every ffmpeg command you ran, and the final file path, duration and resolution. "
              "If ffmpeg is missing, install it (for example: sudo apt install ffmpeg).");
    EXPECT_EQ(lines[29].count(u'"'), 4);
    EXPECT_TRUE(
        lines[29].endsWith("pauses[] ({at, length}) lists where recording was paused (at on the shared "
                           "clock above, length in wall-clock seconds); those spans are already cut "
                           "from every file, the mic and focus[], so they need no editing."));
    // Guards every other character of the long paragraphs.
    EXPECT_EQ(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256).toHex(),
              "d383d9023c6cc3d83e6a9f0ff239a5963072d552d94c334c2ecec318b8dbb0b9");
}

TEST(SessionDocument, WritingIsAllOrNothing) {
    QTemporaryDir dir;
    Fixture f;
    ASSERT_TRUE(writeSessionDocument(dir.path(), f.doc()));
    QFile file(QDir(dir.path()).filePath("session.json"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray written = file.readAll();
    file.close();
    EXPECT_EQ(written, *f.doc().encode());

    // A number that could not be read back fails the encoding; the previous manifest stays.
    f.record.recordings[0].duration = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(writeSessionDocument(dir.path(), f.doc()));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), written);
    EXPECT_FALSE(writeSessionDocument(QDir(dir.path()).filePath("missing/folder"), Fixture().doc()));
}
