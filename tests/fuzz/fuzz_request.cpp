// libFuzzer target: any datagram of 0 to 600 bytes decodes to the request that its first
// bytes spell, each field cut at its NUL or its width, whatever the length.
#include <cstring>
#include <string>

#include "protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size)
{
    if (size > 600) return 0;
    const operation m = protocol::decode(reinterpret_cast<const char*>(data), size);
    std::string bytes(reinterpret_cast<const char*>(data), size);
    bytes.resize(size < 220 ? 220 : size, '\0');
    const std::string command(bytes.c_str(), strnlen(bytes.c_str(), 19));
    const std::string option(bytes.c_str() + 20, strnlen(bytes.c_str() + 20, 199));
    operation expected{};
    std::memcpy(expected.command, command.data(), command.size());
    std::memcpy(expected.option, option.data(), option.size());
    if (std::memcmp(&m, &expected, sizeof m) != 0) __builtin_trap();
    return 0;
}
