// SPDX-License-Identifier: MIT
// The control message as it crosses the socket: decoded from a datagram of any length.
#include <gtest/gtest.h>

#include <string>

#include "protocol.h"

namespace {

std::string padded(const std::string& text, size_t width) { return text + std::string(width - text.size(), '\0'); }

std::string datagram(const std::string& command, const std::string& option, char rest = '\0')
{
    return padded(command, 20) + padded(option, 200) + std::string(280, rest);
}

}  // namespace

TEST(Protocol, MissingBytesReadAsZeroAndAFieldWithoutItsNulIsCut)
{
    const std::string full = datagram("write", "/tmp/up.json", 'z'), a600(600, 'a');
    const struct {
        std::string bytes, command, option;
    } cases[] = {{full, "write", "/tmp/up.json"}, {full.substr(0, 25), "write", "/tmp/"}, {"", "", ""},
                 {std::string("status\0junk", 11), "status", ""},  {a600.substr(0, 7), "aaaaaaa", ""},
                 {a600, std::string(19, 'a'), std::string(199, 'a')},
                 {datagram("x", std::string(200, 'o')), "x", std::string(199, 'o')}};
    for (const auto& c : cases) {
        const operation m = protocol::decode(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(std::string(m.command, 20), padded(c.command, 20)) << c.bytes.size();
        EXPECT_EQ(std::string(m.option, 200), padded(c.option, 200)) << c.bytes.size();
    }
}

TEST(Protocol, EncodingFillsTheFirst220BytesAndKeepsTheRest)
{
    std::string d(500, '\xaa');
    operation m;
    std::memset(&m, 'x', sizeof m);  // neither field has its NUL
    protocol::encode(m, &d[0]);
    EXPECT_EQ(d, datagram(std::string(19, 'x'), std::string(199, 'x'), '\xaa'));
}
