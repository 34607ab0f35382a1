// SPDX-License-Identifier: MIT
/* C++ sources of the musl build read this before musl's own <features.h>. Debian's
 * libstdc++ headers were configured for glibc and use some of its names that musl lacks:
 * they test the glibc version with __GLIBC_PREREQ ("no glibc of any version" is the truth
 * here), call the locale handle __locale_t (glibc's name for the very type that musl calls
 * locale_t: a pointer to struct __locale_struct in both), and build the ctype facet's
 * masks from glibc's character class bits. */
#include_next <features.h>
#ifndef MENUHOLD_MUSL_CXX_FEATURES_H
#define MENUHOLD_MUSL_CXX_FEATURES_H
#ifndef __GLIBC_PREREQ
#define __GLIBC_PREREQ(major, minor) 0
#endif
typedef struct __locale_struct* __locale_t;
/* The bits as glibc defines them on a big-endian processor. */
enum {
    _ISupper = 1 << 0, _ISlower = 1 << 1, _ISalpha = 1 << 2, _ISdigit = 1 << 3,
    _ISxdigit = 1 << 4, _ISspace = 1 << 5, _ISprint = 1 << 6, _ISgraph = 1 << 7,
    _ISblank = 1 << 8, _IScntrl = 1 << 9, _ISpunct = 1 << 10, _ISalnum = 1 << 11
};
#endif
