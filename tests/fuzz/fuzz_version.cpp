// SPDX-License-Identifier: MIT
// libFuzzer target: two valid file versions (separated by a newline) compare as an
// independently written order says: the first field whose numbers differ decides. Being
// lexicographic, that order is total, antisymmetric and transitive.
#include <string>

#include "version.h"

namespace {

int reference_order(const std::string& a, const std::string& b)
{
    const auto fa = version_fields(a.c_str()), fb = version_fields(b.c_str());
    for (size_t i = 0; i < 4; ++i) {
        const int x = atoi_saturated(fa[i]), y = atoi_saturated(fb[i]);
        if (x != y) return x > y ? 1 : -1;
    }
    return 0;
}

int sign(int v) { return (v > 0) - (v < 0); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size), rest = text.substr(text.find('\n') + 1);
    const std::string a = text.substr(0, text.find('\n')), b = rest.substr(0, rest.find('\n'));
    if (!file_version_is_valid(a.c_str()) || !file_version_is_valid(b.c_str())) return 0;
    if (sign(version_order(a.c_str(), b.c_str())) != reference_order(a, b)) __builtin_trap();
    if (sign(version_order(b.c_str(), a.c_str())) != reference_order(b, a)) __builtin_trap();
    return 0;
}
