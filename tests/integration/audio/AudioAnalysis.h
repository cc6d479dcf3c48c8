#pragma once
// Sound checks shared by the audio tests: collecting chunks from a capture thread, the strength
// of a frequency, the dominant pitch, and where a sound starts.
#include "platform/Frame.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace lc::test {

class ChunkCollector {
public:
    void add(const AudioChunk& c) {
        std::lock_guard lock(mutex_);
        chunks_.push_back(c);
    }
    std::vector<AudioChunk> chunks() const {
        std::lock_guard lock(mutex_);
        return chunks_;
    }
    double seconds() const {
        std::lock_guard lock(mutex_);
        std::size_t frames = 0;
        for (const auto& c : chunks_)
            frames += c.frameCount();
        return double(frames) / AudioChunk::sampleRate;
    }

private:
    mutable std::mutex mutex_;
    std::vector<AudioChunk> chunks_;
};

// Left channel of all chunks, in order.
inline std::vector<double> leftChannel(const std::vector<AudioChunk>& chunks) {
    std::vector<double> out;
    for (const auto& c : chunks)
        for (std::size_t i = 0; i < c.samples.size(); i += 2)
            out.push_back(c.samples[i]);
    return out;
}

// Amplitude (0..32768) of the component at `hz` (Goertzel over the whole signal).
inline double toneAmplitude(const std::vector<double>& x, double hz, int rate = AudioChunk::sampleRate) {
    if (x.empty()) return 0;
    const double w = 2 * M_PI * hz / rate, k = 2 * std::cos(w);
    double s1 = 0, s2 = 0;
    for (double v : x) {
        const double s0 = v + k * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - k * s1 * s2;
    return 2 * std::sqrt(std::max(0.0, power)) / double(x.size());
}

// The same per tenth of a second, the median: one coherent sum over a whole track cancels
// itself wherever a starved sound server inserted silence or repeated a block (a jump of phase),
// while the median of short windows sees the tone the track carries.
inline double medianToneAmplitude(const std::vector<double>& x, double hz,
                                  int rate = AudioChunk::sampleRate) {
    const std::size_t n = std::size_t(rate / 10);
    std::vector<double> amplitudes;
    for (std::size_t at = 0; at + n <= x.size(); at += n)
        amplitudes.push_back(toneAmplitude(
            std::vector<double>(x.begin() + std::ptrdiff_t(at), x.begin() + std::ptrdiff_t(at + n)), hz,
            rate));
    if (amplitudes.empty()) return toneAmplitude(x, hz, rate);
    std::nth_element(amplitudes.begin(), amplitudes.begin() + std::ptrdiff_t(amplitudes.size() / 2),
                     amplitudes.end());
    return amplitudes[amplitudes.size() / 2];
}

// Pitch from upward zero crossings, with hysteresis (the signal must have gone below -30 % of
// its peak since the last crossing) so that coding noise and ringing do not count. The median
// period decides: a sound server starved by a busy machine may insert a block of silence or
// repeat one, which bends a single period but not the pitch of the sound.
inline double dominantFrequency(const std::vector<double>& x, int rate = AudioChunk::sampleRate) {
    double peak = 0;
    for (double v : x)
        peak = std::max(peak, std::abs(v));
    const double low = -0.3 * peak;
    std::optional<double> last;
    std::vector<double> periods;
    bool armed = false;
    for (std::size_t i = 1; i < x.size(); ++i) {
        if (x[i] < low) armed = true;
        if (armed && x[i - 1] < 0 && x[i] >= 0) {
            armed = false;
            const double t = double(i - 1) + (-x[i - 1]) / (x[i] - x[i - 1]);
            if (last) periods.push_back(t - *last);
            last = t;
        }
    }
    if (periods.empty()) return 0;
    const auto middle = periods.begin() + std::ptrdiff_t(periods.size() / 2);
    std::nth_element(periods.begin(), middle, periods.end());
    return rate / *middle;
}

// Uptime of the first sample louder than `threshold` after at least `quiet` seconds of
// near-silence, from the chunks' own stamps.
inline std::optional<double> onsetTime(const std::vector<AudioChunk>& chunks, int threshold = 10000,
                                       double quiet = 0.1) {
    const auto quietFrames = std::size_t(quiet * AudioChunk::sampleRate);
    std::size_t silent = 0;
    for (const auto& c : chunks) {
        for (std::size_t f = 0; f < c.frameCount(); ++f) {
            const int v = std::abs(int(c.samples[2 * f]));
            if (v >= threshold && silent >= quietFrames)
                return c.hostTime + double(f) / AudioChunk::sampleRate;
            silent = v < 300 ? silent + 1 : 0;
        }
    }
    return std::nullopt;
}

} // namespace lc::test
