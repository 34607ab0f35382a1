// The unit tests write Menuhold's fixed paths in /tmp, so they run only inside
// tests/sandbox, which gives them a private tmpfs there.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <linux/magic.h>
#include <sys/vfs.h>

int main(int argc, char** argv)
{
    struct statfs fs;
    const char* sandbox = std::getenv("MENUHOLD_SANDBOX");
    if (!sandbox || std::string(sandbox) != "1" || statfs("/tmp", &fs) != 0 || fs.f_type != TMPFS_MAGIC) {
        std::fprintf(stderr, "menuhold_unit: run me through tests/sandbox, never against the real /tmp\n");
        return 2;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
