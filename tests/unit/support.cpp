#include "support.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace fs = std::filesystem;

void reset_tmp()
{
    for (const auto& entry : fs::directory_iterator("/tmp")) fs::remove_all(entry.path());
    fs::create_directory("/tmp/json_menu");
    fs::create_directory("/tmp/panel_push");
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

bool file_exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

ino_t inode_of(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

SyslogCapture::SyslogCapture() : fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0))
{
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, "/dev/log");
    unlink(addr.sun_path);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) ADD_FAILURE() << "cannot bind /dev/log";
    // syslog(3) blocks when the queue is full, so the capture drains it all the time.
    reader_ = std::thread([this] {
        char buf[8192];
        while (!stop_) {
            pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            const ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) continue;
            const std::string raw(buf, static_cast<size_t>(n));
            const size_t close_angle = raw.find('>');
            const size_t colon = raw.find(": ", close_angle);
            Record r{std::atoi(raw.c_str() + 1), colon == std::string::npos ? raw : raw.substr(colon + 2)};
            std::lock_guard<std::mutex> lock(mutex_);
            records_.push_back(r);
        }
    });
}

SyslogCapture::~SyslogCapture()
{
    stop_ = true;
    reader_.join();
    close(fd_);
    unlink("/dev/log");
}

std::vector<SyslogCapture::Record> SyslogCapture::records()
{
    // syslog(3) has sent its records by now; wait until the reader has taken them all.
    for (int i = 0; i < 500; ++i) {
        int queued = 0;
        if (ioctl(fd_, SIOCINQ, &queued) != 0 || queued == 0) break;
        usleep(10 * 1000);
    }
    usleep(30 * 1000);  // the last one taken is being stored
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
}

bool SyslogCapture::has(int level, const std::string& message)
{
    for (const auto& r : records())
        if ((r.priority & 7) == level && r.message == message) return true;
    return false;
}

void ServiceTest::SetUp()
{
    reset_tmp();
    service = std::make_unique<Menuhold>();
    ASSERT_EQ(service->init(0), 0);
}

void ServiceTest::TearDown()
{
    T::set_debug(*service, 0);  // keep the destructor's debug lines out of the test log
    service.reset();
}

std::vector<std::string> ServiceTest::rows()
{
    std::vector<std::string> out;
    const cJSON* row;
    cJSON_ArrayForEach(row, T::rows(*service))
    {
        std::string line;
        const cJSON* cell;
        cJSON_ArrayForEach(cell, row) line += std::string(line.empty() ? "" : "|") + cell->valuestring;
        out.push_back(line);
    }
    return out;
}

std::vector<std::string> ServiceTest::history_rows()
{
    std::vector<std::string> out;
    CJsonPtr doc(cJSON_Parse(read_file("/tmp/json_history.json").c_str()));
    const cJSON* row;
    cJSON_ArrayForEach(row, cJSON_GetObjectItem(doc.get(), "aaData"))
    {
        std::string line;
        const cJSON* cell;
        cJSON_ArrayForEach(cell, row) line += std::string(line.empty() ? "" : "|") + cell->valuestring;
        out.push_back(line);
    }
    return out;
}

void ServiceTest::add_rows(std::initializer_list<const char*> names)
{
    for (const char* name : names) T::update_list(*service, DO_ADD, name, "v1.0.0.0", 10);
}
