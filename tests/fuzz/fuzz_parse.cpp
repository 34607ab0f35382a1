// libFuzzer target: arbitrary text through jsParse (Part 3.1). Whatever it accepts must
// hold a valid file version and a product name of at most 59 bytes without "/".
#include <cstring>
#include <string>

#include "menuhold_access.h"
#include "sandbox_guard.h"
#include "version.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    require_sandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size)
{
    static Menuhold service;  // constructed only: jsParse needs no socket
    char prod[60];
    char version[25];
    std::memset(prod, 0x55, sizeof prod);
    std::memset(version, 0x55, sizeof version);
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (MenuholdTestAccess::jsParse(service, text, prod, version) == 0) {
        if (!memchr(prod, 0, sizeof prod) || !memchr(version, 0, sizeof version)) __builtin_trap();
        if (strchr(prod, '/') || !file_version_is_valid(version)) __builtin_trap();
    }
    return 0;
}
