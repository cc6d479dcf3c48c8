#include "common/Clock.h"

#include <ctime>

namespace lc {

std::int64_t uptimeNanos() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

double uptime() {
    return double(uptimeNanos()) / 1e9;
}

} // namespace lc
