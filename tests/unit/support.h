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

class MenuholdTestAccess {
public:
    static int jsParse(Menuhold& m, std::string content, char* prod, char* version)
    {
        return m.jsParse(&content[0], prod, version);
    }
    static int readJsonFile(Menuhold& m, const std::string& path, char* prod, char* version, int* size)
    {
        std::string p = path;
        return m.readJsonFile(&p[0], prod, version, size);
    }
    static int compare(Menuhold& m, char* name, char* version) { return m.compare(name, version); }
    static void update_list(Menuhold& m, int req, std::string name, std::string version, int size)
    {
        m.update_list(req, &name[0], &version[0], size);
    }
    static void modifyTabrixTable(Menuhold& m, int req, std::string name, std::string version)
    {
        m.modifyTabrixTable(req, &name[0], &version[0]);
    }
    static void refresh_table(Menuhold& m) { m.refresh_table(); }
    static std::string status(Menuhold& m, int slot)
    {
        char buffer[200] = {};
        m.getListStatus(slot, buffer);
        return buffer;
    }
    static int delete_json(Menuhold& m, int index) { return m.delete_json(index); }
    static int add(Menuhold& m, std::string path) { return m.add(&path[0]); }
    static std::map<std::string, ProdInfo_s>& list(Menuhold& m) { return m.Json_list; }
    static cJSON* rows(Menuhold& m) { return m.table_aaData; }
    static void set_debug(Menuhold& m, int value) { m.debug = value; }
    static int ctrl_socket(const Menuhold& m) { return m.ctrl_socket; }
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
