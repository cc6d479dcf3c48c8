#include "export/ClipFeed.h"

namespace lc {

ClipFeed::ClipFeed(const MediaReader& reader, ExportEngine::Clip clip, std::vector<std::int64_t> frames,
                   int fps)
    : reader_(reader), clip_(std::move(clip)), frames_(std::move(frames)), fps_(fps) {}

ClipFeed::~ClipFeed() {
    stop();
}

void ClipFeed::start() {
    if (frames_.empty() || thread_.joinable()) return;
    thread_ = std::thread([this] {
        nameThisThread("loomcast.decode");
        run();
    });
}

void ClipFeed::stop() {
    stopping_ = true;
    queue_.close();
    if (thread_.joinable()) thread_.join();
}

Result<YuvFramePtr> ClipFeed::take(std::int64_t n) {
    auto item = queue_.pop();
    if (!item) {
        if (thread_.joinable()) thread_.join();
        if (error_) return *error_;
        return makeError("Export stopped");
    }
    if (item->n != n) return makeError("Export frame order lost"); // cannot happen: same list on both sides
    return std::move(item->picture);
}

void ClipFeed::run() {
    const MediaTime clipEnd = clip_.start + clip_.range.duration;
    for (const std::int64_t n : frames_) {
        if (stopping_) break;
        const MediaTime t{n, fps_};
        YuvFramePtr picture;
        if (t < clip_.start) {
            // Before the clip starts its first frame stands in; one that cannot be decoded
            // leaves the background there instead.
            auto first = frameAt(clip_.range.start);
            if (first) {
                picture = std::move(*first);
            } else {
                decoder_.reset();
                current_.reset();
                pending_.reset();
                ended_ = false;
            }
        } else {
            // After the end every frame lies before the track's end: the last one answers.
            const MediaTime q = clipEnd <= t ? clip_.range.end() : clip_.range.start + (t - clip_.start);
            auto got = frameAt(q);
            if (!got) {
                error_ = got.error();
                break;
            }
            picture = std::move(*got);
        }
        if (!queue_.push({n, std::move(picture)})) break;
    }
    // Close only after an error is stored, so take() sees it.
    queue_.close();
}

Result<YuvFramePtr> ClipFeed::frameAt(const MediaTime& q) {
    if (!decoder_) {
        auto d = reader_.openVideo(clip_.path);
        if (!d) return d.error();
        decoder_ = std::move(*d);
    }
    const bool answered = (pending_ && q < pending_->pts) || ended_;
    const MediaTime known = pending_ ? pending_->pts : (current_ ? current_->pts : clip_.range.start);
    if (!answered && q - known > MediaTime::fromSeconds(seekGap)) {
        // Far ahead of what was decoded: jump to the key frame before q instead of decoding
        // through the stretch in between.
        if (auto r = decoder_->seek(q); !r) return r.error();
        current_.reset();
        pending_.reset();
    }
    for (;;) {
        if (pending_) {
            if (q < pending_->pts) break;
            current_ = std::move(pending_);
            pending_.reset();
        }
        if (ended_) break;
        auto next = decoder_->next();
        if (!next) return next.error();
        if (!*next) {
            ended_ = true;
            break;
        }
        pending_ = std::move(**next);
    }
    if (current_) return current_->picture;
    // q lies before the first frame decoded since the start or a seek.
    if (pending_) return pending_->picture;
    return YuvFramePtr();
}

} // namespace lc
