// SPDX-License-Identifier: MIT
#include "file_io.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr char kTempPrefix[] = ".menuhold-";
using TempName = char[sizeof kTempPrefix + 16];  // the prefix, 16 hex digits, the NUL
constexpr mode_t kSpecialBits = S_ISUID | S_ISGID | S_ISVTX;
constexpr mode_t kOwnDirectoryMode = 0755;  // less the umask: the web server reads the copies
// A name is taken only by a collision of 64 random bits or by someone who can read
// them; either way the next try draws anew, and so many tries never all fail.
constexpr int kTempAttempts = 1000;

// 64 unpredictable bits. Kernels without getrandom have /dev/urandom; if neither
// answers, the clock and the pid keep names distinct, and O_EXCL keeps them safe.
unsigned long long random_bits()
{
    unsigned long long bits = 0;
    if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof bits)) return bits;
    FileDescriptor urandom(open("/dev/urandom", O_RDONLY | O_CLOEXEC));
    if (urandom.valid() && read(urandom.get(), &bits, sizeof bits) == static_cast<ssize_t>(sizeof bits)) return bits;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    static unsigned long long counter = 0;
    return (static_cast<unsigned long long>(now.tv_nsec) << 20) ^ (static_cast<unsigned long long>(getpid()) << 40) ^
           ++counter;
}

// Writes all parts in order: one writev takes them whole on a local file; after a short
// write the rest of the part it stopped in follows, then the parts after it. Allocates
// nothing, so that a write cannot fail for want of memory.
int write_parts(int fd, const struct iovec* parts, int count)
{
    int first = 0;
    size_t done = 0;  // of parts[first]
    while (first < count) {
        const char* rest = static_cast<const char*>(parts[first].iov_base) + done;
        const ssize_t n = done ? write(fd, rest, parts[first].iov_len - done)
                               : writev(fd, parts + first, std::min(count - first, IOV_MAX));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        for (done += static_cast<size_t>(n); first < count && done >= parts[first].iov_len; ++first)
            done -= parts[first].iov_len;
    }
    return 0;
}

// "." and 16 hex digits of random_bits().
std::string random_suffix()
{
    char suffix[18];
    snprintf(suffix, sizeof suffix, ".%016llx", random_bits());
    return suffix;
}

// Creates a new temporary in dir_fd with exactly the given mode; name receives its name.
FileDescriptor create_temporary(int dir_fd, mode_t mode, TempName& name)
{
    for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
        snprintf(name, sizeof name, "%s%016llx", kTempPrefix, random_bits());
        FileDescriptor fd(openat(dir_fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (fd.valid()) {
            // open() applies the umask; a mode it cut (an existing file's own) is set again.
            if ((mode & ~process_umask()) != mode && fchmod(fd.get(), mode) != 0) {
                const int error = errno;
                unlinkat(dir_fd, name, 0);
                errno = error;
                return FileDescriptor();
            }
            return fd;
        }
        if (errno != EEXIST) return FileDescriptor();
    }
    errno = EEXIST;
    return FileDescriptor();
}

}  // namespace

const char* distrust_reason(const struct stat& st)
{
    if (!S_ISDIR(st.st_mode)) return "not a directory";
    if (st.st_uid != geteuid()) return "not owned by the service's user";
    if (st.st_mode & (S_IWGRP | S_IWOTH)) return "writable by group or others";
    return nullptr;
}

FileDescriptor::~FileDescriptor() { reset(); }

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept
{
    if (this != &other) reset(other.release());
    return *this;
}

int FileDescriptor::release()
{
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void FileDescriptor::reset(int fd)
{
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
}

DirectoryListing::DirectoryListing(int dir_fd) : dir_(nullptr)
{
    // A listing of its own: the directory's descriptor stays open and at its place.
    const int fd = dir_fd >= 0 ? openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    if (fd >= 0 && !(dir_ = fdopendir(fd))) {
        error_ = errno;
        close(fd);
    } else if (fd < 0) {
        error_ = dir_fd >= 0 ? errno : EBADF;
    }
}

DirectoryListing::~DirectoryListing()
{
    if (dir_) closedir(dir_);
}

const char* DirectoryListing::next_name()
{
    if (!dir_) return nullptr;
    const struct dirent* entry = readdir(dir_);
    return entry ? entry->d_name : nullptr;
}

int WorkDirectory::fd()
{
    if (fd_.valid()) return fd_.get();
    // Another user's entry at the path is moved aside, and the service makes its own.
    if (trust_ == Trust::kOwnOnly && move_aside_if_foreign(path_) && mkdir(path_, kOwnDirectoryMode) != 0 &&
        errno != EEXIST)
        syslog(LOG_ERR, "cannot make directory %s: %s\n", path_, strerror(errno));
    FileDescriptor fd(open(path_, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    const char* reason = nullptr;
    if (!fd.valid()) {
        if (errno == ENOENT) return -1;  // not there (yet): nothing to distrust
        reason = errno == ELOOP || errno == ENOTDIR ? "not a directory" : strerror(errno);
    } else if (fstat(fd.get(), &st) != 0) {
        reason = strerror(errno);
    } else if (trust_ == Trust::kOwnOnly) {
        reason = distrust_reason(st);
    }
    if (reason) {
        syslog(LOG_ERR, "cannot use directory %s: %s\n", path_, reason);
        errno = EACCES;
        return -1;
    }
    fd_ = std::move(fd);
    return fd_.get();
}

mode_t process_umask()
{
    static const mode_t mask = [] {
        const mode_t m = umask(0);
        umask(m);
        return m;
    }();
    return mask;
}

mode_t mode_for_rewrite(int dir_fd, const char* name, mode_t default_mode)
{
    struct stat st;
    const bool exists = fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
                        st.st_uid == geteuid();
    const mode_t mode = exists ? st.st_mode & 07777 : default_mode & ~process_umask();
    return mode & ~kSpecialBits;
}

int write_file_atomically(int dir_fd, const char* name, const struct iovec* parts, int count, mode_t mode,
                          bool durable, time_t* mtime)
{
    if (dir_fd < 0) return ENOENT;
    TempName temp;
    FileDescriptor fd = create_temporary(dir_fd, mode & ~kSpecialBits, temp);
    if (!fd.valid()) return errno;

    int error = write_parts(fd.get(), parts, count);
    if (!error && durable && fsync(fd.get()) != 0) error = errno;
    if (!error && mtime) {
        struct stat st;
        if (fstat(fd.get(), &st) == 0) *mtime = st.st_mtime;
    }
    if (!error && close(fd.release()) != 0) error = errno;
    if (!error && renameat(dir_fd, temp, dir_fd, name) != 0) error = errno;
    // Another user's directory may have taken a name the service's own file left free.
    if (error == EISDIR && move_aside_if_foreign(dir_fd, name))
        error = renameat(dir_fd, temp, dir_fd, name) != 0 ? errno : 0;
    if (error) {
        unlinkat(dir_fd, temp, 0);
        return error;
    }
    return durable && fsync(dir_fd) != 0 ? errno : 0;
}

int read_whole_file(int dir_fd, const char* name, std::string& out, time_t* mtime)
{
    FileDescriptor fd(openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) return errno;
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return errno;
    if (!S_ISREG(st.st_mode)) return S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    if (mtime) *mtime = st.st_mtime;
    out.clear();
    char chunk[65536];
    for (;;) {
        const ssize_t n = read(fd.get(), chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return 0;
        out.append(chunk, static_cast<size_t>(n));
    }
}

bool move_aside_if_foreign(int dir_fd, const char* name)
{
    struct stat st;
    if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_uid == geteuid()) return false;
    const std::string moved = std::string(name) + ".moved" + random_suffix();
    if (renameat(dir_fd, name, dir_fd, moved.c_str()) != 0) return false;
    // The directory's own path, for the record (the kernel knows where the descriptor leads).
    char dir_path[PATH_MAX] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(dir_fd);
    if (readlink(link.c_str(), dir_path, sizeof dir_path - 1) <= 0) dir_path[0] = '.';
    const std::string at = std::string(dir_path) + (std::strcmp(dir_path, "/") == 0 ? "" : "/");
    syslog(LOG_WARNING, "%s%s was made by uid %u: moved aside to %s%s\n", at.c_str(), name,
           static_cast<unsigned>(st.st_uid), at.c_str(), moved.c_str());
    return true;
}

bool move_aside_if_foreign(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    const std::string dir_path = !slash ? "." : slash == path ? "/" : std::string(path, slash);
    const FileDescriptor dir(open(dir_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dir.valid() && move_aside_if_foreign(dir.get(), slash ? slash + 1 : path);
}

void remove_temporaries(int dir_fd)
{
    DirectoryListing listing(dir_fd);
    const size_t prefix_length = strlen(kTempPrefix);
    while (const char* name = listing.next_name()) {
        if (strncmp(name, kTempPrefix, prefix_length) != 0) continue;
        struct stat st;
        if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid())
            unlinkat(dir_fd, name, 0);
    }
}
