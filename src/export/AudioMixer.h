#pragma once
// The final video's sound: the microphone at full volume plus each clip's application audio
// under its volume automation, all placed on the shared clock and summed into 48 kHz stereo.
#include "common/Result.h"
#include "export/ExportEngine.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace lc {

class AudioMixer {
public:
    // `mix`: the automation of every application-audio piece (by track ID); pieces without one
    // (the microphone) play at full volume. `totalFrames`: sample frames of the whole video.
    // `reader` outlives the mixer.
    AudioMixer(const MediaReader& reader, const std::vector<ExportEngine::AudioPiece>& pieces,
               const std::vector<VolumeAutomation>& mix, std::int64_t totalFrames);
    ~AudioMixer();

    std::int64_t totalFrames() const { return total_; }
    std::int64_t position() const { return position_; }

    // Mixes the next `frames` sample frames (fewer at the end) into `out` (interleaved).
    Result<void> mixNext(std::int64_t frames, std::vector<std::int16_t>& out);

private:
    struct Source;
    std::vector<std::unique_ptr<Source>> sources_;
    std::int64_t total_;
    std::int64_t position_ = 0;
    std::vector<std::int32_t> acc_;
};

} // namespace lc
