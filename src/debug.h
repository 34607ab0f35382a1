// SPDX-License-Identifier: MIT
// Progress lines on standard output, printed only in debug mode: when bit 0 of the
// service's debug switch is set (-d). The switch is passed in, so that every line reads
// its current value.
#ifndef MENUHOLD_DEBUG_H
#define MENUHOLD_DEBUG_H

#include <cstdarg>
#include <cstdio>

inline bool debug_on(int debug) { return (debug & 1) != 0; }

// printf-style, the format as given.
__attribute__((format(printf, 2, 3))) inline void debugf(int debug, const char* fmt, ...)
{
    if (!debug_on(debug)) return;
    va_list args;
    va_start(args, fmt);
    vprintf(fmt, args);
    va_end(args);
}

// One line, as puts prints it.
inline void debug_line(int debug, const char* text)
{
    if (debug_on(debug)) puts(text);
}

#endif
