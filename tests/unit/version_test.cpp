// SPDX-License-Identifier: MIT
// The file version: which texts are versions, and which of two versions is newer.
#include <gtest/gtest.h>

#include <climits>

#include "version.h"

TEST(FileVersion, IsALowerCaseVThenFourFieldsAsStrtokCutsThem)
{
    for (const char* valid : {"v1.0.0.0", "v2.10.3.7", "vv1.2.3.4", "v1..2.3.4", "v1.2.3.4v9", "va.b.c.d",
                              "v.1.2.3.4.", "v01.00.00.000"})
        EXPECT_TRUE(file_version_is_valid(valid)) << valid;
    for (const char* invalid : {"v1.2.3", "v1.2.3.4.5", "V1.2.3.4", "1.2.3.4", "v1.2v3.4", "v....", "v", "",
                                ".v1.2.3.4", "x1.2.3.4"})
        EXPECT_FALSE(file_version_is_valid(invalid)) << invalid;
}

TEST(FileVersion, FirstDifferingFieldAsAtoiReadsItDecides)
{
    struct Case {
        const char *held, *uploaded;
        int sign;  // negative: the upload is newer
    };
    for (const Case& c : {Case{"v1.0.0.0", "v1.0.0.0", 0}, {"v1.0.0.0", "v1.0.0.1", -1}, {"v1.0.0.1", "v1.0.0.0", 1},
                          {"v1.9.0.0", "v1.10.0.0", -1}, {"v2.0.0.0", "v1.99.99.99", 1}, {"v1.0.0.5", "v1.0.1.0", -1},
                          {"v1.0.0.0", "v01.00.00.00", 0}, {"v1.0.0.0", "v1..0.0.0", 0}, {"v1.0.0.0", "vv1.0.0.1", -1},
                          {"v1.0.0.x", "v1.0.0.0", 0}, {"v1.0.0.0", "v1.0.0.1rc", -1}, {"v1.0.0.0", "v1.0.0.-1", 1},
                          {"v1.0.0.0", "v1.0.0.0v2", 0}, {"v1.0.0.2147483647", "v1.0.0.99999999999", 0},
                          {"v1.0.0.-99999999999", "v1.0.0.-2147483648", 0}, {"v1.0.0. +7", "v1.0.0.7", 0}}) {
        const int order = version_order(c.held, c.uploaded);
        EXPECT_EQ((order > 0) - (order < 0), c.sign) << c.held << " vs " << c.uploaded;
    }
}

TEST(Numbers, ReadAsAtoiSaturatedAtTheInt32Range)
{
    const std::pair<const char*, int> cases[] = {
        {"  12abc", 12}, {"\n\v\f\r\t-7", -7}, {"\x01" "7", 0}, {"+5", 5}, {"x", 0}, {"", 0}, {"- 1", 0},
        {"2147483647", INT_MAX}, {"2147483648", INT_MAX}, {"99999999999999999999999", INT_MAX},
        {"-2147483648", INT_MIN}, {"-99999999999999999999999", INT_MIN}, {"18446744073709551617", INT_MAX},
        {"-18446744073709551617", INT_MIN}};  // 2^64 + 1 must not wrap to 1
    for (const auto& c : cases) EXPECT_EQ(atoi_saturated(c.first), c.second) << c.first;
}
