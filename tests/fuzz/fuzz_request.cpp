// SPDX-License-Identifier: MIT
// libFuzzer target: a datagram of any bytes and length as the service decodes it, and the numbers it reads from
// the option. Each field is the received bytes up to the first NUL, cut at its width and zero-filled after; a
// number is what strtol reads, saturated at the 32-bit range.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "protocol.h"
#include "version.h"

namespace {

bool is_field(const char* field, size_t width, const std::string& received, size_t at)
{
    const std::string text = received.substr(std::min(at, received.size()), width - 1);
    const size_t length = strnlen(text.c_str(), text.size());
    return std::memcmp(field, text.data(), length) == 0 && std::string(field + length, width - length) ==
           std::string(width - length, '\0');
}

int reference_number(const char* text)
{
    const long long n = strtoll(text, nullptr, 10);
    return n > INT_MAX ? INT_MAX : n < INT_MIN ? INT_MIN : static_cast<int>(n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size)
{
    const std::string received(reinterpret_cast<const char*>(data), size);
    const operation request = protocol::decode(received.data(), size);
    if (!is_field(request.command, sizeof request.command, received, 0)) __builtin_trap();
    if (!is_field(request.option, sizeof request.option, received, sizeof request.command)) __builtin_trap();
    if (atoi_saturated(request.option) != reference_number(request.option)) __builtin_trap();
    char datagram[protocol::kDatagramSize];
    protocol::encode(request, datagram);
    const operation again = protocol::decode(datagram, sizeof datagram);
    if (std::memcmp(&again, &request, sizeof request) != 0) __builtin_trap();
    return 0;
}
