// SPDX-License-Identifier: MIT
/* The glibc symbols that Debian's prebuilt C++ runtime for powerpc (libstdc++.a and
 * libgcc_eh.a, built against glibc) refers to and musl does not define. Linked into every
 * C++ program of the static musl build (cmake/powerpc-linux-musl.cmake); unused ones are
 * dropped by --gc-sections. Each one answers the way that is always correct in a static
 * program, never the way that is merely fastest. */
#include <stddef.h>
#include <stdint.h>
#include <sys/random.h>

/* glibc keeps this non-zero while the process has one thread, and the C++ runtime then
 * counts references without atomic instructions. musl would never update it when a
 * thread starts, so it stays 0: the atomic path, correct with any number of threads. */
char __libc_single_threaded = 0;

/* std::random_device's default source: the kernel's random pool. */
uint32_t arc4random(void)
{
    uint32_t value;
    unsigned char* next = (unsigned char*)&value;
    size_t left = sizeof value;
    while (left > 0) {
        ssize_t got = getrandom(next, left, 0);
        if (got > 0) {
            next += got;
            left -= (size_t)got;
        }
    }
    return value;
}

/* libgcc's unwinder first looks in the unwind tables that crtbeginT.o registers at start
 * (all of a static program's code) and asks the dynamic loader about a pc only when they
 * do not cover it. A static program has no loader and no other code: "not found". */
struct dl_find_object;
int _dl_find_object(void* pc, struct dl_find_object* result);
int _dl_find_object(void* pc, struct dl_find_object* result)
{
    (void)pc;
    (void)result;
    return -1;
}
