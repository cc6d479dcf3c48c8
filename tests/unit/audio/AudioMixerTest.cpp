// Mixing one application's streams onto one clock, without inventing silence.
#include "platform/pulse/AudioMixer.h"

#include <gtest/gtest.h>

using lc::AudioChunk;
using lc::pulse::AudioMixer;

namespace {

constexpr double kRate = 48000;

AudioChunk chunk(double hostTime, std::size_t frames, std::int16_t value) {
    AudioChunk c;
    c.hostTime = hostTime;
    c.samples.assign(frames * 2, value);
    return c;
}

struct Output {
    std::vector<AudioChunk> chunks;
    AudioMixer mixer{[this](AudioChunk c) { chunks.push_back(std::move(c)); }};
    std::size_t frames() const {
        std::size_t n = 0;
        for (const auto& c : chunks)
            n += c.frameCount();
        return n;
    }
};

} // namespace

TEST(AudioMixer, OneStreamPassesStraightThroughAndGapsStayGaps) {
    Output out;
    out.mixer.add(1, chunk(10.0, 480, 100));
    ASSERT_EQ(out.chunks.size(), 1u) << "a lone stream must not be held back";
    EXPECT_DOUBLE_EQ(out.chunks[0].hostTime, 10.0);
    // 1 ms of stamp jitter is not a gap: the stream continues sample-exact.
    out.mixer.add(1, chunk(10.0 + 480 / kRate + 0.001, 480, 200));
    ASSERT_EQ(out.chunks.size(), 2u);
    EXPECT_NEAR(out.chunks[1].hostTime, 10.0 + 480 / kRate, 1e-9);
    // Half a second of nothing produces nothing, then sound resumes at its own time.
    out.mixer.add(1, chunk(10.5, 480, 300));
    ASSERT_EQ(out.chunks.size(), 3u);
    EXPECT_NEAR(out.chunks[2].hostTime, 10.5, 1.0 / kRate);
    EXPECT_EQ(out.frames(), 1440u);
    EXPECT_EQ(out.chunks[2].samples.front(), 300);
}

TEST(AudioMixer, OverlappingStreamsAreSummedAndClippedOnceBothHaveArrived) {
    Output out;
    out.mixer.add(1, chunk(5.0, 960, 1000));
    ASSERT_EQ(out.chunks.size(), 1u); // nobody else yet
    // A second stream joins where the first goes on.
    out.mixer.add(2, chunk(5.0 + 960 / kRate, 480, 30000));
    out.mixer.add(1, chunk(5.0 + 960 / kRate, 480, 5000));
    std::vector<std::int16_t> tail;
    for (std::size_t i = 1; i < out.chunks.size(); ++i)
        tail.insert(tail.end(), out.chunks[i].samples.begin(), out.chunks[i].samples.end());
    ASSERT_EQ(tail.size(), 960u);
    EXPECT_EQ(tail.front(), 32767) << "30000 + 5000 clips";
    EXPECT_EQ(out.frames(), 1440u);
    EXPECT_EQ(out.mixer.droppedFrames(), 0);
}

TEST(AudioMixer, ALaggingStreamHoldsOutputBackOnlyUntilItGoesQuiet) {
    Output out;
    out.mixer.add(1, chunk(1.0, 480, 10));
    out.mixer.add(2, chunk(1.0 + 480 / kRate, 480, 10));
    EXPECT_EQ(out.frames(), 480u);
    // Stream 1 runs ahead: stream 2 may still deliver that stretch, so it waits for it.
    out.mixer.add(1, chunk(1.0 + 480 / kRate, 960, 10));
    EXPECT_EQ(out.frames(), 960u);
    out.mixer.add(2, chunk(1.0 + 960 / kRate, 480, 10));
    EXPECT_EQ(out.frames(), 1440u);
    EXPECT_EQ(out.chunks.back().samples.front(), 20);
    // Stream 2 stops delivering: once stream 1 is more than 50 ms ahead it flows again.
    for (int i = 0; i < 5; ++i)
        out.mixer.add(1, chunk(1.0 + (1440 + 480 * i) / kRate, 480, 10));
    EXPECT_EQ(out.frames(), 1440u);
    for (int i = 5; i < 10; ++i)
        out.mixer.add(1, chunk(1.0 + (1440 + 480 * i) / kRate, 480, 10));
    EXPECT_EQ(out.frames(), 1440u + 4800u);
    out.mixer.remove(2);
    EXPECT_EQ(out.frames(), 1440u + 4800u);
}

TEST(AudioMixer, SoundArrivingAfterItsPlaceWasReleasedIsDroppedNotMisplaced) {
    Output out;
    out.mixer.add(1, chunk(2.0, 4800, 10));
    out.mixer.remove(1);
    out.mixer.add(2, chunk(2.0, 480, 10));
    EXPECT_EQ(out.frames(), 4800u);
    EXPECT_EQ(out.mixer.droppedFrames(), 480);
    // A jump far ahead releases what is held and starts a new stretch there.
    out.mixer.add(3, chunk(100.0, 480, 10));
    EXPECT_NEAR(out.chunks.back().hostTime, 100.0, 1.0 / kRate);
}
