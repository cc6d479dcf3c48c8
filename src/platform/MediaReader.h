#pragma once
// Reading movie and audio files back: what a file holds (its first video and first audio
// track with their time ranges), and decoders for both. Only local movie containers (MOV, MP4,
// M4A) are opened; a path is never read as a URL or a playlist.
//
// A reader holds no state of its own: its functions may be called from any thread at once. A
// decoder belongs to one thread at a time.
#include "common/Result.h"
#include "platform/Frame.h"
#include "platform/MediaTime.h"

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

// Decodes the first video track into I420 pictures.
class VideoDecoder {
public:
    struct Frame {
        YuvFramePtr picture;
        MediaTime pts; // in the track's own time
    };

    virtual ~VideoDecoder() = default;
    // The next picture in presentation order; nothing at the end of the track.
    virtual Result<std::optional<Frame>> next() = 0;
    // Goes back or ahead to the key frame at or before `t`; next() continues from there.
    virtual Result<void> seek(const MediaTime& t) = 0;
};

// Decodes the first audio track into 48 kHz interleaved stereo s16.
class AudioDecoder {
public:
    struct Block {
        std::vector<std::int16_t> samples; // frames × 2
        MediaTime pts;                     // of the first sample, in the track's own time
        std::size_t frameCount() const { return samples.size() / 2; }
    };

    virtual ~AudioDecoder() = default;
    // The next decoded block; nothing at the end of the track.
    virtual Result<std::optional<Block>> next() = 0;
};

class MediaReader {
public:
    virtual ~MediaReader() = default;
    // Measures the first video and first audio track of `path`. Fails with the reason when the
    // file cannot be opened or is no movie.
    virtual Result<MediaInfo> probe(const std::string& path) const = 0;
    virtual Result<std::unique_ptr<VideoDecoder>> openVideo(const std::string& path) const = 0;
    virtual Result<std::unique_ptr<AudioDecoder>> openAudio(const std::string& path) const = 0;
};

} // namespace lc
