#include "session/SessionDocument.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace lc {
namespace {

// A document as the session writer produces it.
SessionDocument writtenSession() {
    SessionDocument s;
    s.container = QStringLiteral("mp4");
    s.sessionStart = QStringLiteral("2024-05-01T10:00:00Z");
    SessionRecording a;
    a.file = QStringLiteral("Terminal — bash (+0m00s).mp4");
    a.app = QStringLiteral("Terminal");
    a.windowTitle = QStringLiteral("a/b \"quoted\"");
    a.preset = QStringLiteral("16:9 Horizontal · YouTube");
    a.width = 1920;
    a.height = 1080;
    a.fps = 30;
    a.startOffset = 0.25;
    a.duration = 40.5;
    a.hasAppAudio = true;
    a.startTimecode = QStringLiteral("10:00:00:07");
    SessionRecording b = a;
    b.file = QStringLiteral("Browser (+0m03s).mp4");
    b.fps = 60;
    b.startOffset = 3.125;
    b.duration.reset();
    b.warning = QStringLiteral("keeps its own shape");
    s.recordings = {a, b};
    s.mic = SessionMic{QStringLiteral("Mic (+0m00s).m4a"), QStringLiteral("default"), 0.1, 44.0, QString()};
    s.focus = {FocusSwitch{0, a.file, a.windowTitle}, FocusSwitch{2.063, b.file, b.windowTitle}};
    s.finalSettings.preset = FinalPreset{QStringLiteral("16:9 Horizontal · YouTube"), 1920, 1080};
    return s;
}

QByteArray withChange(const std::function<void(QJsonObject&)>& change) {
    const auto bytes = writtenSession().encode();
    QJsonObject o = QJsonDocument::fromJson(*bytes).object();
    change(o);
    return QJsonDocument(o).toJson();
}

void editRecording(QJsonObject& o, int i, const std::function<void(QJsonObject&)>& change) {
    QJsonArray recs = o["recordings"].toArray();
    QJsonObject r = recs[i].toObject();
    change(r);
    recs[i] = r;
    o["recordings"] = recs;
}

TEST(SessionDocumentRead, ReadsWhatTheSessionWriterWrites) {
    const SessionDocument s = writtenSession();
    const auto doc = SessionDocument::decode(*s.encode());
    ASSERT_TRUE(doc.ok()) << doc.error().message;
    EXPECT_EQ(doc->container, std::optional<QString>("mp4"));
    EXPECT_EQ(doc->recordings, s.recordings);
    EXPECT_EQ(doc->mic, s.mic);
    EXPECT_EQ(doc->focus, s.focus);
    EXPECT_EQ(doc->finalSettings, s.finalSettings);
}

TEST(SessionDocumentRead, OptionalKeysMayBeAbsentOrNullAndExtraKeysAreIgnored) {
    const auto doc = SessionDocument::decode(withChange([](QJsonObject& o) {
        o.remove("container");
        o["mic"] = QJsonValue::Null;
        o["somethingNew"] = 1;
        editRecording(o, 0, [](QJsonObject& r) {
            r.remove("duration");
            r["warning"] = QJsonValue::Null;
            r["extra"] = QJsonObject{{"x", 1}};
        });
    }));
    ASSERT_TRUE(doc.ok()) << doc.error().message;
    EXPECT_FALSE(doc->container);
    EXPECT_FALSE(doc->mic);
    EXPECT_FALSE(doc->recordings[0].duration);
    EXPECT_FALSE(doc->recordings[0].warning);

    const auto noMic = SessionDocument::decode(withChange([](QJsonObject& o) { o.remove("mic"); }));
    ASSERT_TRUE(noMic.ok());
    EXPECT_FALSE(noMic->mic);
    // A whole number written with a fraction part is still a whole number.
    const auto fps = SessionDocument::decode(
        withChange([](QJsonObject& o) { editRecording(o, 0, [](QJsonObject& r) { r["fps"] = 30.0; }); }));
    ASSERT_TRUE(fps.ok());
}

TEST(SessionDocumentRead, PausesAreWrittenRoundedReadBackAndOptional) {
    SessionDocument s = writtenSession();
    s.pauses = {{1.23449, 2.5}, {4.0, 0.0004}};
    const SessionDocument written = s.withFocus({});
    EXPECT_EQ(written.pauses, (std::vector<SessionPause>{{1.234, 2.5}, {4.0, 0.0}}));
    const auto doc = SessionDocument::decode(*written.encode());
    ASSERT_TRUE(doc.ok()) << doc.error().message;
    EXPECT_EQ(doc->pauses, written.pauses);
    EXPECT_TRUE(QJsonDocument::fromJson(*writtenSession().encode()).object()["pauses"].isArray())
        << "an empty list when there were none";

    // Files from before pausing have no list; a broken list is named.
    const auto older = SessionDocument::decode(withChange([](QJsonObject& o) { o.remove("pauses"); }));
    ASSERT_TRUE(older.ok()) << older.error().message;
    EXPECT_TRUE(older->pauses.empty());
    const auto broken = SessionDocument::decode(withChange([](QJsonObject& o) {
        o["pauses"] = QJsonArray{QJsonObject{{"at", 1.0}, {"length", "long"}}};
    }));
    ASSERT_FALSE(broken.ok());
    EXPECT_NE(broken.error().message.find("pauses[0].length"), std::string::npos) << broken.error().message;
    const auto notAList = SessionDocument::decode(withChange([](QJsonObject& o) { o["pauses"] = 3; }));
    EXPECT_FALSE(notAList.ok());
}

TEST(SessionDocumentRead, MissingOrMistypedRequiredKeysFailTheWholeRead) {
    struct Case {
        const char* name;
        std::function<void(QJsonObject&)> change;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"no fps", [](QJsonObject& o) { editRecording(o, 1, [](QJsonObject& r) { r.remove("fps"); }); },
         "\"recordings[1].fps\" is missing"},
        {"fps text", [](QJsonObject& o) { editRecording(o, 0, [](QJsonObject& r) { r["fps"] = "30"; }); },
         "\"recordings[0].fps\" must be a whole number"},
        {"fps fraction",
         [](QJsonObject& o) { editRecording(o, 0, [](QJsonObject& r) { r["fps"] = 29.97; }); },
         "must be a whole number"},
        {"bool as number",
         [](QJsonObject& o) { editRecording(o, 0, [](QJsonObject& r) { r["hasAppAudio"] = 1; }); },
         "must be true or false"},
        {"null required",
         [](QJsonObject& o) { editRecording(o, 0, [](QJsonObject& r) { r["file"] = QJsonValue::Null; }); },
         "\"recordings[0].file\" must be a string"},
        {"no focus", [](QJsonObject& o) { o.remove("focus"); }, "\"focus\" is missing"},
        {"focus not list", [](QJsonObject& o) { o["focus"] = QJsonObject(); }, "\"focus\" must be a list"},
        {"mic without device",
         [](QJsonObject& o) {
             QJsonObject m = o["mic"].toObject();
             m.remove("device");
             o["mic"] = m;
         },
         "\"mic.device\" is missing"},
        {"final without transition",
         [](QJsonObject& o) {
             QJsonObject f = o["final"].toObject();
             f.remove("transition");
             o["final"] = f;
         },
         "\"final.transition\" is missing"},
        {"preset width text",
         [](QJsonObject& o) {
             QJsonObject f = o["final"].toObject();
             QJsonObject p = f["preset"].toObject();
             p["width"] = "1920";
             f["preset"] = p;
             o["final"] = f;
         },
         "\"final.preset.width\""},
        {"recording not object", [](QJsonObject& o) { o["recordings"] = QJsonArray{1}; },
         "\"recordings[0]\" must be an object"},
        {"case matters",
         [](QJsonObject& o) { editRecording(o, 0, [](QJsonObject& r) { r["FPS"] = r.take("fps"); }); },
         "\"recordings[0].fps\" is missing"},
    };
    for (const Case& c : cases) {
        const auto doc = SessionDocument::decode(withChange(c.change));
        ASSERT_FALSE(doc.ok()) << c.name;
        EXPECT_NE(doc.error().message.find(c.message), std::string::npos)
            << c.name << ": " << doc.error().message;
    }
}

TEST(SessionDocumentRead, BrokenJsonIsRefusedWithAMessage) {
    const QByteArray good = *writtenSession().encode();
    for (const QByteArray& bad : {good.left(good.size() / 2), QByteArray("[1,2]"), QByteArray(""),
                                  QByteArray("\x00\xff\xfe", 3), QByteArray(10000, '[')}) {
        const auto doc = SessionDocument::decode(bad);
        ASSERT_FALSE(doc.ok());
        EXPECT_EQ(doc.error().message.rfind("session.json is not valid JSON", 0), 0u) << doc.error().message;
    }
}

TEST(SessionDocumentRead, MangledDocumentsNeverCrashTheReader) {
    const QByteArray good = *writtenSession().encode();
    std::uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
    int decoded = 0;
    for (int round = 0; round < 3000; ++round) {
        QByteArray doc = good;
        for (int k = 0, n = 1 + int(next() % 8); k < n; ++k) {
            const int at = int(next() % std::uint32_t(doc.size()));
            switch (next() % 3) {
            case 0:
                doc[at] = char(next() % 256);
                break;
            case 1:
                doc.remove(at, 1 + int(next() % 40));
                break;
            default:
                doc.insert(at, QByteArray(1 + int(next() % 4), "[{\"0:,"[next() % 7]));
                break;
            }
        }
        const auto r = SessionDocument::decode(doc);
        if (r.ok())
            ++decoded;
        else
            EXPECT_FALSE(r.error().message.empty());
    }
    EXPECT_GT(decoded, 0); // some mutations hit only the ignored instruction text
}

TEST(SessionDocumentRead, FileNamesMustBePlainNamesInsideTheFolder) {
    for (const char* bad : {"../x.mp4", "/etc/passwd", "a/b.mp4", "..", ".", ""}) {
        SessionDocument doc;
        doc.recordings.resize(1);
        doc.recordings[0].file = QString::fromUtf8(bad);
        const auto r = checkFileNames(doc);
        ASSERT_FALSE(r.ok()) << bad;
        EXPECT_NE(r.error().message.find("Refusing file name"), std::string::npos);
    }
    SessionDocument doc;
    doc.recordings.resize(1);
    doc.recordings[0].file = QStringLiteral("Terminal — a:b..c (+0m00s).mp4");
    EXPECT_TRUE(checkFileNames(doc).ok());
    doc.mic = SessionMic{QStringLiteral("../Mic.m4a"), {}, 0, {}, {}};
    EXPECT_FALSE(checkFileNames(doc).ok());
}

TEST(SessionDocumentRead, ReadingAFolderWithoutTheFileOrWithAPipeFails) {
    const auto doc = SessionDocument::read(QStringLiteral("/nonexistent-folder-for-test"));
    ASSERT_FALSE(doc.ok());
    EXPECT_EQ(doc.error().message.rfind("Cannot read session.json:", 0), 0u);

    QTemporaryDir dir;
    ASSERT_EQ(::mkfifo(QDir(dir.path()).filePath("session.json").toUtf8().constData(), 0600), 0);
    const auto pipe = SessionDocument::read(dir.path()); // must not block
    ASSERT_FALSE(pipe.ok());
    EXPECT_EQ(pipe.error().message, "Cannot read session.json: it is not a regular file");
}

} // namespace
} // namespace lc
