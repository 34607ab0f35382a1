// Shared support of the unit tests: the sandbox guard, a syslog capture on /dev/log,
// file helpers and access to the private operations of Menuhold.
#ifndef MENUHOLD_TEST_SUPPORT_H
#define MENUHOLD_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <unistd.h>
#include <cstring>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "file_io.h"
#include "menuhold.h"
#include "menuhold_access.h"

// Empties /tmp (the sandbox's own tmpfs) and recreates the menu and push directories.
void reset_tmp();
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
bool file_exists(const std::string& path);
ino_t inode_of(const std::string& path);

// Receives what syslog(3) sends to /dev/log while it lives.
class SyslogCapture {
public:
    struct Record {
        int priority;
        std::string message;  // the text after "ident: "
    };
    SyslogCapture();
    ~SyslogCapture();
    std::vector<Record> records();
    bool has(int level, const std::string& message);

private:
    int fd_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Record> records_;
    std::thread reader_;
};

// A service object after a successful init, in a clean /tmp.
class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The history file's rows as "id|name|version" strings.
    std::vector<std::string> history_rows();
    std::vector<std::string> rows();
    void add_rows(std::initializer_list<const char*> names);

    std::unique_ptr<Menuhold> service;
    using T = MenuholdTestAccess;
};

#endif
