// libFuzzer target: the order of valid file versions is a total order, equal to the
// field-by-field order of the fields' numbers.
#include <string>
#include <vector>

#include "version.h"

namespace {

int sign(int v) { return (v > 0) - (v < 0); }

// The order written independently: the first field whose numbers differ decides.
int reference_order(const std::string& a, const std::string& b)
{
    const auto fa = version_fields(a.c_str()), fb = version_fields(b.c_str());
    for (size_t i = 0; i < 4; ++i) {
        const int x = atoi_saturated(fa[i]), y = atoi_saturated(fb[i]);
        if (x != y) return x > y ? 1 : -1;
    }
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size)
{
    std::vector<std::string> v(1);
    for (size_t i = 0; i < size && v.size() <= 3; ++i) {
        if (data[i] == '\n') v.emplace_back();
        else if (data[i] != 0) v.back() += static_cast<char>(data[i]);
    }
    v.resize(3);
    for (const auto& s : v)
        if (!file_version_is_valid(s.c_str())) return 0;
    const std::string &a = v[0], &b = v[1], &c = v[2];
    const int ab = sign(version_order(a.c_str(), b.c_str()));
    if (ab != reference_order(a, b)) __builtin_trap();
    if (ab != -sign(version_order(b.c_str(), a.c_str()))) __builtin_trap();
    if (version_order(a.c_str(), a.c_str()) != 0) __builtin_trap();
    const int bc = sign(version_order(b.c_str(), c.c_str()));
    const int ac = sign(version_order(a.c_str(), c.c_str()));
    if (ab == bc && ab != 0 && ac != ab) __builtin_trap();  // transitive
    if (ab == 0 && bc == 0 && ac != 0) __builtin_trap();
    return 0;
}
