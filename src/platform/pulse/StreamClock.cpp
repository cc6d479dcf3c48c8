#include "platform/pulse/StreamClock.h"

#include <algorithm>
#include <cmath>

namespace lc::pulse {

namespace {
// Early observations are averaged with equal weight, later ones with this weight: a time
// constant of ~20 observations (2 s at 10 Hz) follows device-clock drift and flattens jitter.
constexpr double kWeight = 0.05;
constexpr int kSettling = 4;
constexpr double kMaxStep = 0.0005;
} // namespace

void StreamClock::observe(double when, double position) {
    const double raw = when - position / rate_;
    if (!t0_ || count_ == 0) {
        t0_ = raw;
        count_ = 1;
        return;
    }
    const double d = raw - *t0_;
    if (std::abs(d) > kJump) {
        ++resets_;
        t0_ = raw;
        count_ = 1;
        return;
    }
    ++count_;
    // Once settled, move by at most half a millisecond per observation: successive buffers
    // then join up within that, however noisy one report is.
    const double step = d * std::max(kWeight, 1.0 / count_);
    *t0_ += count_ > kSettling ? std::clamp(step, -kMaxStep, kMaxStep) : step;
}

} // namespace lc::pulse
