// File system helpers: RAII handles and crash-safe writes (DESIGN.md D2).
#ifndef MENUHOLD_FILE_IO_H
#define MENUHOLD_FILE_IO_H

#include <cstddef>
#include <ctime>
#include <dirent.h>
#include <string>
#include <sys/types.h>

// Owns one file descriptor.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor();
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release();
    void reset(int fd = -1);

private:
    int fd_;
};

// Owns one open directory stream.
class Directory {
public:
    explicit Directory(const char* path) : dir_(opendir(path)) {}
    ~Directory();
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;

    bool is_open() const { return dir_ != nullptr; }
    // The next entry's name, "." and ".." included; nullptr at the end.
    const char* next_name();

private:
    DIR* dir_;
};

// The process umask, read once without changing it for good.
mode_t process_umask();

// The mode a rewritten file gets: an existing regular file keeps its own, as an
// in-place rewrite would; a new one gets default_mode less the umask.
mode_t mode_for_rewrite(const std::string& path, mode_t default_mode);

// Writes data to a new temporary ".menuhold-" file beside path and renames it over
// path, so that path holds the old or the new complete file at every moment.
// durable: fsync the file before and its directory after the rename.
// mtime (optional) receives the written file's modification time.
// Returns 0, or the errno of the step that failed (the temporary is removed then).
int write_file_atomically(const std::string& path, const void* data, size_t size, mode_t mode,
                          bool durable, time_t* mtime = nullptr);

// Reads a whole regular file; returns 0 or an errno.
int read_whole_file(const std::string& path, std::string& out, time_t* mtime = nullptr);

// Removes the leftover ".menuhold-" temporaries of an interrupted write in dir.
void remove_temporaries(const char* dir);

#endif
