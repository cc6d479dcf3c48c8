#include "export/Timeline.h"

#include <gtest/gtest.h>

namespace lc {
namespace {

MediaTime secs(double s) {
    return MediaTime::fromSeconds(s, 600);
}

// Three 40 s clips at 0 s on the shared clock, track IDs 1, 2, 3.
TimelineInput threeClips(std::vector<FocusSwitch> focus, double length = 40) {
    TimelineInput in;
    for (int i = 0; i < 3; ++i)
        in.videos.push_back({QStringLiteral("c%1.mp4").arg(i), i + 1, secs(0), secs(length)});
    in.focus = std::move(focus);
    in.width = 1920;
    in.height = 1080;
    return in;
}

FocusSwitch at(double t, const char* file) {
    return FocusSwitch{t, QString::fromLatin1(file), QString()};
}

struct Span {
    double start, end;
    int from;
    std::optional<int> to;
};

void expectInstructions(const Timeline& tl, const std::vector<Span>& want) {
    ASSERT_EQ(tl.instructions.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(tl.instructions[i].start, secs(want[i].start));
        EXPECT_EQ(tl.instructions[i].end, secs(want[i].end));
        EXPECT_EQ(tl.instructions[i].from, want[i].from);
        EXPECT_EQ(tl.instructions[i].to, want[i].to);
    }
}

TEST(Timeline, EmptyFocusShowsTheFirstClipWithVideoThroughout) {
    TimelineInput in = threeClips({});
    in.videos.erase(in.videos.begin()); // the first recording had no video track
    const Timeline tl = Timeline::build(in);
    ASSERT_EQ(tl.segments.size(), 1u);
    EXPECT_EQ(tl.segments[0].file, "c1.mp4");
    expectInstructions(tl, {{0, 40, 2, std::nullopt}});
}

TEST(Timeline, FirstEntryIsShownFromTheStartAndSwitchesDissolve) {
    const Timeline tl = Timeline::build(threeClips({at(2.0, "c1.mp4"), at(10, "c2.mp4")}));
    EXPECT_EQ(tl.segments[0].t, 0.0);
    expectInstructions(tl, {{0, 10, 2, std::nullopt}, {10, 10.35, 2, 3}, {10.35, 40, 3, std::nullopt}});
}

TEST(Timeline, UnknownFilesAreDroppedAndOrderIsRestored) {
    // Out of document order, and one entry names a file that is not in the composition.
    const Timeline tl =
        Timeline::build(threeClips({at(20, "c0.mp4"), at(0, "c1.mp4"), at(10, "gone.mp4"), at(5, "c2.mp4")}));
    ASSERT_EQ(tl.segments.size(), 3u);
    EXPECT_EQ(tl.segments[1], (Segment{5, "c2.mp4"}));
    // c2 stays on screen across the dropped entry at 10 s until c0 at 20 s.
    expectInstructions(tl, {{0, 5, 2, std::nullopt},
                            {5, 5.35, 2, 3},
                            {5.35, 20, 3, std::nullopt},
                            {20, 20.35, 3, 1},
                            {20.35, 40, 1, std::nullopt}});
}

TEST(Timeline, ShortAndSimultaneousSwitches) {
    // 0.1 s apart: the second dissolve lasts 0.1 s and its hold is empty.
    const Timeline close = Timeline::build(threeClips({at(0, "c0.mp4"), at(5, "c1.mp4"), at(5.1, "c2.mp4")}));
    expectInstructions(
        close, {{0, 5, 1, std::nullopt}, {5, 5.1, 1, 2}, {5.1, 5.45, 2, 3}, {5.45, 40, 3, std::nullopt}});

    // Equal times: the first of the pair gets nothing of its own; the dissolve runs from it.
    const Timeline same = Timeline::build(threeClips({at(0, "c0.mp4"), at(5, "c1.mp4"), at(5, "c2.mp4")}));
    expectInstructions(same, {{0, 5, 1, std::nullopt}, {5, 5.35, 2, 3}, {5.35, 40, 3, std::nullopt}});
}

TEST(Timeline, EntryAfterTheEndGivesNoInstructionOfItsOwn) {
    const Timeline tl = Timeline::build(threeClips({at(0, "c0.mp4"), at(50, "c1.mp4")}));
    // The hold before it still ends at the entry's time; the video ends at 40 s.
    expectInstructions(tl, {{0, 50, 1, std::nullopt}});
    EXPECT_EQ(tl.instructionAt(secs(39.99))->from, 1);
    EXPECT_EQ(tl.frameCount(), 40 * 30);
}

TEST(Timeline, LengthIsTheEndOfTheLatestPieceAndFramesCoverIt) {
    TimelineInput in = threeClips({});
    in.videos[1].start = secs(2.5);                                           // ends at 42.5
    in.mic = PlacedAudio{"Mic.m4a", 9, secs(1), MediaTime{2'041'000, 48000}}; // ends at 43.5208 s
    in.fps = 60;
    const Timeline tl = Timeline::build(in);
    EXPECT_NEAR(tl.lengthSeconds(), 1 + 2041000 / 48000.0, 1e-9);
    EXPECT_EQ(tl.frameCount(), 2612); // 2611 / 60 = 43.5167 < 43.5208 <= 2612 / 60
    EXPECT_EQ(tl.instructions.back().end, tl.length);

    in.mic.reset();
    EXPECT_EQ(Timeline::build(in).frameCount(), 2550); // exactly 42.5 s: no frame at 42.5
}

TEST(Timeline, HighestFrameRateWins) {
    std::vector<SessionRecording> recs(3);
    recs[0].fps = 30;
    recs[1].fps = 60;
    recs[2].fps = 24;
    EXPECT_EQ(highestFps(recs), 60);
    EXPECT_EQ(highestFps({}), 30);
}

TEST(Timeline, DissolveProgressIsHalfWayInTheMiddle) {
    const Timeline tl = Timeline::build(threeClips({at(0, "c0.mp4"), at(10, "c1.mp4")}));
    const FocusInstruction* in = tl.instructionAt(secs(10.175));
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(in->to, 2);
    EXPECT_NEAR(Timeline::dissolveProgress(*in, secs(10.175)), 0.5, 1e-9);
    EXPECT_EQ(Timeline::dissolveProgress(*in, secs(9)), 0.0);
    EXPECT_EQ(tl.instructionAt(secs(10.35))->to, std::nullopt);
    EXPECT_EQ(tl.instructionAt(secs(41)), nullptr);
}

TEST(Timeline, AudioFollowsTheFocusWithRampsAtSwitches) {
    // Five segments at 0, 10, 20, 30, 40 (length 50); c0 is focused in segments 0 and 3.
    TimelineInput in = threeClips(
        {at(0, "c0.mp4"), at(10, "c1.mp4"), at(20, "c2.mp4"), at(30, "c0.mp4"), at(40, "c1.mp4")}, 50);
    for (int i = 0; i < 3; ++i)
        in.appAudio.push_back({in.videos[i].file, 10 + i, secs(0), secs(50)});
    in.documentHasMic = true;
    const Timeline tl = Timeline::build(in);
    ASSERT_EQ(tl.audioMix.size(), 3u);
    const VolumeAutomation& c0 = tl.audioMix[0];
    EXPECT_EQ(c0.file, "c0.mp4");
    const double v = 0.25;
    EXPECT_DOUBLE_EQ(c0.gainAt(secs(0)), v);
    EXPECT_DOUBLE_EQ(c0.gainAt(secs(9.9)), v);
    EXPECT_NEAR(c0.gainAt(secs(10.175)), v / 2, 1e-9); // fading out with the dissolve
    EXPECT_DOUBLE_EQ(c0.gainAt(secs(10.35)), 0);
    EXPECT_DOUBLE_EQ(c0.gainAt(secs(25)), 0);
    EXPECT_NEAR(c0.gainAt(secs(30.175)), v / 2, 1e-9); // fading in at segment 3
    EXPECT_DOUBLE_EQ(c0.gainAt(secs(35)), v);
    EXPECT_NEAR(c0.gainAt(secs(40.07)), v * 0.8, 1e-9); // fading out at segment 4
    EXPECT_DOUBLE_EQ(c0.gainAt(secs(45)), 0);

    // Without a microphone the focused clip plays at full volume.
    in.documentHasMic = false;
    EXPECT_DOUBLE_EQ(Timeline::build(in).audioMix[1].gainAt(secs(15)), 1.0);
}

TEST(Timeline, NeverFocusedClipIsSilentAndSelfDissolveKeepsItsLevel) {
    // c1 is focused twice in a row (the entry between them names an unknown file and is dropped).
    TimelineInput in = threeClips({at(0, "c1.mp4"), at(10, "x.mp4"), at(20, "c1.mp4")});
    for (int i = 0; i < 2; ++i)
        in.appAudio.push_back({in.videos[i].file, 10 + i, secs(0), secs(40)});
    const Timeline tl = Timeline::build(in);
    EXPECT_DOUBLE_EQ(tl.audioMix[0].gainAt(secs(5)), 0.0);
    for (double t : {5.0, 20.0, 20.1, 20.3, 25.0})
        EXPECT_DOUBLE_EQ(tl.audioMix[1].gainAt(secs(t)), 1.0) << t;
    // The picture dissolves into itself.
    expectInstructions(tl, {{0, 20, 2, std::nullopt}, {20, 20.35, 2, 2}, {20.35, 40, 2, std::nullopt}});
}

TEST(Timeline, ExactGrid) {
    // 1/600 s ticks: a focus time lands on the nearest tick; clip times keep their own base.
    EXPECT_EQ(MediaTime::fromSeconds(10.0004).value, 6000);
    EXPECT_EQ(MediaTime::fromSeconds(-0.00125).value, -1); // halves away from zero
    EXPECT_TRUE((MediaTime{512, 15360} + MediaTime{1, 600} == MediaTime{21, 600}));
    EXPECT_TRUE((MediaTime{1, 30} == MediaTime{20, 600}));
    EXPECT_TRUE((MediaTime{1, 30} < MediaTime{3001, 90000}));
}

} // namespace
} // namespace lc
