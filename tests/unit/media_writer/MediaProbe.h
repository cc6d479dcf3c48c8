#pragma once
// Reads a movie file back with libavformat/libavcodec for the tests: its tracks, their packets
// and tags, and optionally the decoded pictures and sound.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace lc::test {

struct ProbedStream {
    std::string type;  // "video", "audio", "data"
    std::string codec; // "h264", "hevc", "aac", …
    std::string tag;   // four-character code: "avc1", "hvc1", "mp4a", "tmcd"
    int width = 0, height = 0;
    int sampleRate = 0, channels = 0;
    std::string colorSpace, colorRange;
    std::map<std::string, std::string> tags;
    int timeBaseDen = 0;
    std::vector<std::int64_t> pts;               // per packet, in the stream's time base
    std::vector<std::int64_t> durations;         // per packet, in the stream's time base
    int avgRateNum = 0, avgRateDen = 0;          // avg_frame_rate
    int baseRateNum = 0, baseRateDen = 0;        // r_frame_rate
    std::vector<std::vector<std::uint8_t>> data; // packet payloads of data streams
    int decodedFrames = 0;                       // video pictures / audio frames decoded
    int decodeErrors = 0;
};

struct ProbedFile {
    bool opened = false;
    std::string error;
    std::map<std::string, std::string> tags;
    std::vector<ProbedStream> streams;
    double duration = 0; // seconds

    int count(const std::string& type) const;
    const ProbedStream* first(const std::string& type) const;
};

// Opens and reads every packet; with `decode`, decodes video and audio too.
ProbedFile probeFile(const std::string& path, bool decode = false);

// Decoded left-channel sound of the n-th audio track, placed on the file's timeline: index i is
// time i / 48000 s (earlier samples cut, gaps zero).
std::vector<float> decodeAudioTrack(const std::string& path, int n = 0);

// Byte offset of the first top-level box of this type, or -1.
long topLevelBox(const std::string& path, const char* type);

} // namespace lc::test
