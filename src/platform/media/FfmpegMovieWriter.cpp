// MovieWriter on FFmpeg: libx264/libx265 video and FFmpeg's AAC encoder, muxed by the mov, mp4
// and ipod muxers. All encoding and muxing happen on one worker thread per writer; callers only
// queue buffers.
#include "common/UniqueFd.h"
#include "platform/MovieFinisher.h"
#include "platform/MovieWriter.h"
#include "platform/YuvFramePool.h"
#include "platform/media/FfHandles.h"

extern "C" {
#include <libavutil/opt.h>
}

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <vector>

namespace lc {
namespace {

// Audio whose time is this close to where the track has got to is appended as it stands; beyond
// it, gaps become silence and overlaps are cut.
constexpr std::int64_t kAudioSlack = 960; // 20 ms
// Audio off its time by more than this, chunk after chunk, is put back in place as well: a
// stream's clock that settled after the track began would otherwise leave the rest of the track
// off by up to the slack (files of one session would then disagree).
constexpr std::int64_t kAudioStandingOffset = 96; // 2 ms
constexpr int kAudioStandingChunks = 20;
// Silence written per round of the worker when a track has a gap, so that a long gap (a window
// that starts to play sound after minutes) never holds up the video.
constexpr std::int64_t kSilencePerRound = 48000;
// How much audio (frames) a track may have queued before it says it is not ready.
constexpr std::size_t kAudioQueueLimit = 4 * 48000;
// The live preset. Measured on screen-like 1080p30 at the recording bit rate (bench/media):
// ultrafast costs a third of veryfast's CPU for 2 dB less, and superfast costs twice ultrafast's
// for no gain; three live windows on two cores only fit with ultrafast.
constexpr const char* kRecordingPreset = "ultrafast";
constexpr const char* kExportPreset = "veryfast";
// A fragmented file and its folder reach the disk at least this often while it is written, so
// a power cut loses no more than this (and a kill only the fragment under way).
constexpr auto kSyncInterval = std::chrono::seconds(2);

std::string quoted(const std::string& path) {
    return "\u201c" + path + "\u201d";
}

// Timecode text of a frame count since midnight: the form the muxer parses back into the count.
std::string timecodeText(std::uint32_t frames, int fps) {
    const std::uint32_t t = frames / std::uint32_t(fps), f = frames % std::uint32_t(fps);
    std::array<char, 40> buf{};
    std::snprintf(buf.data(), buf.size(), "%02u:%02u:%02u:%02u", t / 3600, (t / 60) % 60, t % 60, f);
    return buf.data();
}

struct VideoJob {
    YuvFramePtr frame;
    std::int64_t pts = 0;
};

struct AudioJob {
    std::vector<std::int16_t> samples;
    std::int64_t pts = 0;
};

struct VideoTrack {
    AVStream* stream = nullptr;
    ff::CodecContextPtr enc;
    VideoSettings settings;
    std::unique_ptr<YuvFramePool> pool;
    // Guarded by the writer's mutex.
    std::deque<VideoJob> queue;
    std::int64_t lastPts = -1;
    bool finished = false;
};

struct AudioTrack {
    AVStream* stream = nullptr;
    ff::CodecContextPtr enc;
    // Guarded by the writer's mutex.
    std::deque<AudioJob> queue;
    std::size_t queuedFrames = 0;
    bool finished = false;
    // Worker only (moved here from `queue` under the mutex).
    std::deque<AudioJob> pending;
    std::int64_t nextPos = 0;   // timeline position (samples) the next placed sample gets
    std::int64_t skip = 0;      // timeline samples still to drop (encoder priming, see below)
    std::int64_t ptsOffset = 0; // added to encoder input positions
    std::int64_t sent = 0;      // samples given to the encoder
    int offChunks = 0;          // chunks in a row off their time the same way (beyond 2 ms)
    int offSign = 0;
    std::vector<std::int16_t> fifo; // interleaved, under one encoder frame
};

class FfmpegMovieWriter final : public MovieWriter {
public:
    FfmpegMovieWriter(std::string path, MovieFileType type, MovieWriterOptions options, ff::OutputContext ctx)
        : MovieWriter(std::move(path), type), options_(options), ctx_(std::move(ctx)) {}

    ~FfmpegMovieWriter() override {
        bool finishing;
        {
            std::lock_guard lock(mutex_);
            finishing = finishRequested_;
        }
        if (!finishing) cancel();
        joinWorker();
        stopSyncer();
    }

    Result<InputId> addVideoInput(const VideoSettings& s) override;
    Result<InputId> addAudioInput(const AudioSettings& s) override;
    bool addTimecodeTrack(int fps) override;
    void setMetadata(std::string comment, std::string date) override {
        std::lock_guard lock(mutex_);
        comment_ = std::move(comment);
        date_ = std::move(date);
        haveMetadata_ = true;
    }
    Result<void> startWriting() override;
    void setTimecodeStart(std::uint32_t frameNumber) override {
        std::lock_guard lock(mutex_);
        timecodeStart_ = frameNumber;
    }
    Result<void> startSession() override;
    bool isReadyForMoreMediaData(InputId input) const override {
        std::lock_guard lock(mutex_);
        return readyLocked(input);
    }
    bool waitUntilReady(InputId input, double timeout) const override;
    YuvFramePtr freeVideoFrame() override { return video_ ? video_->pool->acquire() : nullptr; }
    bool appendVideo(const YuvFramePtr& frame, std::int64_t pts) override;
    bool appendAudio(InputId input, std::span<const std::int16_t> interleaved, std::int64_t pts) override;
    void markFinished(InputId input) override;
    void finish(std::function<void(Result<void>)> done) override;
    Result<void> finishAndWait() override;
    void cancel() override;
    Status status() const override {
        std::lock_guard lock(mutex_);
        return status_;
    }
    std::optional<Error> error() const override {
        std::lock_guard lock(mutex_);
        return error_;
    }
    void setErrorHandler(std::function<void(const Error&)> handler) override {
        std::lock_guard lock(mutex_);
        onError_ = std::move(handler);
    }

private:
    static constexpr InputId kVideoId = 0;
    AudioTrack* audioTrack(InputId id) const {
        const auto i = std::size_t(id - 1);
        return id >= 1 && i < audio_.size() ? audio_[i].get() : nullptr;
    }
    bool readyLocked(InputId input) const;
    bool acceptingLocked() const {
        return status_ == Status::writing && sessionStarted_ && !finishRequested_;
    }

    void run();
    Result<void> encodeVideo(const VideoJob& job);
    // Places one chunk on the track's timeline; false (and the chunk stays pending) while a long gap
    // before it is still being filled.
    Result<bool> placeAudio(AudioTrack& t, const AudioJob& job);
    Result<void> pushAudio(AudioTrack& t, const std::int16_t* samples, std::int64_t frames);
    Result<void> encodeAudioFrame(AudioTrack& t, bool last);
    Result<void> drainEncoder(AVCodecContext* enc, AVStream* stream);
    Result<void> flushAll();
    Result<void> ioResult(int err, const char* what) const;
    void fail(Error e);
    void joinWorker();
    void removeFile();

    const MovieWriterOptions options_;
    ff::OutputContext ctx_;
    std::unique_ptr<VideoTrack> video_;
    std::vector<std::unique_ptr<AudioTrack>> audio_;
    std::optional<int> timecodeFps_;
    ff::PacketPtr packet_{av_packet_alloc()};

    mutable std::mutex mutex_;
    std::condition_variable wake_;         // work for the worker
    mutable std::condition_variable room_; // queues drained, or the writer stopped taking data
    Status status_ = Status::unknown;
    std::optional<Error> error_;
    std::function<void(const Error&)> onError_;
    std::function<void(Result<void>)> done_;
    std::string comment_, date_;
    bool haveMetadata_ = false;
    std::optional<std::uint32_t> timecodeStart_;
    bool sessionStarted_ = false;
    bool finishRequested_ = false;
    bool cancelRequested_ = false;
    bool createdFile_ = false;
    std::thread worker_;

    // Syncs a fragmented file and its folder every kSyncInterval from its own thread, so that a
    // slow disk never holds up encoding.
    void runSyncer();
    void stopSyncer();
    UniqueFd syncFile_, syncFolder_;
    std::mutex syncMutex_;
    std::condition_variable syncWake_;
    bool syncStop_ = false;
    std::thread syncer_;
};

Result<MovieWriter::InputId> FfmpegMovieWriter::addVideoInput(const VideoSettings& s) {
    auto refuse = [](const std::string& why) { return makeError("Cannot add video input: " + why, 1); };
    if (status_ != Status::unknown) return refuse("writing has started");
    if (fileType() == MovieFileType::m4a) return refuse("an audio file has no video");
    if (video_) return refuse("the file has a video input already");
    if (s.width <= 0 || s.height <= 0 || s.width % 2 || s.height % 2)
        return refuse("the size " + std::to_string(s.width) + "\u00d7" + std::to_string(s.height) +
                      " is not a positive even size");
    if (s.fps <= 0) return refuse("the frame rate must be positive");

    const bool hevc = s.codec == VideoCodec::hevc;
    const AVCodec* codec = avcodec_find_encoder_by_name(hevc ? "libx265" : "libx264");
    if (!codec) return refuse(std::string(hevc ? "HEVC" : "H.264") + " encoder not available");
    ff::CodecContextPtr enc(avcodec_alloc_context3(codec));
    if (!enc) return refuse("out of memory");

    enc->width = s.width;
    enc->height = s.height;
    enc->pix_fmt = AV_PIX_FMT_YUV420P;
    enc->time_base = AVRational{1, int(kVideoTimeScale)};
    enc->framerate = AVRational{s.fps, 1};
    enc->color_range = AVCOL_RANGE_MPEG;
    enc->colorspace = AVCOL_SPC_BT709;
    enc->color_primaries = AVCOL_PRI_BT709;
    enc->color_trc = AVCOL_TRC_BT709;
    enc->gop_size = s.maxKeyFrameInterval > 0 ? s.maxKeyFrameInterval : 2 * s.fps;
    int threads = s.threads;
    if (threads == 0 && !s.quality) {
        // Live recording: several windows share a few cores, and encoder threads beyond what keeps
        // up with the frame rate only add overhead (see bench/media): one per 1080p30 of pixel rate.
        const double load = double(s.width) * s.height * s.fps / (1920.0 * 1080.0 * 30.0);
        threads = std::clamp(int(std::ceil(load)), 1, std::max(1, int(std::thread::hardware_concurrency())));
    }
    enc->thread_count = threads;
    if (ctx_->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

    const std::string preset = !s.preset.empty() ? s.preset : s.quality ? kExportPreset : kRecordingPreset;
    av_opt_set(enc->priv_data, "preset", preset.c_str(), 0);
    std::string x265params = "log-level=error";
    if (s.quality) {
        av_opt_set_double(enc->priv_data, "crf", double(*s.quality), 0);
    } else {
        enc->max_b_frames = 0;
        enc->bit_rate = s.averageBitRate > 0 ? s.averageBitRate
                                             : VideoSettings::recordingBitRate(s.width, s.height, s.fps);
        if (hevc) x265params += ":bframes=0";
    }
    if (s.quality && !hevc) {
        // The final video's memory follows its threads: no frames buffered between the look-ahead
        // and the encoding threads, and above 1080p the threads share each frame (slices)
        // instead of each holding frames of their own, and the look-ahead is shorter (each 4K
        // frame it holds costs about 20 MB). Other quality settings stay the preset's.
        std::string params = "sync-lookahead=0";
        if (std::int64_t(s.width) * s.height > 1920 * 1080) params += ":sliced-threads=1:rc-lookahead=5";
        av_opt_set(enc->priv_data, "x264-params", params.c_str(), 0);
    }
    if (hevc) {
        if (threads > 0)
            x265params += ":pools=" + std::to_string(threads) + ":frame-threads=" + std::to_string(threads);
        av_opt_set(enc->priv_data, "x265-params", x265params.c_str(), 0);
    }
    if (int err = avcodec_open2(enc.get(), codec, nullptr); err < 0)
        return refuse(std::string("the ") + (hevc ? "HEVC" : "H.264") + " encoder refused the settings (" +
                      ff::errorText(err) + ")");

    AVStream* st = avformat_new_stream(ctx_.get(), nullptr);
    if (!st) return refuse("out of memory");
    avcodec_parameters_from_context(st->codecpar, enc.get());
    if (hevc) st->codecpar->codec_tag = MKTAG('h', 'v', 'c', '1');
    st->time_base = enc->time_base;
    st->avg_frame_rate = AVRational{s.fps, 1};

    video_ = std::make_unique<VideoTrack>();
    video_->stream = st;
    video_->enc = std::move(enc);
    video_->settings = s;
    video_->pool =
        std::make_unique<YuvFramePool>(s.width, s.height, std::size_t(options_.videoQueueDepth) + 4);
    return kVideoId;
}

Result<MovieWriter::InputId> FfmpegMovieWriter::addAudioInput(const AudioSettings& s) {
    auto refuse = [](const std::string& why) { return makeError("Cannot add audio input: " + why); };
    if (status_ != Status::unknown) return refuse("writing has started");
    if (s.sampleRate != 48000 || s.channels != 2) return refuse("only 48 kHz stereo is supported");
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!codec) return refuse("AAC encoder not available");
    ff::CodecContextPtr enc(avcodec_alloc_context3(codec));
    if (!enc) return refuse("out of memory");
    enc->sample_rate = s.sampleRate;
    enc->sample_fmt = AV_SAMPLE_FMT_FLTP;
    av_channel_layout_default(&enc->ch_layout, s.channels);
    enc->bit_rate = s.bitRate;
    enc->time_base = AVRational{1, s.sampleRate};
    if (ctx_->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (int err = avcodec_open2(enc.get(), codec, nullptr); err < 0)
        return refuse("the AAC encoder refused the settings (" + ff::errorText(err) + ")");

    AVStream* st = avformat_new_stream(ctx_.get(), nullptr);
    if (!st) return refuse("out of memory");
    avcodec_parameters_from_context(st->codecpar, enc.get());
    st->time_base = enc->time_base;

    auto t = std::make_unique<AudioTrack>();
    t->stream = st;
    t->enc = std::move(enc);
    // A fragmented file carries no edit list to hide the encoder's priming samples, so the track
    // is shifted instead: the priming plays where the first timeline samples would be, and those
    // (silence at the very start) are dropped. Plain files skip the priming with an edit list.
    if (options_.fragmented) {
        t->skip = t->enc->initial_padding;
        t->ptsOffset = t->enc->initial_padding;
    }
    audio_.push_back(std::move(t));
    return InputId(audio_.size());
}

bool FfmpegMovieWriter::addTimecodeTrack(int fps) {
    if (status_ != Status::unknown || fileType() != MovieFileType::mov || !video_) return false;
    // The muxer derives the timecode rate from the video stream's frame rate.
    if (fps != video_->settings.fps) return false;
    timecodeFps_ = fps;
    return true;
}

Result<void> FfmpegMovieWriter::startWriting() {
    std::lock_guard lock(mutex_);
    if (status_ != Status::unknown)
        return makeError("Cannot start writing " + quoted(path()) + ": already started");
    if (!video_ && audio_.empty()) return makeError("Cannot start writing " + quoted(path()) + ": no inputs");
    std::error_code ec;
    if (std::filesystem::exists(path(), ec)) {
        status_ = Status::failed;
        error_ = makeError("Cannot create " + quoted(path()) + ": " + ff::errorText(AVERROR(EEXIST)));
        return *error_;
    }
    if (int err = avio_open(&ctx_->pb, path().c_str(), AVIO_FLAG_WRITE); err < 0) {
        status_ = Status::failed;
        error_ = makeError("Cannot create " + quoted(path()) + ": " + ff::errorText(err));
        return *error_;
    }
    createdFile_ = true;
    status_ = Status::writing;
    if (options_.fragmented) {
        // Any descriptor of the file syncs what was written through FFmpeg's own.
        syncFile_.reset(::open(path().c_str(), O_RDONLY | O_CLOEXEC));
        const auto folder = std::filesystem::path(path()).parent_path();
        syncFolder_.reset(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (syncFolder_) ::fsync(syncFolder_.get()); // the new name itself
        if (syncFile_) syncer_ = std::thread([this] { runSyncer(); });
    }
    worker_ = std::thread([this] { run(); });
    return {};
}

Result<void> FfmpegMovieWriter::startSession() {
    std::unique_lock lock(mutex_);
    if (status_ != Status::writing || sessionStarted_)
        return makeError("Cannot start the session of " + quoted(path()) + ": the writer is not ready");

    if (haveMetadata_) {
        av_dict_set(&ctx_->metadata, "comment", comment_.c_str(), 0);
        av_dict_set(&ctx_->metadata, "date", date_.c_str(), 0);
    }
    if (timecodeFps_ && timecodeStart_)
        av_dict_set(&video_->stream->metadata, "timecode",
                    timecodeText(*timecodeStart_, *timecodeFps_).c_str(), 0);

    ff::Dictionary opts;
    if (options_.fragmented) {
        opts.set("movflags",
                 video_ ? "+frag_keyframe+empty_moov+default_base_moof" : "+empty_moov+default_base_moof");
        // Fragments of half a second: a kill costs the fragment under way plus the encoder's
        // short queue, under a second. Cut at key frames too, and between them by time (a
        // fragment need not start with one; the key frame is in the file before it).
        opts.set("frag_duration", "500000");
        ctx_->avoid_negative_ts = AVFMT_AVOID_NEG_TS_MAKE_NON_NEGATIVE;
    } else {
        opts.set("movflags", "+faststart");
    }
    // Larger movie time scales corrupt the timecode sample; this one keeps edit lists precise.
    opts.set("movie_timescale", "10000");
    if (fileType() == MovieFileType::mp4) opts.set("write_tmcd", "0");
    // A track that gets no data must not hold the others back for long.
    ctx_->max_interleave_delta = 1'000'000;

    if (int err = avformat_write_header(ctx_.get(), opts.slot()); err < 0) {
        Error e = makeError("Cannot write " + quoted(path()) + ": " + ff::errorText(err));
        lock.unlock();
        fail(e);
        return e;
    }
    // The header (an empty index for a fragmented file) goes to the kernel at once: a file
    // killed before its first fragment is still a valid, empty movie.
    avio_flush(ctx_->pb);
    sessionStarted_ = true;
    return {};
}

bool FfmpegMovieWriter::readyLocked(InputId input) const {
    if (!acceptingLocked()) return false;
    if (input == kVideoId)
        return video_ && !video_->finished && video_->queue.size() < std::size_t(options_.videoQueueDepth);
    const AudioTrack* t = audioTrack(input);
    return t && !t->finished && t->queuedFrames < kAudioQueueLimit;
}

bool FfmpegMovieWriter::waitUntilReady(InputId input, double timeout) const {
    std::unique_lock lock(mutex_);
    auto closed = [&] {
        if (!acceptingLocked()) return true;
        if (input == kVideoId) return !video_ || video_->finished;
        const AudioTrack* t = audioTrack(input);
        return !t || t->finished;
    };
    room_.wait_for(lock, std::chrono::duration<double>(timeout),
                   [&] { return readyLocked(input) || closed(); });
    return readyLocked(input);
}

bool FfmpegMovieWriter::appendVideo(const YuvFramePtr& frame, std::int64_t pts) {
    if (!frame || !video_ || frame->width != video_->settings.width ||
        frame->height != video_->settings.height || pts < 0)
        return false;
    {
        std::lock_guard lock(mutex_);
        if (!acceptingLocked() || video_->finished || pts <= video_->lastPts ||
            video_->queue.size() >= std::size_t(options_.videoQueueDepth))
            return false;
        video_->queue.push_back({frame, pts});
        video_->lastPts = pts;
    }
    wake_.notify_one();
    return true;
}

bool FfmpegMovieWriter::appendAudio(InputId input, std::span<const std::int16_t> interleaved,
                                    std::int64_t pts) {
    AudioTrack* t = audioTrack(input);
    if (!t || interleaved.size() % 2) return false;
    {
        std::lock_guard lock(mutex_);
        if (!acceptingLocked() || t->finished || t->queuedFrames >= kAudioQueueLimit) return false;
        t->queue.push_back({std::vector<std::int16_t>(interleaved.begin(), interleaved.end()), pts});
        t->queuedFrames += interleaved.size() / 2;
    }
    wake_.notify_one();
    return true;
}

void FfmpegMovieWriter::markFinished(InputId input) {
    std::lock_guard lock(mutex_);
    if (input == kVideoId && video_) video_->finished = true;
    if (AudioTrack* t = audioTrack(input)) t->finished = true;
    room_.notify_all();
}

void FfmpegMovieWriter::finish(std::function<void(Result<void>)> done) {
    std::unique_lock lock(mutex_);
    if (finishRequested_ || !worker_.joinable()) {
        Error e =
            error_.value_or(makeError("Cannot finish " + quoted(path()) + ": the writer is not writing"));
        lock.unlock();
        if (done) done(e);
        return;
    }
    finishRequested_ = true;
    done_ = std::move(done);
    lock.unlock();
    room_.notify_all();
    wake_.notify_one();
}

Result<void> FfmpegMovieWriter::finishAndWait() {
    std::promise<Result<void>> promise;
    auto future = promise.get_future();
    finish([&promise](Result<void> r) { promise.set_value(std::move(r)); });
    auto result = future.get();
    joinWorker();
    return result;
}

void FfmpegMovieWriter::cancel() {
    std::function<void(Result<void>)> done;
    bool keep;
    {
        std::lock_guard lock(mutex_);
        if (status_ == Status::cancelled || status_ == Status::completed) return;
        // After a failure the file holds what was written up to it: that stays.
        keep = status_ == Status::failed;
        cancelRequested_ = true;
        if (!keep) status_ = Status::cancelled;
        done = std::move(done_);
    }
    room_.notify_all();
    wake_.notify_one();
    joinWorker();
    stopSyncer();
    ctx_.closeFile();
    if (!keep) removeFile();
    if (done) done(makeError("Writing " + quoted(path()) + " was cancelled"));
}

void FfmpegMovieWriter::joinWorker() {
    if (!worker_.joinable()) return;
    if (worker_.get_id() == std::this_thread::get_id())
        worker_.detach(); // destroyed from its own completion callback, which is the thread's last act
    else
        worker_.join();
}

void FfmpegMovieWriter::runSyncer() {
    pthread_setname_np(pthread_self(), "lc.moviesync");
    std::unique_lock lock(syncMutex_);
    while (!syncWake_.wait_for(lock, kSyncInterval, [this] { return syncStop_; })) {
        lock.unlock();
        ::fdatasync(syncFile_.get());
        if (syncFolder_) ::fsync(syncFolder_.get());
        lock.lock();
    }
}

void FfmpegMovieWriter::stopSyncer() {
    {
        std::lock_guard lock(syncMutex_);
        syncStop_ = true;
    }
    syncWake_.notify_all();
    if (syncer_.joinable()) syncer_.join();
}

void FfmpegMovieWriter::removeFile() {
    if (!createdFile_) return;
    std::error_code ec;
    std::filesystem::remove(path(), ec);
    createdFile_ = false;
}

void FfmpegMovieWriter::fail(Error e) {
    std::function<void(const Error&)> handler;
    {
        std::lock_guard lock(mutex_);
        if (error_ || status_ == Status::cancelled) return;
        error_ = e;
        status_ = Status::failed;
        handler = onError_;
        if (video_) video_->queue.clear();
        for (auto& t : audio_)
            t->queue.clear(), t->queuedFrames = 0;
    }
    room_.notify_all();
    if (handler) handler(e);
}

Result<void> FfmpegMovieWriter::ioResult(int err, const char* what) const {
    if (err >= 0) return {};
    return makeError(std::string("Cannot ") + what + " " + quoted(path()) + ": " + ff::errorText(err));
}

void FfmpegMovieWriter::run() {
    pthread_setname_np(pthread_self(), "lc.moviewriter");
    for (;;) {
        std::optional<VideoJob> video;
        bool ending = false;
        {
            std::unique_lock lock(mutex_);
            auto hasWork = [&] {
                if (cancelRequested_ || finishRequested_) return true;
                if (status_ != Status::writing) return false;
                if (video_ && !video_->queue.empty()) return true;
                return std::any_of(audio_.begin(), audio_.end(),
                                   [](auto& t) { return !t->queue.empty() || !t->pending.empty(); });
            };
            wake_.wait(lock, hasWork);
            if (cancelRequested_) return;
            if (status_ != Status::writing)
                for (auto& t : audio_)
                    t->pending.clear();
            if (status_ == Status::writing) {
                for (auto& t : audio_) {
                    while (!t->queue.empty()) {
                        t->queuedFrames -= t->queue.front().samples.size() / 2;
                        t->pending.push_back(std::move(t->queue.front()));
                        t->queue.pop_front();
                    }
                }
                if (video_ && !video_->queue.empty()) {
                    video = std::move(video_->queue.front());
                    video_->queue.pop_front();
                }
            }
            ending = finishRequested_ && !video;
        }
        room_.notify_all();

        Result<void> r;
        for (auto& t : audio_) {
            while (r && !t->pending.empty()) {
                auto placed = placeAudio(*t, t->pending.front());
                if (!placed) r = placed.error();
                if (!placed || !*placed) break;
                t->pending.pop_front();
            }
            if (!t->pending.empty()) ending = false;
        }
        if (r && video) r = encodeVideo(*video);
        if (!r) fail(r.error());

        if (!ending) continue;

        // Finishing: everything queued has been taken; flush, close, report.
        bool writing, empty = false;
        {
            std::lock_guard lock(mutex_);
            writing = status_ == Status::writing && sessionStarted_;
            if (status_ == Status::writing && !sessionStarted_) {
                // Nothing was written: no header, no file worth keeping.
                status_ = Status::failed;
                error_ = makeError("Cannot finish " + quoted(path()) + ": the writing session never started");
                empty = true;
            }
        }
        stopSyncer();
        if (writing) {
            Result<void> f = flushAll();
            if (f) f = ioResult(av_write_trailer(ctx_.get()), "finish");
            if (f && ctx_->pb) f = ioResult(avio_closep(&ctx_->pb), "close");
            // Players and editors get a plain file; a file that holds no fragment stays as it is.
            if (f && options_.fragmented && options_.finishInPlace) {
                auto finished = finishFragmentedFile(path());
                if (!finished && finished.error().code != int(FinishFailure::noMedia)) f = finished.error();
            }
            if (!f) fail(f.error());
        }
        ctx_.closeFile();
        if (empty) removeFile();
        std::function<void(Result<void>)> done;
        Result<void> outcome;
        {
            std::lock_guard lock(mutex_);
            if (status_ == Status::writing) status_ = Status::completed;
            if (status_ != Status::completed)
                outcome = error_.value_or(makeError("Cannot finish " + quoted(path())));
            done = std::move(done_);
        }
        // Last act of this thread: the callback may destroy the writer.
        if (done) done(std::move(outcome));
        return;
    }
}

Result<void> FfmpegMovieWriter::encodeVideo(const VideoJob& job) {
    AVCodecContext* enc = video_->enc.get();
    ff::FramePtr frame(av_frame_alloc());
    if (!frame) return makeError("Cannot encode video for " + quoted(path()) + ": out of memory");
    const YuvFrame& y = *job.frame;
    // The AVFrame borrows the pooled frame's memory and keeps the frame alive while the encoder
    // holds it.
    auto holder = std::make_unique<YuvFramePtr>(job.frame);
    frame->buf[0] = av_buffer_create(
        const_cast<std::uint8_t*>(job.frame->storage.data()), job.frame->storage.size(),
        [](void* opaque, std::uint8_t*) { std::unique_ptr<YuvFramePtr>(static_cast<YuvFramePtr*>(opaque)); },
        holder.get(), AV_BUFFER_FLAG_READONLY);
    if (!frame->buf[0]) return makeError("Cannot encode video for " + quoted(path()) + ": out of memory");
    holder.release();
    for (int i = 0; i < 3; ++i) {
        frame->data[i] = y.planes[i];
        frame->linesize[i] = y.strides[i];
    }
    frame->width = y.width;
    frame->height = y.height;
    frame->format = AV_PIX_FMT_YUV420P;
    frame->color_range = AVCOL_RANGE_MPEG;
    frame->colorspace = AVCOL_SPC_BT709;
    frame->color_primaries = AVCOL_PRI_BT709;
    frame->color_trc = AVCOL_TRC_BT709;
    frame->pts = job.pts;
    if (int err = avcodec_send_frame(enc, frame.get()); err < 0)
        return makeError("Cannot encode video for " + quoted(path()) + ": " + ff::errorText(err));
    return drainEncoder(enc, video_->stream);
}

Result<bool> FfmpegMovieWriter::placeAudio(AudioTrack& t, const AudioJob& job) {
    const std::int16_t* s = job.samples.data();
    auto frames = std::int64_t(job.samples.size() / 2);
    const std::int64_t off = job.pts - t.nextPos;
    bool realign = std::abs(off) > kAudioSlack;
    if (!realign && std::abs(off) > kAudioStandingOffset) {
        const int sign = off > 0 ? 1 : -1;
        t.offChunks = t.offSign == sign ? t.offChunks + 1 : 1;
        t.offSign = sign;
        realign = t.offChunks >= kAudioStandingChunks;
    } else if (!realign) {
        t.offChunks = 0;
    }
    if (realign) t.offChunks = 0;
    if (realign && off > 0) {
        // A gap: silence up to the chunk, in encoder-sized pieces, a bounded amount per round.
        static const std::vector<std::int16_t> silence(2 * 4096, 0);
        for (std::int64_t budget = kSilencePerRound; job.pts > t.nextPos; budget -= 4096) {
            if (budget <= 0) return false;
            if (auto r = pushAudio(t, silence.data(), std::min<std::int64_t>(job.pts - t.nextPos, 4096)); !r)
                return r.error();
        }
    } else if (realign) {
        const std::int64_t cut = -off;
        if (cut >= frames) return true;
        s += 2 * cut;
        frames -= cut;
    }
    if (auto r = pushAudio(t, s, frames); !r) return r.error();
    return true;
}

Result<void> FfmpegMovieWriter::pushAudio(AudioTrack& t, const std::int16_t* s, std::int64_t frames) {
    t.nextPos += frames;
    const std::int64_t dropped = std::min(t.skip, frames);
    t.skip -= dropped;
    s += 2 * dropped;
    frames -= dropped;
    const auto frameSize = std::int64_t(t.enc->frame_size);
    while (frames > 0) {
        const std::int64_t have = std::int64_t(t.fifo.size() / 2);
        const std::int64_t n = std::min(frames, frameSize - have);
        t.fifo.insert(t.fifo.end(), s, s + 2 * n);
        s += 2 * n;
        frames -= n;
        if (have + n == frameSize)
            if (auto r = encodeAudioFrame(t, false); !r) return r;
    }
    return {};
}

Result<void> FfmpegMovieWriter::encodeAudioFrame(AudioTrack& t, bool last) {
    const int n = int(t.fifo.size() / 2);
    if (n == 0) return {};
    ff::FramePtr frame(av_frame_alloc());
    if (!frame) return makeError("Cannot encode audio for " + quoted(path()) + ": out of memory");
    frame->nb_samples = last ? n : t.enc->frame_size;
    frame->format = AV_SAMPLE_FMT_FLTP;
    frame->sample_rate = t.enc->sample_rate;
    av_channel_layout_copy(&frame->ch_layout, &t.enc->ch_layout);
    if (int err = av_frame_get_buffer(frame.get(), 0); err < 0)
        return makeError("Cannot encode audio for " + quoted(path()) + ": " + ff::errorText(err));
    auto* left = reinterpret_cast<float*>(frame->data[0]);
    auto* right = reinterpret_cast<float*>(frame->data[1]);
    for (int i = 0; i < n; ++i) {
        left[i] = float(t.fifo[2 * i]) / 32768.0f;
        right[i] = float(t.fifo[2 * i + 1]) / 32768.0f;
    }
    for (int i = n; i < frame->nb_samples; ++i)
        left[i] = right[i] = 0.0f;
    frame->pts = t.sent + t.ptsOffset;
    t.sent += n;
    t.fifo.clear();
    if (int err = avcodec_send_frame(t.enc.get(), frame.get()); err < 0)
        return makeError("Cannot encode audio for " + quoted(path()) + ": " + ff::errorText(err));
    return drainEncoder(t.enc.get(), t.stream);
}

Result<void> FfmpegMovieWriter::drainEncoder(AVCodecContext* enc, AVStream* stream) {
    for (;;) {
        int err = avcodec_receive_packet(enc, packet_.get());
        if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return {};
        if (err < 0) return makeError("Cannot encode " + quoted(path()) + ": " + ff::errorText(err));
        packet_->stream_index = stream->index;
        av_packet_rescale_ts(packet_.get(), enc->time_base, stream->time_base);
        err = av_interleaved_write_frame(ctx_.get(), packet_.get());
        if (err < 0) return ioResult(err, "write");
        // The muxer keeps a fragment to itself until it is complete; whatever it has written
        // (whole fragments) goes to the kernel now, not when FFmpeg's buffer happens to fill.
        avio_flush(ctx_->pb);
        if (ctx_->pb->error < 0) return ioResult(ctx_->pb->error, "write");
    }
}

Result<void> FfmpegMovieWriter::flushAll() {
    for (auto& t : audio_) {
        if (auto r = encodeAudioFrame(*t, true); !r) return r;
        avcodec_send_frame(t->enc.get(), nullptr);
        if (auto r = drainEncoder(t->enc.get(), t->stream); !r) return r;
    }
    if (video_) {
        avcodec_send_frame(video_->enc.get(), nullptr);
        if (auto r = drainEncoder(video_->enc.get(), video_->stream); !r) return r;
    }
    return {};
}

} // namespace

Result<std::unique_ptr<MovieWriter>> createMovieWriter(const std::string& path, MovieFileType type,
                                                       const MovieWriterOptions& options) {
    static std::once_flag quiet;
    std::call_once(quiet, [] { av_log_set_level(AV_LOG_ERROR); });
    const char* muxer = type == MovieFileType::mov ? "mov" : type == MovieFileType::mp4 ? "mp4" : "ipod";
    AVFormatContext* raw = nullptr;
    if (int err = avformat_alloc_output_context2(&raw, nullptr, muxer, path.c_str()); err < 0 || !raw)
        return makeError("Cannot create writer for " + quoted(path) + ": " + ff::errorText(err));
    ff::OutputContext ctx(raw);
    if (options.videoQueueDepth < 1)
        return makeError("Cannot create writer for " + quoted(path) + ": no video queue");
    return std::unique_ptr<MovieWriter>(
        std::make_unique<FfmpegMovieWriter>(path, type, options, std::move(ctx)));
}

} // namespace lc
