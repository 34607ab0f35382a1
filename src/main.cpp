// SPDX-License-Identifier: MIT
// Process entry: command line, signals, clean-up of published state, and the order
// init, recovery, run, destruction.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <memory>
#include <new>
#include <string>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "file_io.h"
#include "menuhold.h"
#include "paths.h"
#include "signals.h"

namespace {

constexpr const char* kVersion = "v" MENUHOLD_VERSION;
constexpr mode_t kLockFileMode = 0600;

void usage()
{
    puts("Menuhold --- for json file upload/delete/refresh_table/management");
    puts("    Last revised 2026-12-06");
    puts("    ");
    puts("Usage: ");
    puts("    -c      clear the blocks which cannot be parsed (such as checksum failed, etc.)");
    puts("    -d      output debug message to /tmp/log_message");
    puts("    -h      print this message");
    puts("    -v      print current version");
}

// Removes what an earlier run published: the history file and the push copies, and
// the service's own temporaries that a crash left behind.
void clear_published_state()
{
    ServiceDirectories& dirs = service_directories();
    printf("%s(): To open path %s\n", "main", paths::kPushDir);
    printf("%s(): to remove table file %s\n", "main", paths::kHistory);
    const int history_fd = dirs.history.fd();
    move_aside_if_foreign(paths::kHistory);
    move_aside_if_foreign(paths::kHistoryGz);
    unlinkat(history_fd, paths::kHistoryName, 0);
    remove_temporaries(history_fd);

    const int push_fd = dirs.push.fd();
    DirectoryListing push_listing(push_fd);
    while (const char* name = push_listing.next_name()) {
        if (paths::names_held_file(name)) unlinkat(push_fd, name, 0);
    }
    remove_temporaries(push_fd);
}

// Whether this is the one service: it holds a lock on a file in a directory where only
// the service's user may create files, for the life of the process (the kernel releases
// it however the process ends). Nobody else can hold it, create it first or link it.
enum class Instance { kOnly, kAnother, kUnknown };

Instance lock_instance(FileDescriptor& lock)
{
    const char* path = paths::kLockFile;
    const char* name = std::strrchr(path, '/') + 1;  // allocates nothing: no memory is no reason to run twice
    char dir_path[PATH_MAX] = {};
    std::memcpy(dir_path, path, std::min(static_cast<size_t>(name - 1 - path), sizeof dir_path - 1));
    const FileDescriptor dir(open(dir_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    const char* reason = nullptr;
    if (!dir.valid() || fstat(dir.get(), &st) != 0) {
        reason = strerror(errno);
    } else if ((reason = distrust_reason(st)) == nullptr) {
        lock.reset(openat(dir.get(), name, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kLockFileMode));
        if (lock.valid() && flock(lock.get(), LOCK_EX | LOCK_NB) == 0) return Instance::kOnly;
        if (lock.valid() && errno == EWOULDBLOCK) return Instance::kAnother;
        reason = strerror(errno);
    }
    syslog(LOG_ERR, "cannot lock %s: %s\n", path, reason);
    return Instance::kUnknown;
}

// A reply is resolved with its sender's user and group only (see replies.h): the
// service's own supplementary groups must not widen that.
void drop_supplementary_groups()
{
    if (geteuid() == 0 && getgroups(0, nullptr) > 0 && setgroups(0, nullptr) != 0)
        syslog(LOG_ERR, "cannot drop supplementary groups: %s\n", strerror(errno));
}

// Ends the process where the service object stays alive: the socket path
// stays on disk and no exit record is written. The object stays reachable through
// Json_mgt until the process ends.
int end_without_destruction(std::unique_ptr<Menuhold>& service, int status)
{
    log_pending_signals();
    (void)service.release();
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    // Debug output is meant to be followed live, also through a pipe.
    setvbuf(stdout, nullptr, _IOLBF, 0);
#ifdef __GLIBC__
    // Fixed thresholds: a request's buffers come from the heap and stay there for the
    // next one (no brk and page-fault churn per request); only the rare buffer over
    // 4 MiB (a large upload) is mapped and handed back at once.
    mallopt(M_MMAP_THRESHOLD, 4 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 8 * 1024 * 1024);
#else
    // Other C libraries tag syslog records with the program name only when told to;
    // glibc does it by default, so there the records stay byte for byte as they are.
    openlog(program_invocation_short_name, 0, LOG_USER);
#endif

    int debug_mode = 0;
    int clear_json = 0;
    int opt;
    while ((opt = getopt(argc, argv, "cdhv")) != -1) {
        switch (opt) {
        case 'c':
            clear_json = 1;
            puts("Clear invalid blocks");
            break;
        case 'd':
            debug_mode = 1;
            break;
        case 'h':
            usage();
            return 0;
        case 'v':
            printf("Current version is :[%s]\n", kVersion);
            return 0;
        default:
            break;  // getopt has printed its diagnostic; start-up goes on
        }
    }

    FileDescriptor instance_lock;
    if (lock_instance(instance_lock) == Instance::kAnother) {
        fprintf(stderr, "%s: another menuhold is running on %s\n", argv[0], paths::kSocket);
        return 1;
    }
    drop_supplementary_groups();
    install_signal_handlers();
    clear_published_state();
    log_pending_signals();

    std::unique_ptr<Menuhold> service;
    try {
        service = std::make_unique<Menuhold>();
    } catch (const std::bad_alloc&) {
        syslog(LOG_INFO, "no memory for Json_mgt\n");
        return -1;
    }
    Json_mgt = service.get();

    // Memory that runs out before the service serves ends the start as a failed init does;
    // once it serves, a request that runs out is refused on its own.
    int init_result = -1, r = -81;
    try {
        init_result = service->init(debug_mode);
        if (init_result == 0) r = service->recovery(clear_json != 0);
    } catch (const std::bad_alloc&) {
        init_result = -1;
    }
    if (init_result < 0) {
        printf("[%s] init failed\n", argv[0]);
        return end_without_destruction(service, init_result);
    }
    if (r == -81) return end_without_destruction(service, -1);

    if (clear_json) {
        puts("Finished clearing All invalid blocks, existing program.....");
        return end_without_destruction(service, r);
    }

    const int result = service->run();
    Json_mgt = nullptr;  // a signal during the destruction must not reach a dying object
    service.reset();
    if (result < 0) syslog(LOG_INFO, "Menuhold runtime failed\n");
    log_pending_signals();
    return result;
}
