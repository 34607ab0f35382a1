// SPDX-License-Identifier: MIT
// Bounded copies into fixed-size character arrays.
#ifndef MENUHOLD_BOUNDED_H
#define MENUHOLD_BOUNDED_H

#include <cstddef>
#include <cstring>

// Copies the NUL-terminated src into dest of the given width, cut to fit, always terminated.
inline void copy_bounded(char* dest, size_t width, const char* src)
{
    const size_t len = strnlen(src, width - 1);
    std::memcpy(dest, src, len);
    dest[len] = '\0';
}

#endif
