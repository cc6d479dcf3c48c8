// Writes real files through the FFmpeg movie writer and reads them back with libavformat.
#include "platform/MovieWriter.h"
#include "MediaProbe.h"

#include <gtest/gtest.h>

#include "TestSupport.h"
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace lc;
using lc::test::probeFile;

namespace {

class TempDir {
public:
    TempDir() {
        std::string t = (fs::temp_directory_path() / "lc-media-XXXXXX").string();
        path_ = mkdtemp(t.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string file(const std::string& name) const { return (fs::path(path_) / name).string(); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::unique_ptr<MovieWriter> create(const std::string& path, MovieFileType type, bool fragmented = true) {
    auto w = createMovieWriter(path, type, MovieWriterOptions{.fragmented = fragmented});
    EXPECT_TRUE(w.ok()) << (w.ok() ? "" : w.error().message);
    return w.ok() ? std::move(w.value()) : nullptr;
}

void fill(YuvFrame& f, int level) {
    for (int y = 0; y < f.height; ++y)
        std::memset(f.planes[0] + y * f.strides[0], level, f.width);
    for (int p = 1; p < 3; ++p)
        for (int y = 0; y < f.height / 2; ++y)
            std::memset(f.planes[p] + y * f.strides[p], 128, f.width / 2);
}

// Appends one frame, waiting (as a real producer would retry on its next tick) while the queue is full.
void appendFrame(MovieWriter& w, int index, std::int64_t pts) {
    YuvFramePtr f;
    for (int tries = 0; tries < 5000 && !(f = w.freeVideoFrame()); ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(f);
    fill(*f, 16 + (index * 7) % 200);
    ASSERT_TRUE(w.waitUntilReady(0, 10));
    ASSERT_TRUE(w.appendVideo(f, pts));
}

std::vector<std::int16_t> tone(std::int64_t start, std::int64_t frames, double hz, double amp) {
    std::vector<std::int16_t> s(std::size_t(frames) * 2);
    for (std::int64_t i = 0; i < frames; ++i) {
        const auto v = std::int16_t(amp * 32767 * std::sin(2 * M_PI * hz * double(start + i) / 48000.0));
        s[std::size_t(2 * i)] = s[std::size_t(2 * i + 1)] = v;
    }
    return s;
}

// Feeds [from, to) samples of a tone in chunks of varied sizes.
void appendTone(MovieWriter& w, MovieWriter::InputId in, std::int64_t from, std::int64_t to,
                std::mt19937& rng) {
    std::uniform_int_distribution<std::int64_t> size(1, 3000);
    for (std::int64_t pos = from; pos < to;) {
        const std::int64_t n = std::min(size(rng), to - pos);
        auto chunk = tone(pos, n, 440, 0.5);
        ASSERT_TRUE(w.waitUntilReady(in, 10));
        ASSERT_TRUE(w.appendAudio(in, chunk, pos));
        pos += n;
    }
}

} // namespace

TEST(MovieWriter, MovRecordingCarriesVideoAudioAndTimecodeTracks) {
    TempDir dir;
    const auto path = dir.file("window.mov");
    auto w = create(path, MovieFileType::mov);
    ASSERT_TRUE(w);
    auto video = w->addVideoInput(VideoSettings::forRecording(VideoCodec::h264, 320, 240, 30));
    ASSERT_TRUE(video.ok());
    auto app = w->addAudioInput();
    auto mic = w->addAudioInput();
    ASSERT_TRUE(app.ok() && mic.ok());
    ASSERT_TRUE(w->addTimecodeTrack(30));
    ASSERT_TRUE(w->startWriting().ok());
    EXPECT_FALSE(w->isReadyForMoreMediaData(*video)) << "no appends before the session starts";
    // 14:03:07.5 at 30 fps.
    w->setTimecodeStart(30 * 50587 + 15);
    ASSERT_TRUE(w->startSession().ok());
    std::mt19937 rng(1);
    for (int i = 0; i < 60; ++i) {
        appendFrame(*w, i, std::int64_t(i) * 3000);
        if (i % 10 == 9) {
            appendTone(*w, *app, (i - 9) * 1600, (i + 1) * 1600, rng);
            appendTone(*w, *mic, (i - 9) * 1600, (i + 1) * 1600, rng);
        }
    }
    w->markFinished(*video);
    w->markFinished(*app);
    w->markFinished(*mic);
    ASSERT_TRUE(w->finishAndWait().ok());
    EXPECT_EQ(w->status(), MovieWriter::Status::completed);

    auto f = probeFile(path, true);
    ASSERT_TRUE(f.opened) << f.error;
    ASSERT_EQ(f.streams.size(), 4u);
    const auto& v = f.streams[0];
    EXPECT_EQ(v.type, "video");
    EXPECT_EQ(v.codec, "h264");
    EXPECT_EQ(v.tag, "avc1");
    EXPECT_EQ(v.width, 320);
    EXPECT_EQ(v.height, 240);
    EXPECT_EQ(v.colorSpace, "bt709");
    EXPECT_EQ(v.colorRange, "tv");
    EXPECT_EQ(v.timeBaseDen, 90000);
    ASSERT_EQ(v.pts.size(), 60u);
    for (std::size_t i = 0; i < v.pts.size(); ++i)
        EXPECT_EQ(v.pts[i], std::int64_t(i) * 3000);
    EXPECT_EQ(v.decodedFrames, 60);
    EXPECT_EQ(v.decodeErrors, 0);
    for (int k : {1, 2}) {
        EXPECT_EQ(f.streams[k].type, "audio");
        EXPECT_EQ(f.streams[k].codec, "aac");
        EXPECT_EQ(f.streams[k].sampleRate, 48000);
        EXPECT_EQ(f.streams[k].channels, 2);
        EXPECT_EQ(f.streams[k].decodeErrors, 0);
    }
    const auto& tc = f.streams[3];
    EXPECT_EQ(tc.tag, "tmcd");
    EXPECT_EQ(tc.tags.at("timecode"), "14:03:07:15");
    ASSERT_EQ(tc.data.size(), 1u);
    ASSERT_EQ(tc.data[0].size(), 4u);
    const std::uint32_t count =
        (std::uint32_t(tc.data[0][0]) << 24) | (tc.data[0][1] << 16) | (tc.data[0][2] << 8) | tc.data[0][3];
    EXPECT_EQ(count, 1517625u);
}

TEST(MovieWriter, Mp4HevcHasMetadataNoTimecodeAndIndexAtTheFront) {
    TempDir dir;
    const auto path = dir.file("final.mp4");
    auto w = create(path, MovieFileType::mp4, /*fragmented=*/false);
    ASSERT_TRUE(w);
    auto video = w->addVideoInput(VideoSettings::forExport(VideoCodec::hevc, 256, 144, 25, 20));
    ASSERT_TRUE(video.ok()) << video.error().message;
    EXPECT_FALSE(w->addTimecodeTrack(25)) << "MP4 files never get a timecode track";
    w->setMetadata("timecode=09:26:53:12 fps=25 start=2026-03-14T09:26:53+01:00",
                   "2026-03-14T09:26:53+01:00");
    ASSERT_TRUE(w->startWriting().ok());
    w->setTimecodeStart(1234);
    ASSERT_TRUE(w->startSession().ok());
    for (int i = 0; i < 30; ++i)
        appendFrame(*w, i, std::int64_t(i) * 3600);
    ASSERT_TRUE(w->finishAndWait().ok());

    auto f = probeFile(path, true);
    ASSERT_TRUE(f.opened) << f.error;
    ASSERT_EQ(f.streams.size(), 1u);
    EXPECT_EQ(f.streams[0].codec, "hevc");
    EXPECT_EQ(f.streams[0].tag, "hvc1");
    EXPECT_EQ(f.streams[0].decodedFrames, 30);
    EXPECT_EQ(f.count("data"), 0);
    EXPECT_EQ(f.tags["comment"], "timecode=09:26:53:12 fps=25 start=2026-03-14T09:26:53+01:00");
    EXPECT_EQ(f.tags["date"], "2026-03-14T09:26:53+01:00");
    const long moov = lc::test::topLevelBox(path, "moov"), mdat = lc::test::topLevelBox(path, "mdat");
    EXPECT_GE(moov, 0);
    EXPECT_LT(moov, mdat) << "faststart puts the index first";
}

TEST(MovieWriter, M4aCarriesCommentAndContinuousAudio) {
    TempDir dir;
    const auto path = dir.file("Mic.m4a");
    auto w = create(path, MovieFileType::m4a);
    ASSERT_TRUE(w);
    EXPECT_FALSE(w->addVideoInput(VideoSettings::forRecording(VideoCodec::h264, 64, 64, 30)).ok());
    auto in = w->addAudioInput();
    ASSERT_TRUE(in.ok());
    w->setMetadata("timecode=10:00:00:00 fps=30 start=2026-01-01T10:00:00Z", "2026-01-01T10:00:00Z");
    ASSERT_TRUE(w->startWriting().ok());
    ASSERT_TRUE(w->startSession().ok());
    std::mt19937 rng(2);
    appendTone(*w, *in, 0, 96000, rng);
    ASSERT_TRUE(w->finishAndWait().ok());

    auto f = probeFile(path, true);
    ASSERT_TRUE(f.opened) << f.error;
    ASSERT_EQ(f.streams.size(), 1u);
    EXPECT_EQ(f.streams[0].codec, "aac");
    EXPECT_EQ(f.streams[0].decodeErrors, 0);
    EXPECT_EQ(f.tags["comment"], "timecode=10:00:00:00 fps=30 start=2026-01-01T10:00:00Z");
    EXPECT_EQ(f.tags["date"], "2026-01-01T10:00:00Z");
    const auto pcm = lc::test::decodeAudioTrack(path);
    EXPECT_NEAR(double(pcm.size()), 96000, 1100);
}

// Sound stamped at a time plays at that time, whatever the chunking, gaps and container mode.
class AudioPlacement : public testing::TestWithParam<std::tuple<MovieFileType, bool>> {};

TEST_P(AudioPlacement, OnsetLandsOnItsTimestamp) {
    const auto [type, fragmented] = GetParam();
    TempDir dir;
    const auto path = dir.file(type == MovieFileType::m4a ? "a.m4a" : "a.mov");
    auto w = create(path, type, fragmented);
    ASSERT_TRUE(w);
    std::optional<MovieWriter::InputId> video;
    if (type != MovieFileType::m4a)
        video = *w->addVideoInput(VideoSettings::forRecording(VideoCodec::h264, 64, 64, 30));
    auto in = w->addAudioInput();
    ASSERT_TRUE(in.ok());
    ASSERT_TRUE(w->startWriting().ok());
    ASSERT_TRUE(w->startSession().ok());
    if (video)
        for (int i = 0; i < 45; ++i)
            appendFrame(*w, i, std::int64_t(i) * 3000);
    // Silence from 0.25 s to 0.5 s, nothing until 0.75 s, silence, a loud tone from 1.0 s.
    auto silence = std::vector<std::int16_t>(2 * 12000, 0);
    ASSERT_TRUE(w->appendAudio(*in, silence, 12000));
    ASSERT_TRUE(w->appendAudio(*in, silence, 36000));
    std::mt19937 rng(3);
    std::uniform_int_distribution<std::int64_t> size(100, 2000);
    for (std::int64_t pos = 48000; pos < 72000;) {
        const std::int64_t n = std::min(size(rng), 72000 - pos);
        auto chunk = tone(pos, n, 1000, 0.8);
        ASSERT_TRUE(w->appendAudio(*in, chunk, pos));
        pos += n;
    }
    ASSERT_TRUE(w->finishAndWait().ok());

    const auto pcm = lc::test::decodeAudioTrack(path);
    ASSERT_GT(pcm.size(), 70000u);
    std::size_t onset = 0;
    while (onset < pcm.size() && std::fabs(pcm[onset]) < 0.2f)
        ++onset;
    EXPECT_NEAR(double(onset), 48000.0, 48.0) << "within 1 ms";
    EXPECT_NEAR(double(pcm.size()), 72000.0, 1100.0);
}

TEST(AudioPlacement, AStandingOffsetUnderTheSlackIsTakenOut) {
    // The first chunks anchor the track; then the stream's clock settles 10 ms later, too little
    // for a gap. Chunk after chunk off the same way: the track is put back on its stamps.
    TempDir dir;
    const auto path = dir.file("a.m4a");
    auto w = create(path, MovieFileType::m4a);
    ASSERT_TRUE(w);
    auto in = w->addAudioInput();
    ASSERT_TRUE(in.ok());
    ASSERT_TRUE(w->startWriting().ok());
    ASSERT_TRUE(w->startSession().ok());
    const auto quiet = std::vector<std::int16_t>(2 * 480, 0);
    std::int64_t pos = 0;
    for (; pos < 4800; pos += 480)
        ASSERT_TRUE(w->appendAudio(*in, quiet, pos));
    for (; pos < 48000; pos += 480)
        ASSERT_TRUE(w->appendAudio(*in, quiet, pos + 480));
    for (; pos < 72000; pos += 480)
        ASSERT_TRUE(w->appendAudio(*in, tone(pos + 480, 480, 1000, 0.8), pos + 480));
    ASSERT_TRUE(w->finishAndWait().ok());

    const auto pcm = lc::test::decodeAudioTrack(path);
    std::size_t onset = 0;
    while (onset < pcm.size() && std::fabs(pcm[onset]) < 0.2f)
        ++onset;
    EXPECT_NEAR(double(onset), 48480.0, 48.0) << "within 1 ms";
}

INSTANTIATE_TEST_SUITE_P(Containers, AudioPlacement,
                         testing::Values(std::tuple{MovieFileType::m4a, true},
                                         std::tuple{MovieFileType::m4a, false},
                                         std::tuple{MovieFileType::mov, true},
                                         std::tuple{MovieFileType::mp4, false}));

TEST(MovieWriter, RefusesWhatItCannotTakeWithoutBlocking) {
    TempDir dir;
    const auto path = dir.file("q.mov");
    auto w = create(path, MovieFileType::mov);
    ASSERT_TRUE(w);
    // A large, slow frame size so that the queue certainly fills.
    auto video = w->addVideoInput(VideoSettings::forRecording(VideoCodec::h264, 1920, 1080, 30));
    auto audio = w->addAudioInput();
    ASSERT_TRUE(video.ok() && audio.ok());
    auto frame = w->freeVideoFrame();
    ASSERT_TRUE(frame);
    fill(*frame, 100);
    EXPECT_FALSE(w->appendVideo(frame, 0)) << "before startWriting";
    ASSERT_TRUE(w->startWriting().ok());
    EXPECT_FALSE(w->addAudioInput().ok()) << "inputs are declared before writing";
    ASSERT_TRUE(w->startSession().ok());

    int accepted = 0, refused = 0;
    std::int64_t last = -1;
    for (int i = 0; i < 40; ++i) {
        const bool ok = w->appendVideo(frame, std::int64_t(i) * 3000);
        (ok ? accepted : refused)++;
        if (ok) last = std::int64_t(i) * 3000;
    }
    EXPECT_GT(refused, 0) << "a full queue refuses";
    EXPECT_FALSE(w->isReadyForMoreMediaData(*video));
    EXPECT_TRUE(w->waitUntilReady(*video, 10)) << "the writer's thread makes room";
    EXPECT_FALSE(w->appendVideo(frame, last)) << "times must increase";
    auto wrongSize = YuvFrame::allocate(64, 64);
    EXPECT_FALSE(w->appendVideo(wrongSize, last + 100000));
    std::vector<std::int16_t> odd(3, 0);
    EXPECT_FALSE(w->appendAudio(*audio, odd, 0)) << "whole stereo frames only";
    w->markFinished(*audio);
    EXPECT_FALSE(w->appendAudio(*audio, std::vector<std::int16_t>(2048, 0), 0)) << "after markFinished";
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(w->waitUntilReady(*audio, 10));
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5))
        << "no wait for a finished input";
    ASSERT_TRUE(w->finishAndWait().ok());
    EXPECT_EQ(probeFile(path).first("video")->pts.size(), std::size_t(accepted));
}

TEST(MovieWriter, ErrorsAreOneReadableLine) {
    TempDir dir;
    {
        auto w = create(dir.file("missing/x.mov"), MovieFileType::mov);
        ASSERT_TRUE(w->addVideoInput(VideoSettings::forRecording(VideoCodec::h264, 64, 64, 30)).ok());
        auto r = w->startWriting();
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().message,
                  "Cannot create \u201c" + dir.file("missing/x.mov") + "\u201d: No such file or directory");
        EXPECT_EQ(w->status(), MovieWriter::Status::failed);
    }
    {
        const auto existing = dir.file("existing.mov");
        std::ofstream(existing) << "keep me";
        auto w = create(existing, MovieFileType::mov);
        ASSERT_TRUE(w->addVideoInput(VideoSettings::forRecording(VideoCodec::h264, 64, 64, 30)).ok());
        auto r = w->startWriting();
        ASSERT_FALSE(r.ok());
        EXPECT_NE(r.error().message.find("File exists"), std::string::npos) << r.error().message;
        w->cancel();
        EXPECT_EQ(fs::file_size(existing), 7u) << "an existing file is never overwritten or removed";
    }
    {
        auto w = create(dir.file("odd.mov"), MovieFileType::mov);
        auto r = w->addVideoInput(VideoSettings::forRecording(VideoCodec::h264, 101, 64, 30));
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().domain, "Loomcast");
        EXPECT_EQ(r.error().code, 1);
        EXPECT_EQ(r.error().message.rfind("Cannot add video input", 0), 0u);
    }
    {
        auto w = create(dir.file("never.mov"), MovieFileType::mov);
        ASSERT_TRUE(w->addVideoInput(VideoSettings::forRecording(VideoCodec::h264, 64, 64, 30)).ok());
        ASSERT_TRUE(w->startWriting().ok());
        auto r = w->finishAndWait();
        EXPECT_FALSE(r.ok()) << "a file whose session never started is not a playable file";
        EXPECT_FALSE(fs::exists(dir.file("never.mov")));
    }
}

TEST(MovieWriter, DiskFullAndReadOnlyFolderAreReported) {
    TempDir dir;
    const std::string mountPoint = dir.file("small");
    fs::create_directory(mountPoint);
    const int full = lc::test::inSmallFilesystem(mountPoint, "size=300k", [&] {
        int failures = 0;
        auto w = createMovieWriter(mountPoint + "/w.mov", MovieFileType::mov);
        auto& writer = *w.value();
        if (!writer.addVideoInput(VideoSettings::forRecording(VideoCodec::h264, 320, 240, 30)).ok())
            return 40;
        std::promise<std::string> reported;
        writer.setErrorHandler([&](const Error& e) { reported.set_value(e.message); });
        if (!writer.startWriting().ok() || !writer.startSession().ok()) return 50;
        std::mt19937 noise(5);
        for (int i = 0; i < 300 && writer.status() == MovieWriter::Status::writing; ++i) {
            auto f = writer.freeVideoFrame();
            while (!f || !writer.isReadyForMoreMediaData(0)) {
                if (writer.status() != MovieWriter::Status::writing) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                if (!f) f = writer.freeVideoFrame();
            }
            if (writer.status() != MovieWriter::Status::writing) break;
            for (auto& b : f->storage)
                b = std::uint8_t(noise()); // incompressible
            writer.appendVideo(f, std::int64_t(i) * 3000);
        }
        auto r = writer.finishAndWait();
        const std::string expected = "No space left on device";
        if (r.ok() || r.error().message.find(expected) == std::string::npos) ++failures;
        auto fut = reported.get_future();
        if (fut.wait_for(std::chrono::seconds(1)) != std::future_status::ready ||
            fut.get().find(expected) == std::string::npos)
            ++failures;
        if (writer.status() != MovieWriter::Status::failed) ++failures;
        writer.cancel();
        if (!fs::exists(mountPoint + "/w.mov")) ++failures; // what was written stays
        return failures;
    });
    if (full == 99) GTEST_SKIP() << "no mount namespace available";
    EXPECT_EQ(full, 0);

    const int readOnly = lc::test::inSmallFilesystem(mountPoint, "size=300k,ro", [&] {
        auto w = createMovieWriter(mountPoint + "/w.mov", MovieFileType::mov);
        if (!w.value()->addVideoInput(VideoSettings::forRecording(VideoCodec::h264, 64, 64, 30)).ok())
            return 2;
        auto r = w.value()->startWriting();
        return !r.ok() && r.error().message.find("Read-only file system") != std::string::npos ? 0 : 1;
    });
    EXPECT_EQ(readOnly, 0);
}

TEST(MovieWriter, CancelLeavesNoFile) {
    TempDir dir;
    for (bool started : {false, true}) {
        const auto path = dir.file(started ? "c1.mov" : "c0.mov");
        auto w = create(path, MovieFileType::mov);
        auto video = w->addVideoInput(VideoSettings::forRecording(VideoCodec::h264, 128, 96, 30));
        ASSERT_TRUE(w->startWriting().ok());
        ASSERT_TRUE(fs::exists(path));
        if (started) {
            ASSERT_TRUE(w->startSession().ok());
            for (int i = 0; i < 70; ++i)
                appendFrame(*w, i, std::int64_t(i) * 3000);
        }
        w->cancel();
        EXPECT_EQ(w->status(), MovieWriter::Status::cancelled);
        EXPECT_FALSE(fs::exists(path));
        EXPECT_FALSE(w->appendVideo(w->freeVideoFrame(), 1'000'000));
    }
    // Dropping an unfinished writer cancels it too.
    const auto dropped = dir.file("dropped.mov");
    {
        auto w = create(dropped, MovieFileType::mov);
        ASSERT_TRUE(w->addVideoInput(VideoSettings::forRecording(VideoCodec::h264, 128, 96, 30)).ok());
        ASSERT_TRUE(w->startWriting().ok());
        ASSERT_TRUE(w->startSession().ok());
    }
    EXPECT_FALSE(fs::exists(dropped));
}

TEST(MovieWriter, FinishCompletesAsynchronouslyOnTheWritersThread) {
    TempDir dir;
    const auto path = dir.file("async.mp4");
    auto w = create(path, MovieFileType::mp4);
    ASSERT_TRUE(w->addVideoInput(VideoSettings::forRecording(VideoCodec::h264, 128, 96, 30)).ok());
    ASSERT_TRUE(w->startWriting().ok());
    ASSERT_TRUE(w->startSession().ok());
    for (int i = 0; i < 20; ++i)
        appendFrame(*w, i, std::int64_t(i) * 3000);
    std::promise<std::pair<bool, std::thread::id>> done;
    int calls = 0;
    // The callback may release the writer: that is its last use.
    std::unique_ptr<MovieWriter> owned = std::move(w);
    MovieWriter* raw = owned.get();
    raw->finish(
        [&, holder = std::make_shared<std::unique_ptr<MovieWriter>>(std::move(owned))](Result<void> r) {
            ++calls;
            holder->reset();
            done.set_value({r.ok(), std::this_thread::get_id()});
        });
    auto fut = done.get_future();
    ASSERT_EQ(fut.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    auto [ok, thread] = fut.get();
    EXPECT_TRUE(ok);
    EXPECT_NE(thread, std::this_thread::get_id());
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(probeFile(path).first("video")->pts.size(), 20u);
}
