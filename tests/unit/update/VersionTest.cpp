#include "app/update/Version.h"

#include <QString>
#include <gtest/gtest.h>

using lc::update::compareVersions;

namespace {

int cmp(const char* a, const char* b) {
    return compareVersions(QString::fromLatin1(a), QString::fromLatin1(b));
}

} // namespace

TEST(VersionTest, OrdersNumbersNumerically) {
    EXPECT_GT(cmp("1.10", "1.9"), 0);
    EXPECT_LT(cmp("1.9", "1.10"), 0);
    EXPECT_GT(cmp("2", "1.99.99"), 0);
    EXPECT_GT(cmp("1.2.1", "1.2"), 0);
    EXPECT_EQ(cmp("1.01", "1.1"), 0);
    EXPECT_EQ(cmp("1.0", "1.0.0"), 0);
    EXPECT_EQ(cmp("1.2", "1.2"), 0);
    // Longer than any integer type: still ordered by value.
    EXPECT_GT(cmp("1.123456789012345678901234567890", "1.99999999999999999999"), 0);
}

TEST(VersionTest, PreReleasesComeBeforeTheRelease) {
    EXPECT_LT(cmp("1.2-beta1", "1.2"), 0);
    EXPECT_GT(cmp("1.2", "1.2-beta1"), 0);
    EXPECT_LT(cmp("1.2-beta1", "1.2-beta2"), 0);
    EXPECT_LT(cmp("1.2-beta9", "1.2-beta10"), 0);
    EXPECT_LT(cmp("1.2-alpha3", "1.2-beta1"), 0);
    EXPECT_LT(cmp("1.2-beta2", "1.2-rc1"), 0);
    EXPECT_LT(cmp("1.2-RC1", "1.2"), 0);
    EXPECT_EQ(cmp("1.2-Beta1", "1.2beta1"), 0);
    EXPECT_GT(cmp("1.2-beta1", "1.1"), 0);
    EXPECT_GT(cmp("1.2.1", "1.2b"), 0);
    EXPECT_LT(cmp("1.0.0-beta", "1.0"), 0);
}

TEST(VersionTest, IsAConsistentOrder) {
    const char* ordered[] = {"",         "0.9", "1.0a1", "1.0b", "1.0", "1.0.1",
                             "1.1-beta", "1.1", "1.9",   "1.10", "10"};
    const int n = static_cast<int>(std::size(ordered));
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            const int c = cmp(ordered[i], ordered[j]);
            EXPECT_EQ(c < 0, i < j) << ordered[i] << " vs " << ordered[j];
            EXPECT_EQ(c == 0, i == j) << ordered[i] << " vs " << ordered[j];
        }
}
