// SPDX-License-Identifier: MIT
// Text that came from users (paths, product names) as the system log gets it: in a record
// it must never start a new line or steer a terminal, and its bytes must still be
// recoverable from what is written.
#ifndef MENUHOLD_PRINTABLE_H
#define MENUHOLD_PRINTABLE_H

#include <cstdio>
#include <string>
#include <string_view>

namespace printable {

// The length of the valid UTF-8 sequence at text[i] (1 to 4), its code point in *code;
// 0 when the bytes there are not one (overlong, surrogate, beyond U+10FFFF, cut short).
inline size_t utf8_sequence(std::string_view text, size_t i, unsigned long* code)
{
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t n = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > text.size()) return 0;
    unsigned long c = n == 1 ? lead : lead & (0x7Fu >> n);
    for (size_t k = 1; k < n; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) return 0;
        c = (c << 6) | (next & 0x3F);
    }
    static const unsigned long kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kShortest[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    *code = c;
    return n;
}

// The text with every piece that is not a valid, printable UTF-8 sequence escaped: \\ for
// a backslash, \xHH for a C0 control character, DEL or a byte that is not UTF-8, \u00HH
// for a C1 control character.
inline std::string escaped(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    char escape[8];
    for (size_t i = 0; i < text.size();) {
        unsigned long c = 0;
        const size_t n = utf8_sequence(text, i, &c);
        const bool control = c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0);
        if (n != 0 && !control && c != '\\') {
            out.append(text, i, n);
            i += n;
            continue;
        }
        if (n == 1 && c == '\\')
            std::snprintf(escape, sizeof escape, "\\\\");
        else if (n <= 1)
            std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned>(static_cast<unsigned char>(text[i])));
        else
            std::snprintf(escape, sizeof escape, "\\u%04lX", c);
        out += escape;
        i += n ? n : 1;
    }
    return out;
}

}  // namespace printable

#endif
