// Host-clock stamps from noisy server observations.
#include "platform/pulse/StreamClock.h"

#include <gtest/gtest.h>

using lc::pulse::StreamClock;

namespace {
constexpr double kRate = 48000;
}

TEST(StreamClock, StampsFramesFromTheFirstObservationAndSmoothsSteppedReports) {
    StreamClock clock;
    EXPECT_FALSE(clock.ready());
    const double t0 = 1000.0;
    clock.observe(t0 + 0.5, 0.5 * kRate);
    ASSERT_TRUE(clock.ready());
    EXPECT_NEAR(clock.stamp(48000), t0 + 1.0, 1e-9);

    // Reports that move in 4 ms steps (as PipeWire's do) average out.
    for (int i = 1; i <= 200; ++i) {
        const double when = t0 + 0.5 + 0.1 * i;
        const double step = (i % 2 ? 0.002 : -0.002);
        clock.observe(when + step, (when - t0) * kRate);
    }
    EXPECT_NEAR(*clock.start(), t0, 0.0005);
    EXPECT_EQ(clock.resets(), 0);

    // One wild report (8 ms off) moves a settled clock by at most half a millisecond.
    const double before = *clock.start();
    clock.observe(t0 + 30.0 + 0.008, 30.0 * kRate);
    EXPECT_LE(std::abs(*clock.start() - before), 0.0005 + 1e-12);
}

TEST(StreamClock, APauseOrMoveIsTakenAtOnceWhileDriftIsFollowed) {
    StreamClock clock;
    const double t0 = 50.0;
    for (int i = 0; i < 30; ++i)
        clock.observe(t0 + 0.1 * i, 0.1 * i * kRate);
    // The stream stood still for 300 ms: frames after it were captured 300 ms later.
    clock.observe(t0 + 3.3, 3.0 * kRate);
    EXPECT_EQ(clock.resets(), 1);
    EXPECT_NEAR(clock.stamp(std::int64_t(3.0 * kRate)), t0 + 3.3, 1e-9);

    // A device clock 100 ppm fast for a minute: stamps stay within a millisecond.
    StreamClock drifting;
    double worst = 0;
    for (int i = 0; i < 600; ++i) {
        const double when = 0.1 * i;
        const double frames = when * kRate * 1.0001;
        drifting.observe(when, frames);
        worst = std::max(worst, std::abs(drifting.stamp(std::int64_t(frames)) - when));
    }
    EXPECT_LT(worst, 0.001);
    EXPECT_EQ(drifting.resets(), 0);
}
