// The fuzz targets write Menuhold's fixed paths: they run only inside tests/sandbox.
#ifndef MENUHOLD_SANDBOX_GUARD_H
#define MENUHOLD_SANDBOX_GUARD_H

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/magic.h>
#include <sys/vfs.h>

inline void require_sandbox()
{
    struct statfs fs;
    const char* sandbox = std::getenv("MENUHOLD_SANDBOX");
    if (!sandbox || std::strcmp(sandbox, "1") != 0 || statfs("/tmp", &fs) != 0 || fs.f_type != TMPFS_MAGIC) {
        std::fprintf(stderr, "run the fuzz targets through tests/sandbox, never against the real /tmp\n");
        std::exit(2);
    }
}

#endif
