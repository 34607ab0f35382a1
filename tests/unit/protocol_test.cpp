// Part 2.1: copy_data, the one copy of every control message.
#include "support.h"

TEST(CopyData, ClearsAndCopiesBothFields)
{
    operation src, dest;
    std::memset(&src, 0, sizeof src);
    std::memset(&dest, 'x', sizeof dest);
    std::strcpy(src.command, "write");
    std::strcpy(src.option, "/tmp/up.json");
    src.command[10] = 'j';  // bytes after the NUL are not copied
    copy_data(&dest, &src);
    EXPECT_STREQ(dest.command, "write");
    EXPECT_STREQ(dest.option, "/tmp/up.json");
    for (size_t i = 5; i < sizeof dest.command; ++i) EXPECT_EQ(dest.command[i], 0);
    for (size_t i = 12; i < sizeof dest.option; ++i) EXPECT_EQ(dest.option[i], 0);
}

TEST(CopyData, FieldsWithoutANulAreCutAtTheirWidth)
{
    operation src, dest;
    std::memset(&src, 'a', sizeof src);
    copy_data(&dest, &src);
    EXPECT_EQ(std::string(dest.command), std::string(19, 'a'));
    EXPECT_EQ(std::string(dest.option), std::string(199, 'a'));
}
