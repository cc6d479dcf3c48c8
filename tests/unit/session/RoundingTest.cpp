#include "session/Rounding.h"

#include <charconv>
#include <cmath>
#include <gtest/gtest.h>
#include <random>
#include <string>

using lc::round3;

TEST(Round3, HalvesGoAwayFromZero) {
    EXPECT_EQ(round3(2.0625), 2.063);
    EXPECT_EQ(round3(-2.0625), -2.063);
    EXPECT_EQ(round3(0.0005), 0.001);
    // The double nearest 4.0005 lies just below it and 4.0005 * 1000 rounds to 4000.4999...;
    // the half is judged on the decimal the value reads as.
    EXPECT_EQ(round3(4.0005), 4.001);
    EXPECT_EQ(round3(2.4995), 2.5);
    EXPECT_EQ(round3(1.00049999), 1.0);
    EXPECT_EQ(round3(3.0004), 3.0);
    EXPECT_EQ(round3(12345.6785), 12345.679);
    EXPECT_FALSE(std::signbit(round3(-0.0004))) << "no negative zero";
    EXPECT_TRUE(std::isnan(round3(NAN)));
}

TEST(Round3, ResultsAreMillisecondDoublesWithinHalfAMillisecond) {
    for (int i = -20000; i <= 20000; ++i)
        ASSERT_EQ(round3(i / 1000.0), i / 1000.0) << i;
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> dist(-100000.0, 100000.0);
    for (int i = 0; i < 20000; ++i) {
        const double x = dist(rng), r = round3(x);
        ASSERT_LE(std::fabs(r - x), 0.0005 + 1e-9) << x;
        ASSERT_EQ(round3(-x), -r) << x;
        char buf[64]; // shortest form has at most three decimals
        const std::string s(buf, std::to_chars(buf, buf + sizeof buf, r, std::chars_format::fixed).ptr);
        ASSERT_LE(s.size() - std::min(s.size(), s.find('.')), 4u) << x << " -> " << s;
    }
}
