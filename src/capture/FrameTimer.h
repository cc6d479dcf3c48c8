#pragma once
// The recorder's frame clock: a kernel timer at an exact period (1/fps is not a whole number of
// milliseconds) that tells how many periods passed since it last fired, so a late thread shows
// up as skipped periods instead of drifting.
//
// Threads: created, fired and destroyed on one thread, which must run a Qt event loop.
#include "common/Result.h"
#include "common/UniqueFd.h"

#include <QSocketNotifier>
#include <cstdint>
#include <functional>
#include <memory>

namespace lc {

class FrameTimer {
public:
    // `periods` is at least 1: more when the thread came late.
    using Handler = std::function<void(std::uint64_t periods)>;

    // Fires after `delay` seconds (at once when 0), then every 1/fps seconds until destroyed.
    static Result<std::unique_ptr<FrameTimer>> start(int fps, Handler onTick, double delay = 0);

private:
    struct Key {
        explicit Key() = default;
    };

public:
    FrameTimer(Key, UniqueFd fd, Handler onTick); // through start() only
    FrameTimer(const FrameTimer&) = delete;
    FrameTimer& operator=(const FrameTimer&) = delete;

private:
    void fired();

    UniqueFd fd_;
    Handler onTick_;
    QSocketNotifier notifier_; // after fd_: stops watching before the descriptor closes
};

} // namespace lc
