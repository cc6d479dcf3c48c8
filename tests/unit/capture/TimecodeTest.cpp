#include "capture/Timecode.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>

namespace Timecode = lc::Timecode;
using namespace std::chrono;

namespace {

void useZone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
}

// Local wall-clock time on 2026-03-01 plus a sub-second part, in the current zone.
Timecode::Instant local(int h, int m, int s, nanoseconds sub = {}) {
    std::tm tm{
        .tm_sec = s, .tm_min = m, .tm_hour = h, .tm_mday = 1, .tm_mon = 2, .tm_year = 126, .tm_isdst = -1};
    return time_point_cast<system_clock::duration>(system_clock::from_time_t(std::mktime(&tm)) + sub);
}

} // namespace

TEST(Timecode, FrameCountTextAndMidnight) {
    useZone("XST-2");
    const auto example = local(14, 3, 7, milliseconds(500));
    EXPECT_EQ(Timecode::frameNumber(example, 30), 1'517'625u);
    EXPECT_EQ(Timecode::string(example, 30), "14:03:07:15");
    EXPECT_EQ(Timecode::string(local(12, 0, 0, milliseconds(500)), 60), "12:00:00:30");
    EXPECT_EQ(Timecode::string(local(0, 0, 0, nanoseconds(33'333'334)), 30), "00:00:00:01");
    EXPECT_EQ(Timecode::string(local(0, 0, 0, nanoseconds(33'333'333)), 30), "00:00:00:00");

    // The frames field never reaches fps.
    const auto last = local(23, 59, 59, milliseconds(999));
    EXPECT_EQ(Timecode::string(last, 30), "23:59:59:29");
    EXPECT_EQ(Timecode::frameNumber(last, 30), 30u * 86'399u + 29u);
    EXPECT_EQ(Timecode::string(local(23, 59, 59, nanoseconds(999'999'999)), 60), "23:59:59:59");
    EXPECT_EQ(Timecode::string(local(10, 0, 0, nanoseconds(999'999'999)), 1), "10:00:00:00");

    EXPECT_EQ(Timecode::frameNumber(local(0, 0, 0), 30), 0u);
    EXPECT_EQ(Timecode::string(last + milliseconds(1), 30), "00:00:00:00");

    // Rates outside the callers' range neither overflow the text nor divide by zero.
    EXPECT_EQ(Timecode::string(local(23, 0, 0, milliseconds(250)), 100'000), "23:00:00:25000");
    EXPECT_EQ(Timecode::string(local(23, 0, 0, milliseconds(250)), 0), "23:00:00:00");
}

TEST(Timecode, UsesTheLocalTimeZone) {
    const Timecode::Instant utcMidnight = sys_days{year{2026} / 3 / 1};
    useZone("UTC0");
    EXPECT_EQ(Timecode::string(utcMidnight, 30), "00:00:00:00");
    useZone("XST-5"); // five hours east of UTC
    EXPECT_EQ(Timecode::string(utcMidnight, 30), "05:00:00:00");
    useZone("XST+3:30");
    const auto ms = duration_cast<milliseconds>(utcMidnight.time_since_epoch()).count() + 100;
    EXPECT_EQ(Timecode::string(QDateTime::fromMSecsSinceEpoch(ms), 30), "20:30:00:03");
}

TEST(TimeTexts, FormatTimeAndOffsetSuffix) {
    EXPECT_EQ(lc::formatTime(0), "00:00");
    EXPECT_EQ(lc::formatTime(59.9), "00:59");
    EXPECT_EQ(lc::formatTime(3600), "60:00");
    EXPECT_EQ(lc::formatTime(4500.99), "75:00");
    EXPECT_EQ(lc::formatTime(NAN), "00:00");

    EXPECT_EQ(lc::offsetSuffix(90), "(+1m30s)");
    EXPECT_EQ(lc::offsetSuffix(0.4), "(+0m00s)");
    EXPECT_EQ(lc::offsetSuffix(65.4), "(+1m05s)");
    EXPECT_EQ(lc::offsetSuffix(2.49), "(+0m02s)");
    EXPECT_EQ(lc::offsetSuffix(59.5), "(+1m00s)");
    EXPECT_EQ(lc::offsetSuffix(3725), "(+62m05s)");
}
