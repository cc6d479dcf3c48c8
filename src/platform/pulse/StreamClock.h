#pragma once
// Host-clock stamps for a captured stream. The server tells, now and then, which stream position
// (frames since the stream began) was being captured at which uptime; those observations are
// noisy (PipeWire moves in ~4 ms steps), so the stream's start time T0 is smoothed and frame n
// is stamped T0 + n / rate.
#include <cstdint>
#include <optional>

namespace lc::pulse {

class StreamClock {
public:
    explicit StreamClock(int rate = 48000) : rate_(rate) {}

    // At uptime `when` the stream was capturing frame `position` (may be fractional).
    void observe(double when, double position);

    // Forget the past: the next observation is taken as it stands (after a pause or a move).
    void restart() { count_ = 0; }

    bool ready() const { return t0_.has_value(); }
    // Uptime of frame `frame`; only when ready().
    double stamp(std::int64_t frame) const { return *t0_ + double(frame) / rate_; }
    std::optional<double> start() const { return t0_; }
    int resets() const { return resets_; }

    // Observations that differ by more than this from the smoothed start are a real change
    // (a pause, an overflow, a move), not jitter.
    static constexpr double kJump = 0.020;

private:
    int rate_;
    std::optional<double> t0_;
    int count_ = 0;
    int resets_ = 0;
};

} // namespace lc::pulse
