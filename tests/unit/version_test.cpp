// Part 3.1's table of file version forms and Part 3.2's order, on the pure functions.
#include <gtest/gtest.h>

#include <climits>

#include "version.h"

struct FormCase {
    const char* version;
    bool valid;
};

class FileVersionForm : public ::testing::TestWithParam<FormCase> {};

TEST_P(FileVersionForm, MatchesPart31Table)
{
    EXPECT_EQ(file_version_is_valid(GetParam().version), GetParam().valid) << GetParam().version;
}

INSTANTIATE_TEST_SUITE_P(Part31, FileVersionForm,
                         ::testing::Values(FormCase{"v1.0.0.0", true}, FormCase{"v2.10.3.7", true},
                                           FormCase{"vv1.2.3.4", true}, FormCase{"v1..2.3.4", true},
                                           FormCase{"v1.2.3.4v9", true}, FormCase{"va.b.c.d", true},
                                           FormCase{"v01.00.00.000", true}, FormCase{"v1.2.3", false},
                                           FormCase{"v1.2.3.4.5", false}, FormCase{"V1.2.3.4", false},
                                           FormCase{"1.2.3.4", false}, FormCase{"v1.2v3.4", false},
                                           FormCase{"v....", false}, FormCase{"v", false}, FormCase{"", false},
                                           FormCase{".v1.2.3.4", false}, FormCase{"v.1.2.3.4.", true}));

TEST(VersionFields, CutAsStrtokCuts)
{
    EXPECT_EQ(version_fields("vv1..2.3.4v9"), (std::vector<std::string>{"1", "2", "3", "4"}));
    EXPECT_EQ(version_fields("v1.2v3.4"), (std::vector<std::string>{"1", "2"}));
    EXPECT_TRUE(version_fields("v").empty());
    EXPECT_TRUE(version_fields("").empty());
}

struct OrderCase {
    const char* held;
    const char* uploaded;
    int sign;  // sign of version_order: -1 uploaded newer (DO_REPLACE), otherwise DO_NOTHING
};

class VersionOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(VersionOrder, MatchesPart32Table)
{
    const int order = version_order(GetParam().held, GetParam().uploaded);
    EXPECT_EQ((order > 0) - (order < 0), GetParam().sign) << GetParam().held << " vs " << GetParam().uploaded;
}

INSTANTIATE_TEST_SUITE_P(Part32, VersionOrder,
                         ::testing::Values(OrderCase{"v1.0.0.0", "v1.0.0.0", 0}, OrderCase{"v1.0.0.0", "v1.0.0.1", -1},
                                           OrderCase{"v1.0.0.1", "v1.0.0.0", 1}, OrderCase{"v1.9.0.0", "v1.10.0.0", -1},
                                           OrderCase{"v2.0.0.0", "v1.99.99.99", 1},
                                           OrderCase{"v1.0.0.5", "v1.0.1.0", -1},
                                           OrderCase{"v1.0.0.0", "v01.00.00.00", 0},
                                           OrderCase{"v1.0.0.0", "v1..0.0.0", 0}, OrderCase{"v1.0.0.0", "vv1.0.0.1", -1},
                                           OrderCase{"v1.0.0.x", "v1.0.0.0", 0}, OrderCase{"v1.0.0.0", "v1.0.0.1rc", -1},
                                           OrderCase{"v1.0.0.0", "v1.0.0.-1", 1},
                                           OrderCase{"v1.0.0.0", "v1.0.0.0v2", 0},
                                           OrderCase{"v1.0.0.2147483647", "v1.0.0.99999999999", 0},
                                           OrderCase{"v1.0.0.-99999999999", "v1.0.0.-2147483648", 0}));

TEST(VersionOrder, VisitsEachPairUpToTheDecidingOneHeldFirst)
{
    std::vector<std::string> seen;
    auto visit = [&](const std::string* h, const std::string* u) {
        seen.push_back((h ? *h : "(null)") + "/" + (u ? *u : "(null)"));
    };
    version_order("v1.0.0.5", "v1.0.1.0", visit);
    EXPECT_EQ(seen, (std::vector<std::string>{"1/1", "0/0", "0/1"}));
    seen.clear();
    version_order("v1.0.0.0", "v1.0.0.0", visit);
    EXPECT_EQ(seen, (std::vector<std::string>{"1/1", "0/0", "0/0", "0/0", "(null)/(null)"}));
}

TEST(AtoiSaturated, ReadsAsAtoiWithinTheInt32Range)
{
    EXPECT_EQ(atoi_saturated("  12abc"), 12);
    EXPECT_EQ(atoi_saturated("\t-7"), -7);
    EXPECT_EQ(atoi_saturated("+5"), 5);
    EXPECT_EQ(atoi_saturated("x"), 0);
    EXPECT_EQ(atoi_saturated(""), 0);
    EXPECT_EQ(atoi_saturated("- 1"), 0);
    EXPECT_EQ(atoi_saturated("2147483647"), INT_MAX);
    EXPECT_EQ(atoi_saturated("2147483648"), INT_MAX);
    EXPECT_EQ(atoi_saturated("99999999999999999999999"), INT_MAX);
    EXPECT_EQ(atoi_saturated("-2147483648"), INT_MIN);
    EXPECT_EQ(atoi_saturated("-99999999999999999999999"), INT_MIN);
}
