#include "capture/FrameTimer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <sys/timerfd.h>
#include <unistd.h>

namespace lc {

Result<std::unique_ptr<FrameTimer>> FrameTimer::start(int fps, Handler onTick, double delay) {
    UniqueFd fd(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    if (!fd) return makeError("Cannot create the frame timer: " + std::string(std::strerror(errno)));
    const std::int64_t period = 1'000'000'000 / std::max(1, fps);
    itimerspec schedule{};
    schedule.it_interval.tv_sec = period / 1'000'000'000;
    schedule.it_interval.tv_nsec = period % 1'000'000'000;
    const auto first = std::max<std::int64_t>(1, std::int64_t(std::max(0.0, delay) * 1e9)); // 0 would disarm
    schedule.it_value.tv_sec = first / 1'000'000'000;
    schedule.it_value.tv_nsec = first % 1'000'000'000;
    if (::timerfd_settime(fd.get(), 0, &schedule, nullptr) != 0)
        return makeError("Cannot start the frame timer: " + std::string(std::strerror(errno)));
    return std::make_unique<FrameTimer>(Key{}, std::move(fd), std::move(onTick));
}

FrameTimer::FrameTimer(Key, UniqueFd fd, Handler onTick)
    : fd_(std::move(fd)), onTick_(std::move(onTick)), notifier_(fd_.get(), QSocketNotifier::Read) {
    QObject::connect(&notifier_, &QSocketNotifier::activated, [this] { fired(); });
}

void FrameTimer::fired() {
    std::uint64_t periods = 0;
    if (::read(fd_.get(), &periods, sizeof periods) != sizeof periods || periods == 0) return;
    onTick_(periods);
}

} // namespace lc
