#pragma once
// Decodes one clip on a thread of its own, ahead of the compositor but only for the output
// frames that show the clip: for each such frame (in order) it hands over the picture the
// clip has at that time — the latest frame at or before it, the first frame before the clip
// starts, the last frame after it ends. Stretches where the clip is off screen are skipped
// by seeking instead of being decoded.
#include "common/Result.h"
#include "export/ExportEngine.h"
#include "export/WorkQueue.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <thread>
#include <vector>

namespace lc {

class ClipFeed {
public:
    // `frames`: ascending output frame numbers that need this clip; frame n is at n / fps.
    // `reader` outlives the feed.
    ClipFeed(const MediaReader& reader, ExportEngine::Clip clip, std::vector<std::int64_t> frames, int fps);
    ~ClipFeed();
    ClipFeed(const ClipFeed&) = delete;
    ClipFeed& operator=(const ClipFeed&) = delete;

    void start();
    // The last output frame the feed serves.
    std::int64_t lastFrame() const { return frames_.empty() ? -1 : frames_.back(); }
    // The picture for output frame `n` (the next one in the list); nullptr when the clip has
    // none. Fails when decoding failed or the feed was stopped.
    Result<YuvFramePtr> take(std::int64_t n);
    void stop();

    // How far apart (seconds) two needed times must be for a seek instead of decoding through.
    static constexpr double seekGap = 1.0;

private:
    struct Item {
        std::int64_t n;
        YuvFramePtr picture;
    };
    void run();
    Result<YuvFramePtr> frameAt(const MediaTime& q);

    const MediaReader& reader_;
    ExportEngine::Clip clip_;
    std::vector<std::int64_t> frames_;
    int fps_;
    BoundedQueue<Item> queue_{3}; // a little ahead; every picture held costs a full frame
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::optional<Error> error_; // written by the thread before it closes the queue

    std::unique_ptr<VideoDecoder> decoder_;
    std::optional<VideoDecoder::Frame> current_; // latest decoded at or before the last query
    std::optional<VideoDecoder::Frame> pending_; // decoded, later than the last query
    bool ended_ = false;
};

} // namespace lc
