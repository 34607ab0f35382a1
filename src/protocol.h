// SPDX-License-Identifier: MIT
// The control protocol, shared by menuhold and its clients: one control message at the
// start of a 500-byte datagram in each direction, and the files a client may read.
#ifndef MENUHOLD_PROTOCOL_H
#define MENUHOLD_PROTOCOL_H

#include <cstddef>
#include <cstring>

namespace protocol {

constexpr const char* kSocketPath = "/tmp/.cjsonsock";
constexpr const char* kHistoryPath = "/tmp/json_history.json";

constexpr size_t kDatagramSize = 500;
constexpr size_t kCommandWidth = 20;  // 19 characters and the NUL
constexpr size_t kOptionWidth = 200;  // 199 characters and the NUL

constexpr const char* kWrite = "write";
constexpr const char* kDelete = "delete";
constexpr const char* kStatus = "status";
constexpr const char* kRefresh = "refresh";

// A "write" path must fit a 100-byte buffer; a longer one is refused, never cut.
constexpr size_t kLongestWritePath = 99;

}  // namespace protocol

// The control message: the command word and its option, both NUL-terminated.
struct operation {
    char command[protocol::kCommandWidth];
    char option[protocol::kOptionWidth];
};
static_assert(sizeof(operation) == 220, "the control message is 220 bytes");

// Clears dest and copies both NUL-terminated fields of src into it, cut at their width.
inline void copy_data(operation* dest, operation* src)
{
    const size_t command_length = strnlen(src->command, sizeof src->command - 1);
    const size_t option_length = strnlen(src->option, sizeof src->option - 1);
    operation copy{};
    std::memcpy(copy.command, src->command, command_length);
    std::memcpy(copy.option, src->option, option_length);
    *dest = copy;
}

namespace protocol {

// The request that a received datagram of `length` bytes carries: missing bytes read as
// zero, and a field without its NUL is cut at its width.
inline operation decode(const char* datagram, size_t length)
{
    operation raw{};
    std::memcpy(&raw, datagram, length < sizeof raw ? length : sizeof raw);
    operation request;
    copy_data(&request, &raw);
    return request;
}

// Puts a control message into the first 220 bytes of a 500-byte datagram; the rest of
// the datagram is left as it is.
inline void encode(const operation& message, char* datagram)
{
    operation copy = message;
    copy_data(reinterpret_cast<operation*>(datagram), &copy);
}

}  // namespace protocol

#endif
