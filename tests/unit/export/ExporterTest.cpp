// The export run against in-process back ends: what reaches the writer, in which order, and
// how a cancel or a failing writer ends the run.
#include "ExportFakes.h"
#include "export/ExportEngine.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace lc {
namespace {

constexpr int W = 64, H = 36;

class ExporterTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        folder = dir.path();
        reader = std::make_shared<fake::Reader>();
    }

    ExportBackends backends() {
        ExportBackends b;
        b.reader = reader;
        b.makeWriter = [this](const std::string& path, MovieFileType,
                              const MovieWriterOptions&) -> Result<std::unique_ptr<MovieWriter>> {
            if (factoryError) return *factoryError;
            auto w = std::make_unique<fake::Writer>(path, log);
            if (configure) configure(*w);
            return std::unique_ptr<MovieWriter>(std::move(w));
        };
        return b;
    }
    Result<QString> exportNow() { return ExportEngine::runBlocking(folder, session, backends()); }
    QString path(const QString& name) const { return QDir(folder).filePath(name); }

    QTemporaryDir dir;
    QString folder;
    std::shared_ptr<fake::Reader> reader;
    std::shared_ptr<fake::WriterLog> log = std::make_shared<fake::WriterLog>();
    std::function<void(fake::Writer&)> configure;
    std::optional<Error> factoryError;
    ExportSession session;
};

TEST_F(ExporterTest, HandsEveryFrameAndTheSoundToTheWriterInOrder) {
    reader->media["A.mp4"] = {W, H, 30, 60, 0};
    reader->media["Mic.m4a"] = {0, 0, 30, 0, 96000};
    fake::writeSession(folder, {{"A.mp4", 30, 0, false}}, std::make_pair(QString("Mic.m4a"), 0.0), {}, W, H);

    const auto out = exportNow();
    ASSERT_TRUE(out.ok()) << out.error().message;
    EXPECT_EQ(*out, path("Loomcast Final.mp4"));
    EXPECT_TRUE(log->finished);
    EXPECT_FALSE(log->cancelled);
    EXPECT_EQ(session.progress(), 1.0);

    // Two seconds at 30 fps: every frame once, at n / 30 s, the clip's frame n.
    ASSERT_EQ(log->videoPts.size(), 60u);
    for (std::size_t n = 0; n < 60; ++n) {
        EXPECT_EQ(log->videoPts[n], std::int64_t(n) * 3000) << n;
        EXPECT_EQ(log->videoLuma[n], fake::lumaOf(std::int64_t(n))) << n;
    }
    // The microphone alone, at full volume: its samples unchanged and contiguous from zero.
    ASSERT_EQ(log->audio.size(), 96000u * 2);
    for (std::size_t i = 0; i < 96000; i += 997) {
        EXPECT_EQ(log->audio[2 * i], fake::sampleOf(std::int64_t(i))) << i;
        EXPECT_EQ(log->audio[2 * i + 1], -fake::sampleOf(std::int64_t(i))) << i;
    }
    EXPECT_EQ(log->audioPts.front(), 0);
    EXPECT_TRUE(std::is_sorted(log->audioPts.begin(), log->audioPts.end()));
}

TEST_F(ExporterTest, FollowsTheFocusFromClipToClip) {
    reader->media["A.mp4"] = {W, H, 30, 90, 0};
    reader->media["B.mp4"] = {W, H, 30, 90, 0};
    fake::writeSession(folder, {{"A.mp4", 30, 0, false}, {"B.mp4", 30, 0, false}}, std::nullopt,
                       {{0, "A.mp4"}, {1, "B.mp4"}}, W, H);
    ASSERT_TRUE(exportNow().ok());
    ASSERT_EQ(log->videoPts.size(), 90u);
    // A before the switch, B (its own frame of that time) once the 0.35 s dissolve is over.
    EXPECT_EQ(log->videoLuma[20], fake::lumaOf(20));
    EXPECT_EQ(log->videoLuma[50], fake::lumaOf(50));
    // Mid-dissolve both clips show the same frame number, so the blend keeps its luma.
    EXPECT_NEAR(log->videoLuma[35], fake::lumaOf(35), 1);
}

TEST_F(ExporterTest, OnlyTheClipsOnScreenHoldADecoder) {
    // Six clips of 12 s; the focus visits each in turn every 0.5 s (with its dissolve), twice.
    std::vector<fake::Rec> recs;
    std::vector<std::pair<double, QString>> focus;
    for (int i = 0; i < 6; ++i) {
        const QString name = QStringLiteral("W%1.mp4").arg(i);
        reader->media[name.toStdString()] = {W, H, 30, 360, 0, 30 * i};
        recs.push_back({name, 30, 0, false});
    }
    for (int k = 0; k < 24; ++k)
        focus.push_back({0.5 * k, recs[std::size_t(k % 6)].file});
    fake::writeSession(folder, recs, std::nullopt, focus, W, H);

    ASSERT_TRUE(exportNow().ok());
    EXPECT_LE(reader->peakDecoders.load(), 2);
    EXPECT_EQ(reader->liveDecoders.load(), 0);
    // Every stretch on screen opened its own decoder (24 visits), none more than that.
    EXPECT_EQ(reader->opened.load(), 24);
    ASSERT_EQ(log->videoPts.size(), 360u);
    // Past each dissolve the focused clip's own frame of that time.
    for (int k = 0; k < 24; ++k) {
        const std::int64_t n = 15 * k + 12;
        EXPECT_EQ(log->videoLuma[std::size_t(n)], fake::lumaOf(n, 30 * (k % 6))) << n;
    }
}

TEST_F(ExporterTest, CancelAtAHeldFrameEndsTheRunWithoutAFile) {
    reader->media["A.mp4"] = {W, H, 30, 300, 0};
    fake::writeSession(folder, {{"A.mp4", 30, 0, false}}, std::nullopt, {}, W, H);
    configure = [this](fake::Writer& w) {
        // The writer holds frame 10 until the user cancels, then refuses everything.
        w.onFrame = [this](std::int64_t n) {
            if (n < 10) return true;
            session.cancelExport();
            return false;
        };
    };
    const auto out = exportNow();
    ASSERT_FALSE(out.ok());
    EXPECT_EQ(out.error().message, "Export cancelled");
    EXPECT_EQ(log->videoPts.size(), 10u);
    EXPECT_TRUE(log->cancelled);
    EXPECT_FALSE(log->finished);
    EXPECT_FALSE(QFile::exists(path("Loomcast Final.mp4")));
}

TEST_F(ExporterTest, WritesUnderATemporaryNameAndTakesTheFinalNameOnlyWhenComplete) {
    reader->media["A.mp4"] = {W, H, 30, 30, 0};
    fake::writeSession(folder, {{"A.mp4", 30, 0, false}}, std::nullopt, {}, W, H);
    configure = [this](fake::Writer& w) {
        w.onFrame = [this](std::int64_t n) {
            // Midway, another export takes the first name.
            if (n == 5) {
                QFile other(path("Loomcast Final.mp4"));
                EXPECT_TRUE(other.open(QIODevice::WriteOnly));
                other.write("theirs");
            }
            return true;
        };
    };
    const auto out = exportNow();
    ASSERT_TRUE(out.ok()) << out.error().message;
    const QFileInfo temp(QString::fromStdString(log->path));
    EXPECT_EQ(temp.absolutePath(), QFileInfo(folder).absoluteFilePath());
    EXPECT_TRUE(temp.fileName().startsWith('.')) << temp.fileName().toStdString();
    EXPECT_FALSE(temp.fileName().contains("Loomcast Final"));
    EXPECT_FALSE(temp.exists());
    EXPECT_EQ(*out, path("Loomcast Final 2.mp4"));
    EXPECT_TRUE(QFile::exists(*out));
    QFile other(path("Loomcast Final.mp4"));
    ASSERT_TRUE(other.open(QIODevice::ReadOnly));
    EXPECT_EQ(other.readAll(), "theirs");
}

TEST_F(ExporterTest, CancelBeforeTheStartWritesNothing) {
    reader->media["A.mp4"] = {W, H, 30, 30, 0};
    fake::writeSession(folder, {{"A.mp4", 30, 0, false}}, std::nullopt, {}, W, H);
    session.cancelExport();
    const auto out = exportNow();
    ASSERT_FALSE(out.ok());
    EXPECT_EQ(out.error().message, "Export cancelled");
    EXPECT_FALSE(log->started);
    EXPECT_TRUE(log->videoPts.empty());
    EXPECT_EQ(reader->probed, 0) << "a cancelled export still opened the recordings";
}

TEST_F(ExporterTest, CancelWhileTheRecordingsAreOpenedStopsBeforeTheNext) {
    reader->media["A.mp4"] = {W, H, 30, 30, 0};
    reader->media["B.mp4"] = {W, H, 30, 30, 0};
    fake::writeSession(folder, {{"A.mp4", 30, 0, false}, {"B.mp4", 30, 0, false}}, std::nullopt, {}, W, H);
    // The user cancels while the first recording is being looked at.
    class CancellingReader final : public MediaReader {
    public:
        CancellingReader(const fake::Reader& inner, ExportSession& s) : inner_(inner), session_(s) {}
        Result<MediaInfo> probe(const std::string& path) const override {
            ++probes;
            session_.cancelExport();
            return inner_.probe(path);
        }
        Result<std::unique_ptr<VideoDecoder>> openVideo(const std::string& path) const override {
            return inner_.openVideo(path);
        }
        Result<std::unique_ptr<AudioDecoder>> openAudio(const std::string& path) const override {
            return inner_.openAudio(path);
        }
        mutable int probes = 0;

    private:
        const fake::Reader& inner_;
        ExportSession& session_;
    };
    auto cancelling = std::make_shared<CancellingReader>(*reader, session);
    ExportBackends b = backends();
    b.reader = cancelling;
    const auto out = ExportEngine::runBlocking(folder, session, b);
    ASSERT_FALSE(out.ok());
    EXPECT_EQ(out.error().message, "Export cancelled");
    EXPECT_EQ(cancelling->probes, 1);
    EXPECT_FALSE(log->started);
}

TEST_F(ExporterTest, WriterFailuresReachTheUserWithTheirReason) {
    reader->media["A.mp4"] = {W, H, 30, 120, 0};
    fake::writeSession(folder, {{"A.mp4", 30, 0, false}}, std::nullopt, {}, W, H);

    configure = [](fake::Writer& w) { w.failAfter = 5; };
    auto out = exportNow();
    ASSERT_FALSE(out.ok());
    EXPECT_EQ(out.error().message, "Cannot write \"Loomcast Final.mp4\": No space left on device");
    EXPECT_TRUE(log->cancelled);
    EXPECT_FALSE(QFile::exists(path("Loomcast Final.mp4")));

    configure = [](fake::Writer& w) {
        w.failAddVideo = makeError("Cannot add video input: no H.264 encoder");
    };
    out = exportNow();
    ASSERT_FALSE(out.ok());
    EXPECT_EQ(out.error().message, "Cannot create export session: Cannot add video input: no H.264 encoder");

    configure = {};
    factoryError = makeError("Cannot create writer for /x/Loomcast Final.mp4: Protocol not found");
    out = exportNow();
    ASSERT_FALSE(out.ok());
    EXPECT_EQ(
        out.error().message,
        "Cannot create export session: Cannot create writer for /x/Loomcast Final.mp4: Protocol not found");

    ExportBackends none;
    out = ExportEngine::runBlocking(folder, session, none);
    ASSERT_FALSE(out.ok());
    EXPECT_EQ(out.error().message.rfind("Cannot create export session: ", 0), 0u) << out.error().message;
}

} // namespace
} // namespace lc
