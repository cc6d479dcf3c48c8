#include "capture/PauseTimeline.h"

#include <gtest/gtest.h>

using namespace lc;

TEST(PauseTimeline, PausesAreCutFromTheTimeAfterTheZero) {
    PauseTimeline p;
    EXPECT_EQ(p.elapsed(10, 12), 2.0);
    p.pause(12);
    EXPECT_TRUE(p.paused());
    EXPECT_EQ(p.elapsed(10, 12), 2.0) << "the pause's start is still recorded";
    EXPECT_FALSE(p.elapsed(10, 13)) << "inside the running pause";
    EXPECT_EQ(p.elapsedClamped(10, 30), 2.0) << "held at the pause";
    p.pause(14); // a second pause while paused changes nothing
    p.resume(15);
    EXPECT_FALSE(p.paused());
    ASSERT_EQ(p.spans().size(), 1u);
    EXPECT_EQ(p.spans()[0].at, 12);
    EXPECT_EQ(p.spans()[0].length, 3);
    EXPECT_EQ(p.elapsed(10, 15), 2.0) << "the resume continues where the pause began";
    EXPECT_EQ(p.elapsed(10, 16), 3.0);
    EXPECT_FALSE(p.elapsed(10, 14));
    EXPECT_EQ(p.clamp(14), 12.0);
    EXPECT_EQ(p.resumeAfter(14), 15.0);
    EXPECT_FALSE(p.resumeAfter(16));
    p.resume(20); // not paused: ignored
    EXPECT_EQ(p.spans().size(), 1u);

    p.pause(20);
    p.resume(21);
    EXPECT_EQ(p.elapsed(10, 25), 15.0 - 3 - 1);
    // A file that began after the first pause loses only the second one.
    EXPECT_EQ(p.elapsed(16, 25), 9.0 - 1);
    // One that began after both loses nothing.
    EXPECT_EQ(p.elapsed(22, 25), 3.0);
    // A zero that falls inside a pause (its first frame came in just as the pause began) counts
    // from the resume, like the session counts it from the pause's start.
    EXPECT_EQ(p.elapsed(13, 16), 1.0);
}

TEST(PauseTimeline, AudioAtAPauseEdgeKeepsOnlyItsOutsidePart) {
    constexpr int rate = 1000;
    PauseTimeline p;
    ASSERT_TRUE(p.keep(1.0, 100, rate));
    EXPECT_EQ(p.keep(1.0, 100, rate)->count, 100u);
    p.pause(2.0);
    // Ends in the running pause: the head stays.
    const auto head = p.keep(1.95, 100, rate);
    ASSERT_TRUE(head);
    EXPECT_EQ(head->first, 0u);
    EXPECT_EQ(head->count, 50u);
    EXPECT_FALSE(p.keep(2.1, 100, rate)) << "wholly in the pause";
    p.resume(3.0);
    // Starts in the pause: the tail stays, starting at the resume.
    const auto tail = p.keep(2.98, 100, rate);
    ASSERT_TRUE(tail);
    EXPECT_EQ(tail->first, 20u);
    EXPECT_EQ(tail->count, 80u);
    EXPECT_DOUBLE_EQ(tail->start, 3.0);
    EXPECT_EQ(p.keep(3.0, 100, rate)->count, 100u) << "from the resume on everything";

    // The same on real buffers: a trimmed copy, the buffer itself, or nothing.
    auto chunk = std::make_shared<AudioChunk>();
    chunk->samples.resize(480 * AudioChunk::channels);
    for (std::size_t i = 0; i < chunk->samples.size(); ++i)
        chunk->samples[i] = std::int16_t(i / AudioChunk::channels);
    chunk->hostTime = 2.995; // 10 ms, half of it in the pause
    const auto trimmed = p.unpaused(chunk);
    ASSERT_TRUE(trimmed);
    EXPECT_EQ(trimmed->frameCount(), 240u);
    EXPECT_EQ(trimmed->samples[0], 240) << "the part after the resume";
    EXPECT_DOUBLE_EQ(trimmed->hostTime, 3.0);
    chunk->hostTime = 3.5;
    EXPECT_EQ(p.unpaused(chunk), chunk);
    chunk->hostTime = 2.5;
    EXPECT_FALSE(p.unpaused(chunk));
}
