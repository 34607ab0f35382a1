// SPDX-License-Identifier: MIT
// The unit tests may write in /tmp: they run only inside scripts/sandbox, on its private tmpfs.
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/vfs.h>

int main(int argc, char** argv)
{
    struct statfs fs;
    const char* sandbox = getenv("MENUHOLD_SANDBOX");
    if (!sandbox || std::string(sandbox) != "1" || statfs("/tmp", &fs) != 0 || fs.f_type != TMPFS_MAGIC) {
        fprintf(stderr, "menuhold_unit: run me through scripts/sandbox, never against the real /tmp\n");
        return 2;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
