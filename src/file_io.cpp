#include "file_io.h"

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kTempPrefix = ".menuhold-";

std::string directory_of(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

int write_all(int fd, const void* data, size_t size)
{
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

// Creates a new ".menuhold-" temporary in dir with exactly the given mode. O_EXCL never
// follows or reuses an existing name (a planted link or file), so a taken name is skipped.
FileDescriptor create_temporary(const std::string& dir, mode_t mode, std::string& path)
{
    static unsigned long counter = 0;
    const unsigned long seed = static_cast<unsigned long>(getpid()) * 2654435761UL ^ static_cast<unsigned long>(time(nullptr));
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[32];
        snprintf(suffix, sizeof suffix, "%lx", (seed + ++counter * 40503UL) & 0xffffffffUL);
        path = dir + "/" + kTempPrefix + suffix;
        FileDescriptor fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (fd.valid()) {
            // open() applies the umask; a mode it cut (an existing file's own) is set again.
            if ((mode & ~process_umask()) != mode && fchmod(fd.get(), mode) != 0) {
                unlink(path.c_str());
                return FileDescriptor();
            }
            return fd;
        }
        if (errno != EEXIST) return FileDescriptor();
    }
    errno = EEXIST;
    return FileDescriptor();
}

int fsync_directory(const std::string& dir)
{
    FileDescriptor fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) return errno;
    return fsync(fd.get()) == 0 ? 0 : errno;
}

}  // namespace

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

Directory::~Directory()
{
    if (dir_) closedir(dir_);
}

const char* Directory::next_name()
{
    if (!dir_) return nullptr;
    const struct dirent* entry = readdir(dir_);
    return entry ? entry->d_name : nullptr;
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

mode_t mode_for_rewrite(const std::string& path, mode_t default_mode)
{
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return st.st_mode & 07777;
    return default_mode & ~process_umask();
}

int write_file_atomically(const std::string& path, const void* data, size_t size, mode_t mode,
                          bool durable, time_t* mtime)
{
    const std::string dir = directory_of(path);
    std::string temp;
    FileDescriptor fd = create_temporary(dir, mode, temp);
    if (!fd.valid()) return errno;

    int error = write_all(fd.get(), data, size);
    if (!error && durable && fsync(fd.get()) != 0) error = errno;
    if (!error && mtime) {
        struct stat st;
        if (fstat(fd.get(), &st) == 0) *mtime = st.st_mtime;
    }
    if (!error && close(fd.release()) != 0) error = errno;
    if (!error && rename(temp.c_str(), path.c_str()) != 0) error = errno;
    if (error) {
        unlink(temp.c_str());
        return error;
    }
    return durable ? fsync_directory(dir) : 0;
}

int read_whole_file(const std::string& path, std::string& out, time_t* mtime)
{
    FileDescriptor fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
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

void remove_temporaries(const char* dir)
{
    Directory d(dir);
    const std::string prefix = kTempPrefix;
    while (const char* name = d.next_name()) {
        if (std::strncmp(name, kTempPrefix, prefix.size()) != 0) continue;
        const std::string path = std::string(dir) + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) unlink(path.c_str());
    }
}
