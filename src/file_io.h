// SPDX-License-Identifier: MIT
// File system primitives: RAII handles, directories used through their descriptors, and
// crash-safe writes. Everything a caller names is a name inside a directory it holds
// open, so a path swapped after the directory was opened changes nothing.
#ifndef MENUHOLD_FILE_IO_H
#define MENUHOLD_FILE_IO_H

#include <cstddef>
#include <ctime>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>

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

// Lists the entries of a directory held open as dir_fd (which stays open and unmoved).
class DirectoryListing {
public:
    explicit DirectoryListing(int dir_fd);
    ~DirectoryListing();
    DirectoryListing(const DirectoryListing&) = delete;
    DirectoryListing& operator=(const DirectoryListing&) = delete;

    // The next entry's name, "." and ".." included; nullptr at the end.
    const char* next_name();
    // Why there is nothing to list (an errno), or 0.
    int error() const { return error_; }

private:
    DIR* dir_;
    int error_ = 0;
};

// A directory that the service writes into, opened once. Directories that other users
// can reach (a path in /tmp) are used only when they are real directories of the
// service's own user that nobody else may write to: another user's entry at the path is
// moved aside and replaced by a directory of the service's own; /tmp itself is opened as
// it is.
class WorkDirectory {
public:
    enum class Trust { kOwnOnly, kAsIs };
    WorkDirectory(const char* path, Trust trust) : path_(path), trust_(trust) {}

    // The directory's descriptor, opened the first time it is asked for; -1 with errno
    // ENOENT while the path is missing, EACCES while it is not to be trusted (logged at
    // LOG_ERR at every refusal).
    int fd();
    const char* path() const { return path_; }
    // The path of a name inside the directory, for messages and debug lines.
    std::string path_of(const std::string& name) const { return std::string(path_) + "/" + name; }

private:
    const char* path_;
    Trust trust_;
    FileDescriptor fd_;
};

// Why a directory that others can reach is not the service's own to use (not a
// directory, another user's, writable by group or others); nullptr when it is.
const char* distrust_reason(const struct stat& st);

// The process umask, read once without changing it for good.
mode_t process_umask();

// The mode a rewritten file gets: an existing regular file of the service's own user keeps
// its own, as an in-place rewrite would; a new one, or one that another user made, gets
// default_mode less the umask. Never set-uid, set-gid or sticky, whatever the existing
// file or the default carries.
mode_t mode_for_rewrite(int dir_fd, const char* name, mode_t default_mode);

// Writes the parts, in order, to a new temporary file in dir_fd and renames it over name,
// so that name holds the old or the new complete file at every moment (a directory that
// another user made at name is moved aside). The temporary's name is unpredictable and
// created exclusively. durable: fsync the file before and the directory after the rename.
// mtime (optional) receives the written file's modification time. Returns 0, or the errno
// of the step that failed (the temporary is removed then).
int write_file_atomically(int dir_fd, const char* name, const struct iovec* parts, int count, mode_t mode,
                          bool durable, time_t* mtime = nullptr);

// Reads the whole regular file name in dir_fd; returns 0 or an errno.
int read_whole_file(int dir_fd, const char* name, std::string& out, time_t* mtime = nullptr);

// Moves the entry at path out of the way when another user made it: such an entry at one
// of the service's fixed paths is never obeyed. It is renamed beside itself to a new name
// (".moved." and 16 random hex digits added) and logged at LOG_WARNING with its owner.
// True when an entry was moved.
bool move_aside_if_foreign(const char* path);
bool move_aside_if_foreign(int dir_fd, const char* name);

// Removes the leftover temporaries of interrupted writes in dir_fd: the service's own
// (owned by its user), never another user's files.
void remove_temporaries(int dir_fd);

#endif
