#include "session/FocusTracker.h"

#include <gtest/gtest.h>

using namespace lc;

namespace {

struct Sampler {
    FocusTracker tracker;
    // Polls every 0.25 s from `from` up to (excluding) `to` with a fixed candidate.
    void run(double from, double to, std::optional<QUuid> c) {
        for (double t = from; t < to - 1e-9; t += 0.25)
            tracker.poll(t, c);
    }
};

} // namespace

TEST(Focus, FirstCandidateStartsAtZeroAndStaysAlone) {
    Sampler s;
    const QUuid a = QUuid::createUuid();
    s.run(3.0, 30.0, a);
    ASSERT_EQ(s.tracker.log().size(), 1u);
    EXPECT_EQ(s.tracker.log()[0], (FocusLogEntry{0, a}));
}

TEST(Focus, SwitchIsDatedToThePendingStart) {
    Sampler s;
    const QUuid a = QUuid::createUuid(), b = QUuid::createUuid();
    s.run(0, 10.1, a);
    s.run(10.25, 11.0, b); // pending since 10.25, not yet 0.7 s
    EXPECT_EQ(s.tracker.log().size(), 1u);
    EXPECT_EQ(s.tracker.pending(), (PendingFocus{b, 10.25}));
    auto committed = s.tracker.poll(11.0, b);
    ASSERT_TRUE(committed);
    EXPECT_EQ(*committed, (FocusLogEntry{10.25, b}));
    EXPECT_EQ(s.tracker.current(), b);
    EXPECT_FALSE(s.tracker.pending());
}

TEST(Focus, ShortVisitsAndUnrecordedAppsLeaveNoTrace) {
    Sampler s;
    const QUuid a = QUuid::createUuid(), b = QUuid::createUuid(), c = QUuid::createUuid();
    s.run(0, 5, a);
    s.run(5, 5.5, b); // A -> B -> A within 0.5 s
    s.run(5.5, 8, a);
    EXPECT_EQ(s.tracker.log().size(), 1u);
    s.run(8, 70, std::nullopt); // an application that is not recorded, for a minute
    EXPECT_EQ(s.tracker.current(), a);
    EXPECT_EQ(s.tracker.log().size(), 1u);
    // A -> B (0.4 s) -> C: C's delay starts when C is first seen.
    s.run(70, 70.4, b);
    s.run(70.5, 71.5, c);
    ASSERT_EQ(s.tracker.log().size(), 2u);
    EXPECT_EQ(s.tracker.log()[1], (FocusLogEntry{70.5, c}));
}

TEST(Focus, ActivationsReportedLateStillCountByTheirOwnTimes) {
    // The main loop stood still: no sample between B's activation and C's. B held 2 s by the
    // activations' own times, so it counts; C, left after 0.2 s, does not.
    FocusTracker t;
    const QUuid a = QUuid::createUuid(), b = QUuid::createUuid(), c = QUuid::createUuid();
    EXPECT_TRUE(t.changed(0, a));
    EXPECT_FALSE(t.changed(1.0, b));
    EXPECT_TRUE(t.changed(3.0, c));
    EXPECT_FALSE(t.changed(3.2, a));
    ASSERT_EQ(t.log().size(), 2u);
    EXPECT_EQ(t.log()[1], (FocusLogEntry{1.0, b}));
    EXPECT_EQ(t.pending(), (PendingFocus{a, 3.2}));
    // An activation of a window that is not recorded ends a held candidate the same way.
    EXPECT_TRUE(t.changed(4.5, std::nullopt));
    EXPECT_EQ(t.log().back(), (FocusLogEntry{3.2, a}));
}

TEST(Focus, CommitNeverGoesBackInTime) {
    FocusTracker t;
    const QUuid a = QUuid::createUuid(), b = QUuid::createUuid();
    EXPECT_EQ(t.commit(a, 4.2).t, 0) << "the first change is at 0";
    t.commit(b, 3.0);
    t.commit(a, 2.0);
    EXPECT_EQ(t.log()[1].t, 3.0);
    EXPECT_EQ(t.log()[2].t, 3.0);
}

TEST(Focus, CandidateByFrontmostProcessAndStacking) {
    const QUuid a = QUuid::createUuid(), b = QUuid::createUuid(), c = QUuid::createUuid();
    const std::vector<RecordedWindow> rec{{a, 10, 100u}, {b, 10, 200u}, {c, 20, 300u}};
    int asked = 0;
    auto order = [&](std::vector<std::uint32_t> ids) {
        return [&asked, ids] {
            ++asked;
            return ids;
        };
    };
    EXPECT_FALSE(chooseFocusCandidate(std::nullopt, rec, order({})));
    EXPECT_FALSE(chooseFocusCandidate(30, rec, order({})));
    EXPECT_EQ(chooseFocusCandidate(20, rec, order({})), c);
    EXPECT_EQ(asked, 0) << "one candidate needs no window list";
    EXPECT_EQ(chooseFocusCandidate(10, rec, order({999, 200, 100})), b);
    EXPECT_EQ(chooseFocusCandidate(10, rec, order({300, 100, 200})), a);
    EXPECT_EQ(chooseFocusCandidate(10, rec, order({300})), a) << "all off screen: the first";
}
