// SPDX-License-Identifier: MIT
// Text users chose, as logged or shown: printable UTF-8 as it stands, everything else escaped.
#include <gtest/gtest.h>

#include "printable.h"

TEST(Printable, OrdinaryTextStaysEverythingElseIsEscaped)
{
    const std::pair<std::string, std::string> cases[] = {
        {"/tmp/up.json", "/tmp/up.json"}, {"名前 é \xF0\x9F\x9A\x80", "名前 é \xF0\x9F\x9A\x80"},
        {"a\nb\tc\x1b", "a\\x0Ab\\x09c\\x1B"}, {"\x7f", "\\x7F"}, {"back\\slash", "back\\\\slash"},
        {"\xc2\x85", "\\u0085"}, {"\xff\xfe", "\\xFF\\xFE"}, {"\xc0\xaf", "\\xC0\\xAF"},  // overlong
        {"\xed\xa0\x80", "\\xED\\xA0\\x80"}, {"\xf4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},  // surrogate, > U+10FFFF
        {"cut \xe5\x90", "cut \\xE5\\x90"}, {std::string("nul\0", 4), "nul\\x00"}};
    for (const auto& c : cases) EXPECT_EQ(printable::escaped(c.first), c.second) << c.first;
}
