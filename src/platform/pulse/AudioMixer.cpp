#include "platform/pulse/AudioMixer.h"

#include <algorithm>
#include <cmath>

namespace lc::pulse {

namespace {
constexpr int kRate = AudioChunk::sampleRate;
// A chunk this far beyond what is held starts a new stretch: release the old one first rather
// than holding a long uncovered gap in memory.
constexpr std::int64_t kMaxSpan = 5 * kRate;

std::int16_t clip(std::int32_t v) {
    return std::int16_t(std::clamp<std::int32_t>(v, -32768, 32767));
}
} // namespace

AudioMixer::AudioMixer(Emit emit, double hold) : emit_(std::move(emit)), hold_(std::llround(hold * kRate)) {}

void AudioMixer::add(int source, const AudioChunk& chunk) {
    const auto frames = std::int64_t(chunk.frameCount());
    if (frames == 0) return;
    if (!origin_) {
        origin_ = chunk.hostTime;
        start_ = 0;
    }
    std::int64_t pos = std::llround((chunk.hostTime - *origin_) * kRate);
    auto [it, isNew] = sources_.try_emplace(source);
    if (!isNew && std::abs(pos - it->second.end) <= kSnapFrames) pos = it->second.end;
    const std::int64_t end = pos + frames;
    it->second.end = end;

    const std::int64_t heldEnd = start_ + std::int64_t(buffer_.size());
    if (pos > heldEnd + kMaxSpan || (buffer_.empty() && pos > start_)) {
        release(heldEnd);
        buffer_.clear();
        start_ = pos;
    }
    if (end <= start_) {
        dropped_ += frames;
        release(horizon());
        return;
    }
    const std::int64_t skip = std::max<std::int64_t>(0, start_ - pos);
    dropped_ += skip;
    if (end > start_ + std::int64_t(buffer_.size())) buffer_.resize(std::size_t(end - start_));
    const std::int16_t* s = chunk.samples.data();
    for (std::int64_t f = skip; f < frames; ++f) {
        Frame& d = buffer_[std::size_t(pos + f - start_)];
        d.left += s[2 * f];
        d.right += s[2 * f + 1];
        d.covered = true;
    }
    release(horizon());
}

void AudioMixer::remove(int source) {
    sources_.erase(source);
    release(horizon());
}

void AudioMixer::flush() {
    release(start_ + std::int64_t(buffer_.size()));
}

std::int64_t AudioMixer::horizon() const {
    std::int64_t newest = start_;
    for (const auto& [id, s] : sources_)
        newest = std::max(newest, s.end);
    // Streams that lag more than `hold` behind the newest have gone quiet: they hold nothing.
    std::int64_t h = newest;
    for (const auto& [id, s] : sources_)
        if (s.end >= newest - hold_) h = std::min(h, s.end);
    return std::min(h, start_ + std::int64_t(buffer_.size()));
}

void AudioMixer::release(std::int64_t upTo) {
    upTo = std::min(upTo, start_ + std::int64_t(buffer_.size()));
    while (start_ < upTo) {
        // Skip what nobody covered; then emit the covered run that follows.
        while (start_ < upTo && !buffer_.front().covered) {
            buffer_.pop_front();
            ++start_;
        }
        if (start_ >= upTo) break;
        AudioChunk out;
        out.hostTime = *origin_ + double(start_) / kRate;
        while (start_ < upTo && buffer_.front().covered) {
            out.samples.push_back(clip(buffer_.front().left));
            out.samples.push_back(clip(buffer_.front().right));
            buffer_.pop_front();
            ++start_;
        }
        emit_(std::move(out));
    }
}

} // namespace lc::pulse
