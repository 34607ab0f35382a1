// SPDX-License-Identifier: MIT
#include "version.h"

#include <climits>
#include <cstdint>

namespace {

bool is_c_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// strtok_r's cut: runs of delimiters separate tokens and no token is empty.
std::vector<std::string> tokens(const std::string& text, char delimiter)
{
    std::vector<std::string> out;
    std::string current;
    for (const char c : text) {
        if (c == delimiter) {
            if (!current.empty()) out.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) out.push_back(current);
    return out;
}

}  // namespace

std::vector<std::string> version_fields(const char* version)
{
    const std::vector<std::string> pieces = tokens(version, 'v');
    if (pieces.empty()) return {};
    return tokens(pieces.front(), '.');
}

bool file_version_is_valid(const char* version)
{
    return version[0] == 'v' && version_fields(version).size() == 4;
}

int atoi_saturated(const std::string& field)
{
    size_t i = 0;
    while (i < field.size() && is_c_space(field[i])) ++i;
    bool negative = false;
    if (i < field.size() && (field[i] == '+' || field[i] == '-')) negative = field[i++] == '-';
    int64_t value = 0;
    for (; i < field.size() && field[i] >= '0' && field[i] <= '9'; ++i) {
        value = value * 10 + (field[i] - '0');
        if (value > int64_t{INT_MAX} + 1) break;  // saturated either way
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

int version_order(const char* held, const char* uploaded, const FieldPairVisitor& visit)
{
    const std::vector<std::string> held_fields = version_fields(held);
    const std::vector<std::string> uploaded_fields = version_fields(uploaded);
    for (size_t i = 0;; ++i) {
        const std::string* h = i < held_fields.size() ? &held_fields[i] : nullptr;
        const std::string* u = i < uploaded_fields.size() ? &uploaded_fields[i] : nullptr;
        if (visit) visit(h, u);
        if (!h && !u) return 0;
        const int hv = h ? atoi_saturated(*h) : 0;
        const int uv = u ? atoi_saturated(*u) : 0;
        if (hv != uv) return hv > uv ? 1 : -1;
    }
}
