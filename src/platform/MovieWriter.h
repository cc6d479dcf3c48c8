#pragma once
// Writes one movie or audio file: a video track, AAC audio tracks, an optional timecode track
// and file metadata. Video is encoded on the writer's own thread behind a small bounded queue;
// no append ever blocks its caller.
//
// Order of calls:
//   createMovieWriter → addVideoInput / addAudioInput / addTimecodeTrack → [setMetadata]
//   → startWriting → [setTimecodeStart, setMetadata] → startSession → append… →
//   markFinished (each input) → finish (or cancel at any time).
// Times: video presentation times count 1/90,000 s, audio 1/48,000 s; both on the file's
// timeline, which starts at zero with the session. The first video frame belongs at zero: the
// timecode track starts with it. Control calls (add…, set…, start…, finish, cancel) come from one
// thread at a time; appends and readiness from any. Dropping a writer that is neither finished
// nor finishing cancels it.
#include "common/Result.h"
#include "platform/Frame.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace lc {

inline constexpr std::int64_t kVideoTimeScale = 90000;
inline constexpr std::int64_t kAudioTimeScale = 48000;

// MOV: QuickTime movie (timecode track allowed). MP4: MPEG-4 movie with metadata, never a
// timecode track. M4A: audio only, with metadata.
enum class MovieFileType { mov, mp4, m4a };

enum class VideoCodec { h264, hevc };

struct VideoSettings {
    VideoCodec codec = VideoCodec::h264;
    int width = 0;  // even
    int height = 0; // even
    int fps = 30;

    // Recording rate control: an average bit rate (bits per second), a key frame at least every
    // `maxKeyFrameInterval` frames, no B-frames.
    std::int64_t averageBitRate = 0;
    int maxKeyFrameInterval = 0;

    // Final-video rate control: constant quality (CRF of x264/x265). When set, `averageBitRate`
    // is ignored and B-frames are allowed.
    std::optional<int> quality;

    // Encoder speed preset ("ultrafast" … "veryslow"); empty picks the default for the mode.
    std::string preset;
    // Encoder threads; 0: one per 1080p30 of pixel rate for recordings, the encoder's own choice
    // for the final video.
    int threads = 0;

    // min(80,000,000, w × h × fps × 0.12), whole bits per second.
    static std::int64_t recordingBitRate(int width, int height, int fps) {
        const double rate = double(width) * double(height) * double(fps) * 0.12;
        return rate >= 80'000'000.0 ? 80'000'000 : std::int64_t(rate);
    }
    // A live window recording: recordingBitRate, a key frame at least every fps frames (a
    // fragment per second: a crash loses at most that), no B-frames, the live preset
    // ("ultrafast").
    static VideoSettings forRecording(VideoCodec codec, int width, int height, int fps) {
        VideoSettings s;
        s.codec = codec;
        s.width = width;
        s.height = height;
        s.fps = fps;
        s.averageBitRate = recordingBitRate(width, height, fps);
        s.maxKeyFrameInterval = fps;
        return s;
    }
    // The final video: constant quality, B-frames allowed, preset "veryfast" unless changed.
    static VideoSettings forExport(VideoCodec codec, int width, int height, int fps, int quality = 19) {
        VideoSettings s;
        s.codec = codec;
        s.width = width;
        s.height = height;
        s.fps = fps;
        s.quality = quality;
        s.maxKeyFrameInterval = 10 * fps;
        return s;
    }
};

// The one audio encoding of every track: AAC, 48,000 Hz, 2 channels, 128,000 bits per second.
// Input is interleaved signed 16-bit PCM (lc::AudioChunk's layout).
struct AudioSettings {
    int sampleRate = 48000;
    int channels = 2;
    int bitRate = 128000;
};

struct MovieWriterOptions {
    // Fragmented writing (window files, the microphone file): a process killed mid-way leaves a
    // file that plays up to its last fragment. Otherwise a plain file with its index at the
    // front (the final video).
    bool fragmented = true;
    // A fragmented file becomes a plain file when it finishes (platform/MovieFinisher.h: its
    // index appended, no media copied; finish takes a few milliseconds longer). False leaves it
    // fragmented, as a crash would.
    bool finishInPlace = true;
    // Frames the video queue holds before isReadyForMoreMediaData says no.
    int videoQueueDepth = 4;
};

class MovieWriter {
public:
    using InputId = int;
    enum class Status { unknown, writing, completed, failed, cancelled };

    virtual ~MovieWriter() = default;

    const std::string& path() const { return path_; }
    MovieFileType fileType() const { return type_; }

    // ---- Before startWriting -------------------------------------------------------------
    // At most one video input. Fails with {"Cannot add video input: <reason>", "Loomcast", 1}
    // (the encoder refused the settings, a second video input, an M4A file).
    virtual Result<InputId> addVideoInput(const VideoSettings& settings) = 0;
    // AAC input; tracks appear in the file in the order their inputs were added.
    virtual Result<InputId> addAudioInput(const AudioSettings& settings = {}) = 0;
    // A timecode track tied to the video track (MOV with a video input at this fps only; false
    // otherwise). It follows the other tracks in the file. Its value is given by setTimecodeStart.
    virtual bool addTimecodeTrack(int fps) = 0;

    // MP4/M4A: user comment (©cmt) and release date (©day), UTF-8. Before startSession.
    virtual void setMetadata(std::string comment, std::string date) = 0;

    // Creates the file and starts the writer's thread. An existing file is never overwritten. The
    // error names the file and the reason ("Permission denied", "File exists", …).
    virtual Result<void> startWriting() = 0;

    // The frame count (frames since local midnight at the track's fps) shown at the first video
    // frame. Before startSession; without it the file has no timecode track.
    virtual void setTimecodeStart(std::uint32_t frameNumber) = 0;

    // Starts the file's timeline at zero and writes the header. Appends before this are refused.
    virtual Result<void> startSession() = 0;

    // ---- While writing (from any thread) ----------------------------------------------------
    // Whether `input` can take another buffer now. Video: the encoder queue has room.
    virtual bool isReadyForMoreMediaData(InputId input) const = 0;
    // Waits up to `timeout` seconds until `input` is ready; false if it is not by then or never
    // will be (finished, failed, cancelled). For producers that run ahead of real time (the
    // exporter); live producers skip instead.
    virtual bool waitUntilReady(InputId input, double timeout) const = 0;

    // A free frame of the video size from the writer's small pool (nullptr when all are in
    // flight): compose into it, then appendVideo it.
    virtual YuvFramePtr freeVideoFrame() = 0;

    // Queues one frame at `pts` (1/90,000 s; strictly increasing). False, without blocking, when
    // the queue is full, the time does not increase, the input is finished or writing failed.
    // The frame must not be modified afterwards (it may be appended again at a later time).
    virtual bool appendVideo(const YuvFramePtr& frame, std::int64_t pts) = 0;

    // Queues interleaved stereo s16 PCM starting at `pts` (1/48,000 s). Chunks may have any
    // length; gaps are filled with silence and overlaps trimmed, so the track stays continuous
    // and starts at zero. False when the input is not ready, finished, or writing failed.
    virtual bool appendAudio(InputId input, std::span<const std::int16_t> interleaved, std::int64_t pts) = 0;
    bool appendAudio(InputId input, const AudioChunk& chunk, std::int64_t pts) {
        return appendAudio(input, std::span<const std::int16_t>(chunk.samples), pts);
    }

    // No more buffers for this input.
    virtual void markFinished(InputId input) = 0;

    // ---- Ending -----------------------------------------------------------------------------
    // Encodes what is queued, closes the file and calls `done` once, on the writer's thread, with
    // the outcome (at once, on the caller's thread, when there is nothing to finish). Inputs not
    // yet marked finished are finished here. `done` may destroy the writer.
    virtual void finish(std::function<void(Result<void>)> done) = 0;
    // The same, waiting for the end.
    virtual Result<void> finishAndWait() = 0;
    // Stops at once and removes the file; after a failure the file keeps what was written up to
    // it. Safe at any time. A pending finish callback gets an error.
    virtual void cancel() = 0;

    virtual Status status() const = 0;
    // The first error (status failed), if any.
    virtual std::optional<Error> error() const = 0;
    // Called once, on the writer's thread, when writing fails after startWriting (disk full,
    // encoder error). finish still reports the same error.
    virtual void setErrorHandler(std::function<void(const Error&)> handler) = 0;

protected:
    MovieWriter(std::string path, MovieFileType type) : path_(std::move(path)), type_(type) {}

private:
    std::string path_;
    MovieFileType type_;
};

// How the recorders, the microphone and the export get their writers: a writer for `path`, or why
// there is none ("Cannot create writer for <path>: <reason>"). The file itself is created by
// startWriting. The application hands the FFmpeg back end in; tests may hand in their own.
using MovieWriterFactory = std::function<Result<std::unique_ptr<MovieWriter>>(
    const std::string& path, MovieFileType type, const MovieWriterOptions& options)>;

// The FFmpeg back end's writer (src/platform/media). Only the composition root and the back end's
// own tests call it; everything else takes a MovieWriterFactory.
Result<std::unique_ptr<MovieWriter>> createMovieWriter(const std::string& path, MovieFileType type,
                                                       const MovieWriterOptions& options = {});

// How a component that writes movies gets its writers (createMovieWriter, or a test's own);
// chosen by the composition root.
using MovieWriterFactory = std::function<Result<std::unique_ptr<MovieWriter>>(
    const std::string& path, MovieFileType type, const MovieWriterOptions& options)>;

} // namespace lc
