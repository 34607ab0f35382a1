// SPDX-License-Identifier: MIT
// The fault sweep's LD_PRELOAD library. MENUHOLD_FAULT="CALL N ERRNO" makes the Nth call of the family CALL that
// menuhold makes from main() on fail with ERRNO; ERRNO 0 makes that read or write a short one (half the bytes).
// It appends "CALL N ERRNO OBJECT+OFFSET" and the call's stack (for addr2line) to MENUHOLD_FAULT_LOG. Families:
// open (open, openat), read, write (write, writev), fsync, renameat, unlinkat, fchmod, socket, send (sendto,
// sendmsg), recv (recvmsg, recvfrom), stat (fstat, fstatat, lstat), malloc (malloc, calloc, realloc, mmap).
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

static char target[16];
static long target_n, calls;
static int target_errno, armed, hit;

static int strikes(const char* family, const void* caller)
{
    if (!armed || strcmp(family, target) != 0 || ++calls != target_n) return 0;
    Dl_info at = {0};
    dladdr(caller, &at);
    const char* log = getenv("MENUHOLD_FAULT_LOG");
    const int fd = log ? open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : -1;  // counted no more
    if (fd >= 0) {
        dprintf(fd, "%s %ld %d %s+%#lx\n", family, calls, target_errno, at.dli_fname ? at.dli_fname : "?",
                (unsigned long)((const char*)caller - (const char*)at.dli_fbase));
        void* frames[24];
        backtrace_symbols_fd(frames, backtrace(frames, 24), fd);
        close(fd);
    }
    errno = target_errno;
    return 1;
}

#define REAL(name) static __typeof__(name)* real; if (!real) real = (__typeof__(name)*)dlsym(RTLD_NEXT, #name)
#define FAIL(family, value) if ((hit = strikes(family, __builtin_return_address(0))) && target_errno) return value
#define CALL(family, type, name, params, ...) \
    type name params                          \
    {                                         \
        REAL(name);                           \
        FAIL(family, (type)-1); /* mmap: MAP_FAILED */ \
        return real(__VA_ARGS__);             \
    }

static int (*program_main)(int, char**, char**);

static int armed_main(int argc, char** argv, char** envp)
{
    void* frame;
    backtrace(&frame, 1);  // loads the unwinder now, not inside a failing call
    const char* fault = getenv("MENUHOLD_FAULT");
    const char* program = strrchr(argv[0], '/');  // the service, not the launchers that run it
    armed = fault && strcmp(program ? program + 1 : argv[0], "menuhold") == 0 &&
            sscanf(fault, "%15s %ld %d", target, &target_n, &target_errno) == 3;
    return program_main(argc, argv, envp);
}

int __libc_start_main(int (*main)(int, char**, char**), int argc, char** argv, void (*init)(void),
                      void (*fini)(void), void (*rtld_fini)(void), void* stack_end)
{
    REAL(__libc_start_main);
    program_main = main;
    return real(armed_main, argc, argv, init, fini, rtld_fini, stack_end);
}

#define MODE(flags)  \
    va_list ap;      \
    va_start(ap, flags); \
    const mode_t mode = flags & (O_CREAT | __O_TMPFILE) ? va_arg(ap, mode_t) : 0; \
    va_end(ap)
int open(const char* path, int flags, ...)
{
    MODE(flags);
    REAL(open);
    FAIL("open", -1);
    return real(path, flags, mode);
}
int openat(int dir, const char* path, int flags, ...)
{
    MODE(flags);
    REAL(openat);
    FAIL("open", -1);
    return real(dir, path, flags, mode);
}
CALL("read", ssize_t, read, (int fd, void* buf, size_t n), fd, buf, hit ? (n + 1) / 2 : n)
CALL("write", ssize_t, write, (int fd, const void* buf, size_t n), fd, buf, hit ? (n + 1) / 2 : n)
ssize_t writev(int fd, const struct iovec* iov, int count)
{
    REAL(writev);
    FAIL("write", -1);
    const struct iovec half = {iov->iov_base, (iov->iov_len + 1) / 2};  // of the first part
    return hit ? real(fd, &half, 1) : real(fd, iov, count);
}
CALL("fsync", int, fsync, (int fd), fd)
CALL("renameat", int, renameat, (int from_dir, const char* from, int to_dir, const char* to), from_dir, from, to_dir,
     to)
CALL("unlinkat", int, unlinkat, (int dir, const char* path, int flags), dir, path, flags)
CALL("fchmod", int, fchmod, (int fd, mode_t mode), fd, mode)
CALL("socket", int, socket, (int domain, int type, int protocol), domain, type, protocol)
CALL("send", ssize_t, sendto, (int fd, const void* buf, size_t n, int flags, const struct sockaddr* to,
     socklen_t length), fd, buf, n, flags, to, length)
CALL("send", ssize_t, sendmsg, (int fd, const struct msghdr* msg, int flags), fd, msg, flags)
CALL("recv", ssize_t, recvmsg, (int fd, struct msghdr* msg, int flags), fd, msg, flags)
CALL("recv", ssize_t, recvfrom, (int fd, void* buf, size_t n, int flags, struct sockaddr* from, socklen_t* length), fd,
     buf, n, flags, from, length)
CALL("stat", int, fstat, (int fd, struct stat* st), fd, st)
CALL("stat", int, fstatat, (int dir, const char* path, struct stat* st, int flags), dir, path, st, flags)
CALL("stat", int, lstat, (const char* path, struct stat* st), path, st)

// glibc's own allocator entry points need no lookup, which could itself allocate.
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* malloc(size_t n) { FAIL("malloc", 0); return __libc_malloc(n); }
void* calloc(size_t count, size_t n) { FAIL("malloc", 0); return __libc_calloc(count, n); }
void* realloc(void* p, size_t n) { FAIL("malloc", 0); return __libc_realloc(p, n); }
CALL("malloc", void*, mmap, (void* at, size_t n, int prot, int flags, int fd, off_t offset), at, n, prot, flags, fd,
     offset)
