// Time to finish a large fragmented recording in place. The header (ftyp and moov, with video,
// audio and timecode tracks) comes from the real writer; the fragments that follow are built
// here with the writer's layout: one fragment per second, 30 video samples of the recording bit
// rate's size (80 Mbit/s by default) and 1 s of AAC-sized audio samples, filled with noise.
// Prints the finish time with the media already on disk (the finisher's own work) and straight
// after writing (its final sync also flushes what the recording had not synced yet).
//   bench_media_finish [--megabytes N] [--dir DIR] [--mbits R]
#include "platform/MovieFinisher.h"
#include "platform/MovieWriter.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace lc;
namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

void be(Bytes& b, std::uint64_t v, int n) {
    for (int i = n - 1; i >= 0; --i)
        b.push_back(std::uint8_t(v >> (8 * i)));
}
std::size_t open(Bytes& b, const char* type) {
    const std::size_t at = b.size();
    be(b, 0, 4);
    b.insert(b.end(), type, type + 4);
    return at;
}
void close(Bytes& b, std::size_t at) {
    const std::uint64_t n = b.size() - at;
    for (int i = 0; i < 4; ++i)
        b[at + std::size_t(i)] = std::uint8_t(n >> (24 - 8 * i));
}

// The header of a real MOV recording with video, audio and timecode (tracks 1, 2, 3).
Bytes realHeader(const std::string& dir) {
    const std::string path = dir + "/header.mov";
    auto created = createMovieWriter(path, MovieFileType::mov, MovieWriterOptions{.finishInPlace = false});
    if (!created.ok()) throw std::runtime_error(created.error().message);
    MovieWriter& w = *created.value();
    const auto video = w.addVideoInput(VideoSettings::forRecording(VideoCodec::h264, 1920, 1080, 30));
    if (!video.ok()) throw std::runtime_error(video.error().message);
    w.addTimecodeTrack(30);
    const auto audio = w.addAudioInput();
    if (!w.startWriting().ok()) throw std::runtime_error("cannot start the writer");
    w.setTimecodeStart(1517625);
    if (!w.startSession().ok()) throw std::runtime_error("cannot start the session");
    YuvFramePtr f;
    while (!(f = w.freeVideoFrame()))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::memset(f->storage.data(), 80, f->storage.size());
    w.appendVideo(f, 0);
    std::vector<std::int16_t> silence(3200);
    w.appendAudio(*audio, silence, 0);
    if (auto r = w.finishAndWait(); !r) throw std::runtime_error(r.error().message);
    std::ifstream in(path, std::ios::binary);
    Bytes b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // ftyp and moov only.
    std::size_t pos = 0;
    for (int box = 0; box < 2; ++box)
        pos += std::size_t(b[pos]) << 24 | std::size_t(b[pos + 1]) << 16 | std::size_t(b[pos + 2]) << 8 |
               b[pos + 3];
    b.resize(pos);
    fs::remove(path);
    return b;
}

struct Run {
    std::uint32_t track;
    std::uint64_t decodeTime;
    std::vector<std::uint32_t> sizes;
    std::uint32_t duration;
    bool keyFirst; // video: the first sample is the only key frame
};

// One fragment: moof with a traf per run (sizes, durations and flags per sample, data offsets
// from the moof) and the mdat with `payload` bytes cycled as sample data.
Bytes fragmentHeader(std::uint32_t sequence, const std::vector<Run>& runs, std::uint64_t& dataSize) {
    Bytes b;
    const auto moof = open(b, "moof");
    const auto mfhd = open(b, "mfhd");
    be(b, 0, 4);
    be(b, sequence, 4);
    close(b, mfhd);
    std::vector<std::size_t> offsetFields;
    for (const auto& r : runs) {
        const auto traf = open(b, "traf");
        const auto tfhd = open(b, "tfhd");
        be(b, 0x020000, 4); // default base is the moof
        be(b, r.track, 4);
        close(b, tfhd);
        const auto tfdt = open(b, "tfdt");
        be(b, 0x01000000, 4);
        be(b, r.decodeTime, 8);
        close(b, tfdt);
        const auto trun = open(b, "trun");
        be(b, 0x000701, 4); // data offset, per-sample duration, size and flags
        be(b, r.sizes.size(), 4);
        offsetFields.push_back(b.size());
        be(b, 0, 4);
        for (std::size_t i = 0; i < r.sizes.size(); ++i) {
            be(b, r.duration, 4);
            be(b, r.sizes[i], 4);
            be(b, r.keyFirst && i > 0 ? 0x01010000 : 0x02000000, 4);
        }
        close(b, trun);
        close(b, traf);
    }
    close(b, moof);
    std::uint64_t offset = b.size() + 8;
    dataSize = 0;
    for (std::size_t k = 0; k < runs.size(); ++k) {
        for (int i = 0; i < 4; ++i)
            b[offsetFields[k] + std::size_t(i)] = std::uint8_t(offset >> (24 - 8 * i));
        for (auto s : runs[k].sizes)
            offset += s, dataSize += s;
    }
    be(b, dataSize + 8, 4);
    b.insert(b.end(), {'m', 'd', 'a', 't'});
    return b;
}

void writeAll(int fd, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w <= 0) throw std::runtime_error(std::string("write: ") + std::strerror(errno));
        p += w, n -= std::size_t(w);
    }
}

// Builds the fragmented file; returns its size.
std::uint64_t buildFile(const std::string& path, const Bytes& header, std::uint64_t target, double mbits) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error(path + ": " + std::strerror(errno));
    std::mt19937 rng(7);
    Bytes noise(8 << 20);
    for (auto& x : noise)
        x = std::uint8_t(rng());
    writeAll(fd, header.data(), header.size());
    std::uint64_t size = header.size(), noiseAt = 0;
    const auto frameBytes = std::uint32_t(mbits * 1e6 / 8 / 30);
    for (std::uint32_t second = 0; size < target; ++second) {
        std::vector<Run> runs;
        Run video{1, std::uint64_t(second) * 90000, {}, 3000, true};
        for (int i = 0; i < 30; ++i)
            video.sizes.push_back(frameBytes + std::uint32_t(rng() % 4096));
        const Run audio{2, std::uint64_t(second) * 47 * 1024, std::vector<std::uint32_t>(47, 371), 1024,
                        false};
        runs.push_back(video);
        runs.push_back(audio);
        if (second == 0) runs.push_back({3, 0, {4}, 0, false});
        std::uint64_t dataSize = 0;
        const Bytes h = fragmentHeader(second + 1, runs, dataSize);
        writeAll(fd, h.data(), h.size());
        for (std::uint64_t left = dataSize; left > 0;) {
            const std::uint64_t n = std::min<std::uint64_t>(left, noise.size() - noiseAt);
            writeAll(fd, noise.data() + noiseAt, std::size_t(n));
            noiseAt = (noiseAt + n) % noise.size();
            left -= n;
        }
        size += h.size() + dataSize;
    }
    ::close(fd);
    return size;
}

double finishSeconds(const std::string& path) {
    const auto t0 = std::chrono::steady_clock::now();
    auto r = finishFragmentedFile(path);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (!r) throw std::runtime_error(r.error().message);
    std::printf("  %llu fragments, video %.1f s, %zu tracks\n", (unsigned long long)r->fragments,
                r->mainSeconds(), r->tracks.size());
    return s;
}

} // namespace

int main(int argc, char** argv) {
    std::uint64_t megabytes = 1024;
    std::string dir = fs::temp_directory_path().string();
    double mbits = 80;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--megabytes")
            megabytes = std::stoull(argv[i + 1]);
        else if (a == "--dir")
            dir = argv[i + 1];
        else if (a == "--mbits")
            mbits = std::stod(argv[i + 1]);
    }
    try {
        std::string t = dir + "/lc-finish-bench-XXXXXX";
        const std::string work = mkdtemp(t.data());
        const Bytes header = realHeader(work);
        const std::string path = work + "/big.mov";

        std::uint64_t size = buildFile(path, header, megabytes << 20, mbits);
        {
            const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            ::fsync(fd);
            ::close(fd);
        }
        std::printf("finish %.0f MB (%.0f Mbit/s, media on disk):\n", double(size) / (1 << 20), mbits);
        const double synced = finishSeconds(path);
        std::printf("  %.3f s\n", synced);

        fs::remove(path);
        size = buildFile(path, header, megabytes << 20, mbits);
        std::printf("finish %.0f MB straight after writing (its sync flushes the unsynced media):\n",
                    double(size) / (1 << 20));
        const double dirty = finishSeconds(path);
        std::printf("  %.3f s\n", dirty);
        fs::remove_all(work);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_media_finish: %s\n", e.what());
        return 1;
    }
    return 0;
}
