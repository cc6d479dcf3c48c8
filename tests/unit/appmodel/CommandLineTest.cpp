#include "app/cli/CommandLine.h"

#include <cmath>
#include <gtest/gtest.h>

using namespace lc::cli;

TEST(CommandLine, OptionsAndTheirValues) {
    const QStringList args{"loomcast", "--sel", "a,,b", "--selftest-multi",
                           "--dur",    "--sel", "x",    "--snapshot"};
    EXPECT_TRUE(has(args, "--selftest-multi"));
    EXPECT_FALSE(has(args, "--selftest")) << "whole arguments only";
    EXPECT_FALSE(has({"--selftest"}, "--selftest")) << "the program name is no option";
    EXPECT_EQ(value(args, "--sel"), "a,,b") << "the first occurrence counts";
    EXPECT_EQ(value(args, "--dur"), "--sel") << "the next argument, whatever it is";
    EXPECT_FALSE(value(args, "--snapshot")) << "last argument: no value";
    EXPECT_FALSE(value(args, "--preset"));
    EXPECT_EQ(fragments("a,,b"), (QStringList{"a", "", "b"}));
}

TEST(CommandLine, NumbersOfTheSelfTests) {
    EXPECT_EQ(indexList("2,,x,0"), (std::vector<int>{2, 0}));
    EXPECT_EQ(indexList("+1,-2, 3,4x"), (std::vector<int>{1, -2}));
    EXPECT_EQ(presetIndex(std::nullopt), 1);
    EXPECT_EQ(presetIndex(QString("abc")), 1);
    EXPECT_EQ(presetIndex(QString("")), 1);
    EXPECT_EQ(presetIndex(QString("+3")), 3);
    EXPECT_EQ(duration(std::nullopt), 30.0);
    EXPECT_EQ(duration(QString("ten")), 30.0);
    EXPECT_EQ(duration(QString("12.5")), 12.5);
    EXPECT_FALSE(duration(QString("inf")));
    EXPECT_FALSE(duration(QString("nan")));
}
