#pragma once
// Mixes the stamped sound of several streams (one application's outputs) into one stream on the
// same clock. Chunks are placed by their stamps (a stream that stays within 2 ms of where its
// previous chunk ended continues seamlessly) and summed. Output is released once every stream
// that is still delivering has passed it, holding back at most `hold` seconds. Stretches that
// no stream covers produce no output: the mixer never invents silence.
#include "platform/Frame.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>

namespace lc::pulse {

class AudioMixer {
public:
    using Emit = std::function<void(AudioChunk)>;

    explicit AudioMixer(Emit emit, double hold = 0.05);

    void add(int source, const AudioChunk& chunk);
    // The stream ended: it no longer holds output back.
    void remove(int source);
    // Releases everything held.
    void flush();

    // Frames that arrived too late to be mixed (their place had been released already).
    std::int64_t droppedFrames() const { return dropped_; }

    static constexpr std::int64_t kSnapFrames = 96; // 2 ms

private:
    struct Source {
        std::int64_t end = 0; // timeline frame after its last chunk
    };
    struct Frame {
        std::int32_t left = 0, right = 0;
        bool covered = false;
    };

    void release(std::int64_t upTo);
    std::int64_t horizon() const;

    Emit emit_;
    std::int64_t hold_;
    std::optional<double> origin_; // uptime of timeline frame 0
    std::map<int, Source> sources_;
    std::deque<Frame> buffer_; // frames from start_ on
    std::int64_t start_ = 0;   // first frame not yet released
    std::int64_t dropped_ = 0;
};

} // namespace lc::pulse
