// A writer killed mid-way (SIGKILL of a child process) leaves a file that plays up to its last
// fragment, timecode and audio included.
#include "MediaProbe.h"
#include "platform/MovieWriter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace lc;

namespace {

// In the child: writes until killed, with fragments every 2 s of video (60 frames at 30 fps).
[[noreturn]] void writeForever(const std::string& path, MovieFileType type) {
    auto w = createMovieWriter(path, type);
    if (!w.ok()) _exit(10);
    MovieWriter& writer = *w.value();
    std::optional<MovieWriter::InputId> video;
    if (type != MovieFileType::m4a) {
        video = *writer.addVideoInput(VideoSettings::forRecording(VideoCodec::h264, 160, 120, 30));
        writer.addTimecodeTrack(30);
    }
    const auto audio = *writer.addAudioInput();
    if (!writer.startWriting().ok()) _exit(11);
    writer.setTimecodeStart(1517625);
    if (!writer.startSession().ok()) _exit(12);
    std::vector<std::int16_t> chunk(2 * 1600);
    for (int i = 0;; ++i) {
        for (std::size_t k = 0; k < chunk.size(); ++k)
            chunk[k] = std::int16_t((k * 37 + std::size_t(i)) % 2000);
        while (!writer.appendAudio(audio, chunk, std::int64_t(i) * 1600))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (video) {
            YuvFramePtr f;
            while (!(f = writer.freeVideoFrame()) || !writer.isReadyForMoreMediaData(*video))
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::memset(f->storage.data(), i % 255, f->storage.size());
            writer.appendVideo(f, std::int64_t(i) * 3000);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

class KilledWriter : public testing::TestWithParam<MovieFileType> {};

} // namespace

TEST_P(KilledWriter, LeavesADecodableFile) {
    const MovieFileType type = GetParam();
    std::string dirTemplate = (fs::temp_directory_path() / "lc-kill-XXXXXX").string();
    const std::string dir = mkdtemp(dirTemplate.data());
    const std::string path = dir + (type == MovieFileType::m4a ? "/mic.m4a" : "/window.mov");

    const pid_t child = fork();
    if (child == 0) writeForever(path, type);
    // Let it write several fragments, then kill it without warning.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::error_code ec;
    while (std::chrono::steady_clock::now() < deadline &&
           (!fs::exists(path, ec) || fs::file_size(path, ec) < 150'000))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended on its own: " << WEXITSTATUS(status);

    auto f = lc::test::probeFile(path, true);
    ASSERT_TRUE(f.opened) << f.error;
    const auto* audio = f.first("audio");
    ASSERT_TRUE(audio);
    // The kill may tear the fragment being written: its cut-off last sample may not decode.
    EXPECT_GT(audio->decodedFrames, 50);
    EXPECT_LE(audio->decodeErrors, 1);
    if (type == MovieFileType::mov) {
        const auto* video = f.first("video");
        ASSERT_TRUE(video);
        EXPECT_GE(video->decodedFrames, 60) << "at least one whole fragment";
        EXPECT_LE(video->decodeErrors, 1);
        const auto* tc = f.first("data");
        ASSERT_TRUE(tc);
        EXPECT_EQ(tc->tag, "tmcd");
        EXPECT_EQ(tc->tags.at("timecode"), "14:03:07:15");
    }
    fs::remove_all(dir, ec);
}

INSTANTIATE_TEST_SUITE_P(Files, KilledWriter, testing::Values(MovieFileType::mov, MovieFileType::m4a));
