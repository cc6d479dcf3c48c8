// Recovering a session folder left by a crash: real fragmented files from the real writer, cut
// at and between their fragments as a power cut would, and hostile leftovers.
#include "model/app/SessionRecovery.h"
#include "../media_writer/MediaProbe.h"
#include "UiFixture.h"
#include "app/cli/RecoverMode.h"
#include "capture/Timecode.h"
#include "platform/MovieFinisher.h"
#include "platform/MovieWriter.h"
#include "platform/media/reader/FfmpegMediaReader.h"
#include "session/SessionDocument.h"
#include "ui/ExportBar.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <QTemporaryDir>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>

using namespace lc;
namespace fs = std::filesystem;

namespace {

constexpr int kFps = 30;

RecoveryMedia media() {
    return RecoveryMedia{
        .finish = [](const std::string& p) { return finishFragmentedFile(p); },
        .length = [](const std::string& p) -> Result<double> {
            auto info = FfmpegMediaReader().probe(p);
            if (!info) return info.error();
            if (info->video) return info->video->end().seconds();
            if (info->audio) return info->audio->end().seconds();
            return makeError("holds no media");
        },
    };
}

// A fragmented file as a killed recorder leaves it (every fragment complete), `seconds` long.
void writeFragmented(const QString& path, MovieFileType type, double seconds) {
    auto created = createMovieWriter(path.toStdString(), type,
                                     MovieWriterOptions{.fragmented = true, .finishInPlace = false});
    ASSERT_TRUE(created.ok()) << created.error().message;
    MovieWriter& w = *created.value();
    std::optional<MovieWriter::InputId> video;
    if (type != MovieFileType::m4a)
        video = *w.addVideoInput(VideoSettings::forRecording(VideoCodec::h264, 160, 120, kFps));
    const auto audio = *w.addAudioInput();
    ASSERT_TRUE(w.startWriting().ok());
    ASSERT_TRUE(w.startSession().ok());
    const int frames = int(seconds * kFps);
    std::vector<std::int16_t> chunk(2 * 1600);
    for (int i = 0; i < frames; ++i) {
        for (std::size_t k = 0; k < chunk.size(); ++k)
            chunk[k] = std::int16_t(8000 * std::sin(double(i * 1600 + int(k / 2)) * 0.05));
        ASSERT_TRUE(w.waitUntilReady(audio, 10));
        ASSERT_TRUE(w.appendAudio(audio, chunk, std::int64_t(i) * 1600));
        if (!video) continue;
        YuvFramePtr f;
        for (int tries = 0; tries < 5000 && !(f = w.freeVideoFrame()); ++tries)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_TRUE(f);
        std::memset(f->storage.data(), (i * 7) & 0xff, f->storage.size());
        ASSERT_TRUE(w.waitUntilReady(*video, 10));
        ASSERT_TRUE(w.appendVideo(f, std::int64_t(i) * 3000));
    }
    ASSERT_TRUE(w.finishAndWait().ok());
}

// Offsets of the top-level boxes of this type.
std::vector<qint64> boxes(const QString& path, const char* type) {
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray b = f.readAll();
    std::vector<qint64> out;
    for (qint64 pos = 0; pos + 8 <= b.size();) {
        const auto* p = reinterpret_cast<const unsigned char*>(b.constData() + pos);
        const qint64 size = (qint64(p[0]) << 24) | (qint64(p[1]) << 16) | (qint64(p[2]) << 8) | qint64(p[3]);
        if (std::memcmp(p + 4, type, 4) == 0) out.push_back(pos);
        if (size < 8) break;
        pos += size;
    }
    return out;
}

// The manifest a killed session left: two windows and the microphone, no durations.
SessionDocument leftover() {
    SessionDocument doc;
    doc.container = "mov";
    doc.sessionStart = "2026-03-01T13:05:09Z";
    for (const auto& [file, offset] :
         {std::pair{QString("A - One (16x9).mov"), 0.6}, std::pair{QString("B - Two (16x9).mov"), 2.5}}) {
        SessionRecording r;
        r.file = file;
        r.app = file.left(1);
        r.windowTitle = file;
        r.preset = "16:9";
        r.width = 160;
        r.height = 120;
        r.startOffset = offset;
        r.hasAppAudio = true;
        r.startTimecode = "14:05:09:18";
        doc.recordings.push_back(r);
    }
    doc.mic = SessionMic{.file = "Mic.m4a", .device = "default", .startOffset = 0.1};
    doc.focus = {{0, "A - One (16x9).mov", "A"}, {3, "B - Two (16x9).mov", "B"}};
    return doc;
}

void writeLeftover(const QString& folder, const SessionDocument& doc, bool marker = true) {
    ASSERT_TRUE(writeSessionDocument(folder, doc).ok());
    if (marker) {
        QFile m(QDir(folder).filePath(".recording"));
        ASSERT_TRUE(m.open(QIODevice::WriteOnly));
    }
}

// What a killed session leaves: its files as fragments and its manifest with the marker.
void writeKilledSession(const QString& folder) {
    writeFragmented(QDir(folder).filePath("A - One (16x9).mov"), MovieFileType::mov, 3.0);
    writeFragmented(QDir(folder).filePath("B - Two (16x9).mov"), MovieFileType::mov, 2.0);
    writeFragmented(QDir(folder).filePath("Mic.m4a"), MovieFileType::m4a, 4.0);
    writeLeftover(folder, leftover());
}

class Recovery : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(root.isValid());
        folder = QDir(root.path()).filePath("2026-03-01 14-05-09");
        ASSERT_TRUE(QDir().mkpath(folder));
    }
    QString at(const QString& name) const { return QDir(folder).filePath(name); }

    void writeLeftover(const SessionDocument& doc, bool marker = true) {
        ::writeLeftover(folder, doc, marker);
    }

    QTemporaryDir root;
    QString folder;
};

} // namespace

TEST_F(Recovery, FinishesRenamesAndCompletesTheManifest) {
    writeKilledSession(folder);
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_EQ(unfinishedSessions(root.path()), QStringList{folder});

    const auto r = recoverSession(folder, media());
    ASSERT_TRUE(r.ok()) << r.error().message;
    EXPECT_EQ(r->files, 3);
    EXPECT_TRUE(r->skipped.isEmpty()) << r->skipped.join("; ").toStdString();
    EXPECT_NEAR(r->seconds, 4.5, 0.05); // B ends last: 2.5 + 2.0
    EXPECT_EQ(recoveryLine(folder, r), QString("recovered %1: 3 files, 4.5 s").arg(folder));
    const QString when = QDateTime::fromString("2026-03-01T13:05:09Z", Qt::ISODate)
                             .toLocalTime()
                             .toString("yyyy-MM-dd HH:mm:ss");
    EXPECT_EQ(recoveryNotice(*r).toStdString(),
              ("Recovered the session of " + when + " after an unexpected exit.").toStdString());
    EXPECT_FALSE(QFileInfo::exists(at(".recording")));
    EXPECT_TRUE(unfinishedSessions(root.path()).isEmpty());

    const auto doc = SessionDocument::read(folder);
    ASSERT_TRUE(doc.ok()) << doc.error().message;
    ASSERT_EQ(doc->recordings.size(), 2u);
    QFile raw(at("session.json"));
    ASSERT_TRUE(raw.open(QIODevice::ReadOnly));
    EXPECT_TRUE(raw.readAll().contains("\"sessionStart\": \"2026-03-01T13:05:09Z\""));
    EXPECT_EQ(doc->recordings[0].file, "A - One (16x9) (+0m01s).mov");
    EXPECT_EQ(doc->recordings[1].file, "B - Two (16x9) (+0m03s).mov");
    EXPECT_NEAR(*doc->recordings[0].duration, 3.0, 0.05);
    EXPECT_NEAR(*doc->recordings[1].duration, 2.0, 0.05);
    EXPECT_EQ(doc->recordings[0].startTimecode, "14:05:09:18");
    ASSERT_TRUE(doc->mic);
    EXPECT_EQ(doc->mic->file, "Mic (+0m00s).m4a");
    EXPECT_NEAR(*doc->mic->duration, 4.0, 0.05);
    ASSERT_EQ(doc->focus.size(), 2u);
    EXPECT_EQ(doc->focus[1].file, "B - Two (16x9) (+0m03s).mov");
    // Plain files now, that every reader plays in full.
    for (const auto& rec : doc->recordings) {
        const auto f = test::probeFile(at(rec.file).toStdString(), true);
        ASSERT_TRUE(f.opened) << f.error;
        EXPECT_EQ(f.first("video")->decodeErrors, 0);
        EXPECT_NEAR(f.duration, *rec.duration, 0.1);
    }

    // A second run finds nothing to do; the folder is a finished session.
    const auto again = recoverSession(folder, media());
    ASSERT_FALSE(again.ok());
    EXPECT_EQ(recoveryLine(folder, again),
              QString("recover FAILED: %1: not an unfinished session (no recording marker)").arg(folder));
}

TEST_F(Recovery, AStopCutShortIsCompleted) {
    // The stop finished and renamed A, then died before the manifest said so; B it never reached.
    writeFragmented(at("A - One (16x9).mov"), MovieFileType::mov, 2.0);
    ASSERT_TRUE(finishFragmentedFile(at("A - One (16x9).mov").toStdString()).ok());
    ASSERT_TRUE(QFile::rename(at("A - One (16x9).mov"), at("A - One (16x9) (+0m01s).mov")));
    writeFragmented(at("B - Two (16x9).mov"), MovieFileType::mov, 1.5);
    SessionDocument doc = leftover();
    doc.mic.reset();
    writeLeftover(doc);

    const auto r = recoverSession(folder, media());
    ASSERT_TRUE(r.ok()) << r.error().message;
    EXPECT_EQ(r->files, 2);
    const auto read = SessionDocument::read(folder);
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(read->recordings[0].file, "A - One (16x9) (+0m01s).mov");
    EXPECT_NEAR(*read->recordings[0].duration, 2.0, 0.05);
    EXPECT_EQ(read->recordings[1].file, "B - Two (16x9) (+0m03s).mov");
    EXPECT_FALSE(read->mic);
}

TEST_F(Recovery, PowerCutAtAndBetweenFragments) {
    const QString original = QDir(root.path()).filePath("whole.mov");
    writeFragmented(original, MovieFileType::mov, 4.0);
    const auto moofs = boxes(original, "moof");
    ASSERT_GE(moofs.size(), 8u) << "a fragment per half second";
    const qint64 size = QFileInfo(original).size();

    // Cut at every fragment boundary and in the middle of every fragment.
    std::vector<std::pair<qint64, int>> cuts; // (length, whole fragments left)
    for (std::size_t i = 0; i < moofs.size(); ++i) {
        cuts.emplace_back(moofs[i], int(i));
        const qint64 end = i + 1 < moofs.size() ? moofs[i + 1] : size;
        cuts.emplace_back((moofs[i] + end) / 2, int(i));
    }
    for (const auto& [length, whole] : cuts) {
        SCOPED_TRACE(length);
        const QString name = "A - One (16x9).mov";
        QFile::remove(at(name));
        for (const QString& f : QDir(folder).entryList(QDir::Files | QDir::Hidden))
            QFile::remove(at(f));
        ASSERT_TRUE(QFile::copy(original, at(name)));
        ASSERT_TRUE(QFile::resize(at(name), length));
        SessionDocument doc = leftover();
        doc.recordings.resize(1);
        doc.mic.reset();
        writeLeftover(doc);

        const auto r = recoverSession(folder, media());
        ASSERT_TRUE(r.ok()) << r.error().message;
        const auto read = SessionDocument::read(folder);
        ASSERT_TRUE(read.ok());
        if (whole == 0) {
            // No complete second: the file stays as it is and is not described.
            EXPECT_EQ(r->files, 0);
            EXPECT_EQ(r->skipped.size(), 1);
            EXPECT_TRUE(read->recordings.empty());
            EXPECT_EQ(QFileInfo(at(name)).size(), length);
            continue;
        }
        ASSERT_EQ(read->recordings.size(), 1u);
        const QString file = read->recordings[0].file;
        EXPECT_EQ(file, "A - One (16x9) (+0m01s).mov");
        const double d = *read->recordings[0].duration;
        // Whole fragments kept: about half a second each.
        EXPECT_NEAR(d, 4.0 * whole / double(moofs.size()), 0.35);
        const auto f = test::probeFile(at(file).toStdString(), true);
        ASSERT_TRUE(f.opened) << f.error;
        EXPECT_EQ(f.first("video")->decodeErrors, 0);
        EXPECT_NEAR(f.first("video")->decodedFrames, d * kFps, 1);
    }
}

TEST_F(Recovery, HostileLeftoversAreRefusedAndNothingIsTouched) {
    const QString outside = QDir(root.path()).filePath("outside.mov");
    writeFragmented(outside, MovieFileType::mov, 1.5);
    const qint64 outsideSize = QFileInfo(outside).size();

    // A marker without a manifest.
    {
        QFile m(at(".recording"));
        ASSERT_TRUE(m.open(QIODevice::WriteOnly));
    }
    auto r = recoverSession(folder, media());
    ASSERT_FALSE(r.ok());
    EXPECT_NE(r.error().message.find("no usable session.json"), std::string::npos) << r.error().message;
    EXPECT_TRUE(QFileInfo::exists(at(".recording")));

    // Names that lead out of the folder.
    for (const QString& bad : {QString("../outside.mov"), outside, QString("sub/x.mov")}) {
        SCOPED_TRACE(bad.toStdString());
        SessionDocument doc = leftover();
        doc.recordings[0].file = bad;
        writeLeftover(doc, false);
        r = recoverSession(folder, media());
        ASSERT_FALSE(r.ok());
        EXPECT_TRUE(QFileInfo::exists(at(".recording")));
    }
    EXPECT_EQ(QFileInfo(outside).size(), outsideSize);

    // A link to a file outside, a missing file, a file that is no movie: skipped, left alone.
    SessionDocument doc = leftover();
    ASSERT_TRUE(QFile::link(outside, at("A - One (16x9).mov")));
    {
        QFile junk(at("Mic.m4a"));
        ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
        junk.write("\0\0\0\x10moofnot a movie", 20);
    }
    writeLeftover(doc, false);
    r = recoverSession(folder, media());
    ASSERT_TRUE(r.ok()) << r.error().message;
    EXPECT_EQ(r->files, 0);
    EXPECT_EQ(r->skipped.size(), 3) << r->skipped.join("; ").toStdString();
    EXPECT_EQ(QFileInfo(outside).size(), outsideSize);
    EXPECT_TRUE(QFileInfo(at("A - One (16x9).mov")).isSymLink());
    EXPECT_EQ(QFileInfo(at("Mic.m4a")).size(), 20);
    const auto read = SessionDocument::read(folder);
    ASSERT_TRUE(read.ok());
    EXPECT_TRUE(read->recordings.empty());
    EXPECT_FALSE(read->mic);
    EXPECT_TRUE(read->focus.empty());

    // Not a folder; a session still being recorded.
    EXPECT_FALSE(recoverSession(at("nothing"), media()).ok());
    auto live = SessionMarker::create(folder);
    ASSERT_TRUE(live.ok()) << live.error().message;
    writeLeftover(leftover(), false);
    r = recoverSession(folder, media());
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message, "the session is still being recorded");
    live->remove();
    EXPECT_FALSE(QFileInfo::exists(at(".recording")));
}

TEST_F(Recovery, OnlyMarkedFoldersAreUnfinished) {
    const QString plain = QDir(root.path()).filePath("2026-03-01 15-00-00");
    ASSERT_TRUE(QDir().mkpath(plain));
    writeLeftover(leftover());
    const QString linked = QDir(root.path()).filePath("2026-03-01 16-00-00");
    ASSERT_TRUE(QFile::link(folder, linked));
    EXPECT_EQ(unfinishedSessions(root.path()), QStringList{folder});
    EXPECT_TRUE(unfinishedSessions(QDir(root.path()).filePath("missing")).isEmpty());
}

// --- At launch: the model, its main window and the history ----------------------------------------

class LaunchRecovery : public test::UiFixture {};

TEST_F(LaunchRecovery, ALeftoverIsRecoveredShownWithItsFolderListedInTheHistoryAndExports) {
    const QString folder = QDir(root).filePath("2026-03-01 14-05-09");
    ASSERT_TRUE(QDir().mkpath(folder));
    writeKilledSession(folder);
    ASSERT_FALSE(HasFatalFailure());
    ui::MainWindow& w = makeWindow();
    w.show();
    exporter->setBackends(ExportBackends{&createMovieWriter, ffmpegMediaReader()});

    cli::recoverAtLaunchInBackground(*model, media());
    ASSERT_TRUE(test::waitUntil([&] { return model->notice().has_value(); }, std::chrono::seconds(60)));
    const QString when = QDateTime::fromString("2026-03-01T13:05:09Z", Qt::ISODate)
                             .toLocalTime()
                             .toString("yyyy-MM-dd HH:mm:ss");
    const QString told = "Recovered the session of " + when + " after an unexpected exit.";
    EXPECT_EQ(model->notice(), told);
    EXPECT_FALSE(QFileInfo::exists(QDir(folder).filePath(".recording")));
    settle();
    EXPECT_EQ(w.noticeLabel()->text(), told);
    EXPECT_TRUE(w.noticeLabel()->isVisibleTo(&w));
    QPushButton* reveal = nullptr;
    for (QPushButton* b : w.findChildren<QPushButton*>())
        if (b->text() == "Show in Folder" && b->isVisibleTo(&w)) reveal = b;
    ASSERT_NE(reveal, nullptr) << "the notice offers the folder";
    reveal->click();
    EXPECT_EQ(actions->opened, QStringList{folder});

    // Listed among the sessions, and exported from there like any other.
    view().setShowHistory(true);
    ui::HistoryPopover* history = w.historyPopover();
    ASSERT_NE(history, nullptr);
    ASSERT_EQ(history->folders(), QStringList{folder});
    ASSERT_EQ(history->exportButtons().size(), 1);
    ASSERT_TRUE(history->exportButtons().front()->isEnabled());
    history->exportButtons().front()->click();
    ASSERT_TRUE(test::waitUntil([&] { return !exporter->state().isRunning(); }, std::chrono::seconds(120)));
    ASSERT_EQ(exporter->state().kind, ExportState::Kind::done) << exporter->state().message.toStdString();
    const auto out = test::probeFile(exporter->state().url.toStdString(), true);
    ASSERT_TRUE(out.opened) << out.error;
    EXPECT_NEAR(out.duration, 4.5, 0.2) << "the whole session, to the end of the last file";
}
