#include "capture/PauseTimeline.h"

#include <algorithm>
#include <cmath>

namespace lc {

void PauseTimeline::pause(double at) {
    if (pausedAt_) return;
    pausedAt_ = at;
}

void PauseTimeline::resume(double at) {
    if (!pausedAt_) return;
    spans_.push_back({*pausedAt_, std::max(0.0, at - *pausedAt_)});
    pausedAt_.reset();
}

double PauseTimeline::clamp(double t) const {
    if (pausedAt_ && t > *pausedAt_) return *pausedAt_;
    for (const Span& s : spans_) {
        if (t > s.at && t < s.at + s.length) return s.at;
    }
    return t;
}

std::optional<double> PauseTimeline::resumeAfter(double t) const {
    for (const Span& s : spans_) {
        if (t > s.at && t < s.at + s.length) return s.at + s.length;
    }
    return std::nullopt;
}

std::optional<double> PauseTimeline::elapsed(double zero, double t) const {
    if (pausedAt_ && t > *pausedAt_) return std::nullopt;
    double cut = 0;
    for (const Span& s : spans_) {
        if (t > s.at && t < s.at + s.length) return std::nullopt;
        // The part of the pause between the two; a zero inside a pause counts from its start.
        cut += std::max(0.0, std::min(s.at + s.length, t) - std::max(s.at, zero));
    }
    return t - zero - cut;
}

double PauseTimeline::elapsedClamped(double zero, double t) const {
    const double at = clamp(t);
    return elapsed(zero, at).value_or(at - zero);
}

std::optional<PauseTimeline::Kept> PauseTimeline::keep(double start, std::size_t frames, int rate) const {
    const double end = start + double(frames) / double(rate);
    double from = start, to = end;
    auto cut = [&](double at, double until) {
        if (until <= from || at >= to) return; // apart
        if (at <= from)
            from = std::max(from, until); // covers the head
        else
            to = std::min(to, at); // covers the tail (or sits inside)
    };
    for (const Span& s : spans_)
        cut(s.at, s.at + s.length);
    if (pausedAt_) cut(*pausedAt_, end);
    if (to <= from) return std::nullopt;
    const auto first = std::size_t(std::llround((from - start) * double(rate)));
    const auto last = std::min(frames, std::size_t(std::llround((to - start) * double(rate))));
    if (last <= first) return std::nullopt;
    return Kept{first, last - first, start + double(first) / double(rate)};
}

std::shared_ptr<const AudioChunk>
PauseTimeline::unpaused(const std::shared_ptr<const AudioChunk>& chunk) const {
    if (!chunk || (spans_.empty() && !pausedAt_)) return chunk;
    const std::size_t frames = chunk->frameCount();
    const std::optional<Kept> kept = keep(chunk->hostTime, frames, AudioChunk::sampleRate);
    if (!kept) return nullptr;
    if (kept->first == 0 && kept->count == frames) return chunk;
    auto part = std::make_shared<AudioChunk>();
    const auto begin = chunk->samples.begin() + std::ptrdiff_t(kept->first * AudioChunk::channels);
    part->samples.assign(begin, begin + std::ptrdiff_t(kept->count * AudioChunk::channels));
    part->hostTime = kept->start;
    return part;
}

} // namespace lc
