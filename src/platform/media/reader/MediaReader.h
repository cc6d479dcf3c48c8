#pragma once
// Reading movie and audio files back: what a file holds (its first video and first audio
// track with their time ranges), and decoders for both. Only local movie containers (MOV, MP4,
// M4A) are opened; a path is never read as a URL or a playlist.
#include "common/Result.h"
#include "platform/Frame.h"
#include "platform/media/reader/MediaTime.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lc {

// The presentation span of a track in its own time: first sample to end of the last sample.
struct TrackRange {
    MediaTime start;
    MediaTime duration;
    MediaTime end() const { return start + duration; }
};

struct MediaInfo {
    std::optional<TrackRange> video; // first video track with at least one frame
    int width = 0;
    int height = 0;
    double frameRate = 0;            // nominal, 0 when unknown
    std::optional<TrackRange> audio; // first audio track with at least one sample
};

// Opens `path` and measures its first video and first audio track by reading their packets
// (no decoding). Fails with FFmpeg's text when the file cannot be opened or is no movie.
Result<MediaInfo> probeMedia(const std::string& path);

// Decodes the first video track into I420 pictures (BT.709 limited range is assumed for YUV
// sources; other pixel formats are converted).
class VideoDecoder {
public:
    struct Frame {
        YuvFramePtr picture;
        MediaTime pts; // in the track's own time
    };

    static Result<std::unique_ptr<VideoDecoder>> open(const std::string& path);
    ~VideoDecoder();
    VideoDecoder(const VideoDecoder&) = delete;
    VideoDecoder& operator=(const VideoDecoder&) = delete;

    // The next picture in presentation order; nothing at the end of the track.
    Result<std::optional<Frame>> next();
    // Goes back or ahead to the key frame at or before `t`; next() continues from there.
    Result<void> seek(const MediaTime& t);

private:
    struct Impl;
    explicit VideoDecoder(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// Decodes the first audio track into 48 kHz interleaved stereo s16.
class AudioDecoder {
public:
    struct Block {
        std::vector<std::int16_t> samples; // frames × 2
        MediaTime pts;                     // of the first sample, in the track's own time
        std::size_t frameCount() const { return samples.size() / 2; }
    };

    static Result<std::unique_ptr<AudioDecoder>> open(const std::string& path);
    ~AudioDecoder();
    AudioDecoder(const AudioDecoder&) = delete;
    AudioDecoder& operator=(const AudioDecoder&) = delete;

    // The next decoded block; nothing at the end of the track.
    Result<std::optional<Block>> next();

private:
    struct Impl;
    explicit AudioDecoder(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

} // namespace lc
