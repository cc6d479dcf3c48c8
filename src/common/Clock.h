#pragma once
// The shared clock: seconds on CLOCK_MONOTONIC (does not count suspend). X server event
// times and the audio stamps are on the same clock.
#include <cstdint>

namespace lc {

double uptime();
std::int64_t uptimeNanos();

} // namespace lc
