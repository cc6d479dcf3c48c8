#include "export/AudioMixer.h"

#include <algorithm>
#include <cstdlib>

namespace lc {
namespace {

constexpr int rate = 48000;
// Blocks that land this close to where the previous one ended are taken as continuous;
// further off they leave a gap of silence or overlap.
constexpr std::int64_t continuityFrames = rate / 100;
// Volume is evaluated once per this many sample frames.
constexpr std::int64_t gainStep = 64;

std::int64_t toFrames(const MediaTime& t) {
    return t.convertedTo(rate).value;
}

} // namespace

struct AudioMixer::Source {
    const MediaReader* reader = nullptr;
    ExportEngine::AudioPiece piece;
    const VolumeAutomation* volume = nullptr; // none: full volume
    std::unique_ptr<AudioDecoder> decoder;
    bool ended = false;
    std::int64_t from = 0, to = 0;    // composition frames the piece covers
    std::vector<std::int16_t> buffer; // decoded, from bufferStart on
    std::int64_t bufferStart = 0;
    bool started = false;

    std::int64_t bufferEnd() const { return bufferStart + std::int64_t(buffer.size() / 2); }

    Result<void> fillUntil(std::int64_t until) {
        while (!ended && (!started || bufferEnd() < until)) {
            if (!decoder) {
                auto d = reader->openAudio(piece.path);
                if (!d) return d.error();
                decoder = std::move(*d);
            }
            auto block = decoder->next();
            if (!block) return block.error();
            if (!*block) {
                ended = true;
                break;
            }
            AudioDecoder::Block& b = **block;
            std::int64_t at = toFrames(piece.at + (b.pts - piece.sourceStart));
            if (!started) {
                started = true;
                bufferStart = at;
            } else if (std::llabs(at - bufferEnd()) <= continuityFrames) {
                at = bufferEnd();
            }
            std::size_t skip = 0;
            if (at > bufferEnd()) buffer.resize(buffer.size() + std::size_t(at - bufferEnd()) * 2, 0);
            if (at < bufferEnd()) skip = std::min(b.samples.size(), std::size_t(bufferEnd() - at) * 2);
            buffer.insert(buffer.end(), b.samples.begin() + std::ptrdiff_t(skip), b.samples.end());
        }
        return {};
    }

    void dropBefore(std::int64_t frame) {
        if (frame <= bufferStart) return;
        const std::size_t n = std::min(buffer.size(), std::size_t(frame - bufferStart) * 2);
        buffer.erase(buffer.begin(), buffer.begin() + std::ptrdiff_t(n));
        bufferStart = frame;
    }
};

AudioMixer::AudioMixer(const MediaReader& reader, const std::vector<ExportEngine::AudioPiece>& pieces,
                       const std::vector<VolumeAutomation>& mix, std::int64_t totalFrames)
    : total_(totalFrames) {
    for (const auto& p : pieces) {
        auto s = std::make_unique<Source>();
        s->reader = &reader;
        s->piece = p;
        for (const VolumeAutomation& v : mix)
            if (v.trackId == p.trackId) s->volume = &v;
        if (!p.isMic && !s->volume) continue; // application audio nobody hears
        s->from = toFrames(p.at);
        s->to = toFrames(p.at + p.duration);
        sources_.push_back(std::move(s));
    }
}

AudioMixer::~AudioMixer() = default;

Result<void> AudioMixer::mixNext(std::int64_t frames, std::vector<std::int16_t>& out) {
    const std::int64_t start = position_, end = std::min(total_, position_ + frames);
    const std::size_t count = std::size_t(std::max<std::int64_t>(end - start, 0));
    acc_.assign(count * 2, 0);
    for (auto& src : sources_) {
        const std::int64_t a = std::max(start, src->from), b = std::min(end, src->to);
        if (a >= b) continue;
        if (auto r = src->fillUntil(b); !r) return r;
        for (std::int64_t g = a; g < b; g += gainStep) {
            const std::int64_t ge = std::min(b, g + gainStep);
            double gain = 1.0;
            if (src->volume) gain = src->volume->gainAt(MediaTime{(g + ge) / 2, rate});
            if (gain <= 0) continue;
            const std::int32_t q = std::int32_t(gain * 65536.0 + 0.5);
            for (std::int64_t f = std::max(g, src->bufferStart); f < std::min(ge, src->bufferEnd()); ++f) {
                const std::size_t i = std::size_t(f - src->bufferStart) * 2, o = std::size_t(f - start) * 2;
                acc_[o] += std::int32_t((std::int64_t(src->buffer[i]) * q) >> 16);
                acc_[o + 1] += std::int32_t((std::int64_t(src->buffer[i + 1]) * q) >> 16);
            }
        }
        src->dropBefore(b);
    }
    out.resize(count * 2);
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = std::int16_t(std::clamp(acc_[i], -32768, 32767));
    position_ = end;
    return {};
}

} // namespace lc
