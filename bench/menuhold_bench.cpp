// SPDX-License-Identifier: MIT
// menuhold_bench: request latency, start-up scaling and memory of the real menuhold,
// each against a floor measured in the same run, and the size of its gzip copy against
// gzip -6 of the same history file; for two data sets of held products: uniform short
// names and varied ones (varied_names.h). Runs inside scripts/sandbox and a PID namespace
// (scripts/bench.sh), because it uses the fixed paths in /tmp.
//
//   menuhold_bench --menuhold PATH [--sizes 10,100,1000,10000] [--json FILE]
#include <algorithm>
#include <sched.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <linux/magic.h>
#include <map>
#include <memory>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <cjson/cJSON.h>
#include <zlib.h>

#include "varied_names.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

[[noreturn]] void die(const std::string& what)
{
    fprintf(stderr, "menuhold_bench: %s (%s)\n", what.c_str(), strerror(errno));
    exit(1);
}

struct Stats {
    double median_us = 0;
    double p99_us = 0;
    double per_second = 0;
};

Stats stats_of(std::vector<double> seconds)
{
    Stats s;
    if (seconds.empty()) return s;
    std::sort(seconds.begin(), seconds.end());
    double total = 0;
    for (double x : seconds) total += x;
    s.median_us = seconds[seconds.size() / 2] * 1e6;
    s.p99_us = seconds[std::min(seconds.size() - 1, seconds.size() * 99 / 100)] * 1e6;
    s.per_second = seconds.size() / total;
    return s;
}

// A 4 KiB product file.
std::string product_file(const std::string& name, const std::string& version)
{
    std::string head = "{\"product info\": {\"product name\": \"" + name + "\", \"file version\": \"" + version +
                       "\"}, \"menu\": \"";
    std::string tail = "\"}\n";
    return head + std::string(4096 - head.size() - tail.size(), 'm') + tail;
}

void write_file(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

void write_durably(const std::string& dir, const std::string& name, const std::string& bytes)
{
    const std::string temp = dir + "/.floor-temp";
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) || fsync(fd) != 0)
        die("floor write");
    close(fd);
    if (rename(temp.c_str(), (dir + "/" + name).c_str()) != 0) die("floor rename");
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

long private_dirty_kib(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("Private_Dirty:", 0) == 0) return std::stol(line.substr(14));
    return -1;
}

// The PID most recently handed out in this PID namespace: a process or thread spawned
// anywhere in it moves it.
long last_pid()
{
    std::ifstream in("/proc/loadavg");
    std::string a, b, c, d;
    long pid = -1;
    in >> a >> b >> c >> d >> pid;
    return pid;
}

class Client {
public:
    Client()
    {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        strcpy(addr.sun_path, "/tmp/.bench-client");
        unlink(addr.sun_path);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) die("bind");
        timeval tv = {30, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        service_.sun_family = AF_UNIX;
        strcpy(service_.sun_path, "/tmp/.cjsonsock");
    }
    ~Client() { close(fd_); }

    // One request and its reply; returns the reply's option.
    std::string request(const std::string& command, const std::string& option)
    {
        char datagram[500] = {};
        memcpy(datagram, command.data(), std::min<size_t>(command.size(), 19));
        memcpy(datagram + 20, option.data(), std::min<size_t>(option.size(), 199));
        if (sendto(fd_, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&service_), sizeof service_) < 0)
            die("send");
        if (recv(fd_, datagram, sizeof datagram, 0) != 500) die("no reply to " + command + " " + option);
        return std::string(datagram + 20, strnlen(datagram + 20, 200));
    }

    bool try_request(const std::string& command)
    {
        char datagram[500] = {};
        memcpy(datagram, command.data(), command.size());
        const auto* to = reinterpret_cast<sockaddr*>(&service_);
        return sendto(fd_, datagram, sizeof datagram, 0, to, sizeof service_) == 500 &&
               recv(fd_, datagram, sizeof datagram, 0) == 500;
    }

private:
    int fd_;
    sockaddr_un service_ = {};
};

class Service {
public:
    explicit Service(const std::string& binary)
    {
        pid_ = fork();
        if (pid_ == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            execl(binary.c_str(), binary.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~Service()
    {
        kill(pid_, SIGTERM);
        int status;
        waitpid(pid_, &status, 0);
    }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_;
};

void wait_for_socket()
{
    for (int i = 0; i < 200000; ++i) {
        struct stat st;
        if (stat("/tmp/.cjsonsock", &st) == 0) return;
        usleep(50);
    }
    die("menuhold did not create its socket");
}

void reset_tmp()
{
    if (system("rm -rf /tmp/json_menu /tmp/panel_push /tmp/json_history.json /tmp/json_history.gz /tmp/up-*") != 0)
        die("reset");
    mkdir("/tmp/json_menu", 0755);
    mkdir("/tmp/panel_push", 0755);
}

std::string held_name(const std::string& product) { return "0-panelpush_local_" + product + "_0.0.0.json"; }

// The products of one run: those held at start (name, version) and those that "write new"
// uploads. "write newer" uploads newer versions of the first held product.
struct DataSet {
    std::vector<std::pair<std::string, std::string>> held;
    std::vector<std::string> new_names;
};

// Uniform: P0, P1, ... all at v1.0.0.0, the new ones N0, N1, ...
DataSet uniform_data(int held, int added)
{
    DataSet d;
    for (int i = 0; i < held; ++i) d.held.emplace_back("P" + std::to_string(i), "v1.0.0.0");
    for (int i = 0; i < added; ++i) d.new_names.push_back("N" + std::to_string(i));
    return d;
}

DataSet varied_data(int held, int added)
{
    DataSet d;
    VariedNames names;
    for (int i = 0; i < held; ++i) d.held.emplace_back(names.name(), names.version());
    for (int i = 0; i < added; ++i) d.new_names.push_back(names.name());
    return d;
}

const char* const kDataSets[] = {"uniform", "varied"};

std::string gunzip(const std::string& data)
{
    z_stream zs{};
    inflateInit2(&zs, 15 + 16);
    std::string out;
    char buffer[65536];
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    int rc = Z_OK;
    while (rc == Z_OK) {
        zs.next_out = reinterpret_cast<Bytef*>(buffer);
        zs.avail_out = sizeof buffer;
        rc = inflate(&zs, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - zs.avail_out);
    }
    inflateEnd(&zs);
    return rc == Z_STREAM_END ? out : std::string();
}

// The history file and its gzip copy as they were at one moment; gzip -6 of the same
// history file is run later, so that its processes do not count as the service's.
struct Published {
    std::string history, copy;
    long gzip6 = 0;
};

Published snapshot()
{
    Published p{read_file("/tmp/json_history.json"), read_file("/tmp/json_history.gz")};
    if (gunzip(p.copy) != p.history) die("the gzip copy does not decompress to the history file");
    return p;
}

// gzip -6 of the snapshot's history file, under the same name, so that its header matches.
void measure_gzip6(Published& p)
{
    mkdir("/tmp/gzip6", 0755);
    write_file("/tmp/gzip6/json_history.json", p.history);
    FILE* gzip = popen("gzip -6 -c /tmp/gzip6/json_history.json", "r");
    if (!gzip) die("gzip");
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, gzip)) > 0) p.gzip6 += static_cast<long>(n);
    if (pclose(gzip) != 0 || p.gzip6 == 0) die("gzip -6 failed");
}

// ---------------------------------------------------------------- floors

// A bare round trip of a 500-byte message between two processes on a datagram socket
// pair: what "status" costs at the least, since menuhold is a process of its own too.
Stats datagram_floor(int rounds)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM, 0, pair) != 0) die("socketpair");
    const pid_t echo = fork();
    if (echo == 0) {
        close(pair[0]);
        char buf[500];
        while (recv(pair[1], buf, sizeof buf, 0) == 500 && send(pair[1], buf, sizeof buf, 0) == 500) {
        }
        _exit(0);
    }
    close(pair[1]);
    std::vector<double> times;
    char buf[500] = "status";
    for (int i = 0; i < rounds; ++i) {
        const auto t = Clock::now();
        send(pair[0], buf, sizeof buf, 0);
        recv(pair[0], buf, sizeof buf, 0);
        times.push_back(seconds_since(t));
    }
    close(pair[0]);
    kill(echo, SIGKILL);
    int status;
    waitpid(echo, &status, 0);
    return stats_of(times);
}

// The same round trip between two sockets bound to paths, each message sent to the
// other's path as the protocol does: the floor plus the kernel's two path lookups, the
// cost of addressing that every request and reply carries.
Stats addressed_datagram_floor(int rounds)
{
    auto bound = [](const char* path) {
        const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        strcpy(addr.sun_path, path);
        unlink(path);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) die("bind floor");
        return std::make_pair(fd, addr);
    };
    const auto [echo_fd, echo_addr] = bound("/tmp/.floor-echo");
    const pid_t echo = fork();
    if (echo == 0) {
        char buf[500];
        sockaddr_un from = {};
        socklen_t length = sizeof from;
        while (recvfrom(echo_fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &length) == 500 &&
               sendto(echo_fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), length) == 500)
            length = sizeof from;
        _exit(0);
    }
    close(echo_fd);
    const auto [fd, addr] = bound("/tmp/.floor-client");
    std::vector<double> times;
    char buf[500] = "status";
    for (int i = 0; i < rounds; ++i) {
        const auto t = Clock::now();
        sendto(fd, buf, sizeof buf, 0, reinterpret_cast<const sockaddr*>(&echo_addr), sizeof echo_addr);
        recv(fd, buf, sizeof buf, 0);
        times.push_back(seconds_since(t));
    }
    close(fd);
    kill(echo, SIGKILL);
    int status;
    waitpid(echo, &status, 0);
    return stats_of(times);
}

// The unavoidable work of one accepted upload with `rows` held: read it, write both
// copies durably, print the table and gzip it. With publish, the printed table and its
// gzip copy are also written to files and renamed into place, as the service must.
Stats write_floor(int rows, int rounds, bool publish)
{
    mkdir("/tmp/floor", 0755);
    mkdir("/tmp/floor/menu", 0755);
    mkdir("/tmp/floor/push", 0755);
    cJSON* table = cJSON_CreateObject();
    const char* columns[3] = {"ID", "Product Name", "File Version"};
    cJSON_AddNumberToObject(table, "iTotalRecords", 3);
    cJSON_AddItemToObject(table, "sColumns", cJSON_CreateStringArray(columns, 3));
    cJSON* data = cJSON_AddArrayToObject(table, "aaData");
    for (int i = 0; i < rows; ++i) {
        const std::string id = std::to_string(i + 1), name = "H" + std::to_string(i);
        const char* row[3] = {id.c_str(), name.c_str(), "v1.0.0.0"};
        cJSON_AddItemToArray(data, cJSON_CreateStringArray(row, 3));
    }
    write_file("/tmp/floor/up.json", product_file("F", "v1.0.0.0"));
    std::vector<double> times;
    std::vector<unsigned char> out;
    z_stream zs{};  // one deflate state, reset per round: the cheapest way to use zlib
    deflateInit2(&zs, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    for (int i = 0; i < rounds; ++i) {
        const auto t = Clock::now();
        const std::string upload = read_file("/tmp/floor/up.json");
        write_durably("/tmp/floor/push", "copy.json", upload);
        write_durably("/tmp/floor/menu", "copy.json", upload);
        char* text = cJSON_Print(table);
        uLongf size = compressBound(strlen(text)) + 64;
        out.resize(size);
        deflateReset(&zs);
        zs.next_in = reinterpret_cast<Bytef*>(text);
        zs.avail_in = static_cast<uInt>(strlen(text));
        zs.next_out = out.data();
        zs.avail_out = static_cast<uInt>(out.size());
        deflate(&zs, Z_FINISH);
        if (publish) {
            write_durably("/tmp/floor", "history.json", std::string(text));
            write_durably("/tmp/floor", "history.gz", std::string(out.begin(), out.begin() + zs.total_out));
        }
        cJSON_free(text);
        times.push_back(seconds_since(t));
    }
    deflateEnd(&zs);
    cJSON_Delete(table);
    if (system("rm -rf /tmp/floor") != 0) die("rm floor");
    return stats_of(times);
}

// ---------------------------------------------------------------- the service

struct SizeResult {
    int n;
    Published at_start, after_write_new;
    double startup_s;
    long memory_kib;
    std::map<std::string, Stats> requests;
    std::map<std::string, Stats> floors;
    long spawned;
};

Stats measure(int rounds, const std::function<void(int)>& prepare, const std::function<void(int)>& act)
{
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        prepare(i);
        const auto t = Clock::now();
        act(i);
        times.push_back(seconds_since(t));
    }
    return stats_of(times);
}

SizeResult run_size(const std::string& binary, int n, const char* data_set)
{
    SizeResult r{};
    r.n = n;
    const int rounds = n >= 10000 ? 40 : 100;
    const DataSet data = std::string(data_set) == "varied" ? varied_data(n, rounds) : uniform_data(n, rounds);
    reset_tmp();
    for (const auto& [name, version] : data.held)
        write_file("/tmp/json_menu/" + held_name(name), product_file(name, version));
    sync();

    const auto start = Clock::now();
    Service service(binary);
    wait_for_socket();
    Client client;
    client.request("status", "0");  // answered once the rebuild has ended
    r.startup_s = seconds_since(start);
    r.memory_kib = private_dirty_kib(service.pid());
    r.at_start = snapshot();

    const long pid_before = last_pid();
    int slot = 0;
    auto nothing = [](int) {};
    const std::string& first = data.held.front().first;
    r.requests["status"] = measure(2000, nothing, [&](int) { client.request("status", std::to_string(slot++ % n)); });
    r.requests["refresh"] = measure(rounds, nothing, [&](int) { client.request("refresh", ""); });
    r.requests["write new"] = measure(
        rounds, [&](int i) { write_file("/tmp/up-new.json", product_file(data.new_names[i], "v1.0.0.0")); },
        [&](int) {
            if (client.request("write", "/tmp/up-new.json") != "0") die("write new refused");
        });
    r.after_write_new = snapshot();
    r.requests["delete"] = measure(rounds, nothing, [&](int) {
        if (client.request("delete", std::to_string(n + 1)) != "0") die("delete refused");
    });
    r.requests["write newer"] = measure(
        rounds, [&](int i) { write_file("/tmp/up-newer.json", product_file(first, "v99.0.0." + std::to_string(i))); },
        [&](int) { client.request("write", "/tmp/up-newer.json"); });
    r.requests["write not newer"] = measure(
        rounds, [&](int) { write_file("/tmp/up-old.json", product_file(first, "v0.0.0.0")); },
        [&](int) { client.request("write", "/tmp/up-old.json"); });
    // The worst deletion: every row behind the first one moves up and is renumbered.
    r.requests["delete first"] = measure(std::min(20, n / 2), nothing, [&](int) {
        if (client.request("delete", "1") != "0") die("delete refused");
    });
    r.spawned = last_pid() - pid_before;
    measure_gzip6(r.at_start);
    measure_gzip6(r.after_write_new);

    // The floors do not depend on the names.
    if (std::string(data_set) == "uniform") {
        r.floors["status"] = datagram_floor(2000);
        r.floors["status, addressed"] = addressed_datagram_floor(2000);
        r.floors["write new"] = write_floor(n, rounds, false);
        r.floors["write new, published"] = write_floor(n, rounds, true);
    }
    return r;
}

long idle_memory(const std::string& binary)
{
    reset_tmp();
    Service service(binary);
    wait_for_socket();
    Client client;
    client.request("status", "0");
    return private_dirty_kib(service.pid());
}

std::string fmt(double v, int decimals = 1)
{
    char buf[64];
    snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

// Each request's median at every N against the same request at the first N: what a
// change costs as the table grows.
void print_scaling(const std::vector<SizeResult>& results)
{
    if (results.empty()) return;
    printf("\nmedian us, and its ratio to N = %d\n%-14s", results.front().n, "request");
    for (const auto& r : results) printf(" %9s%-6d %6s", "N=", r.n, "ratio");
    printf("\n");
    for (const char* name : {"write new", "write newer", "delete", "delete first", "refresh", "status"}) {
        printf("%-14s", name);
        const double base = results.front().requests.at(name).median_us;
        for (const auto& r : results) {
            const double us = r.requests.at(name).median_us;
            printf(" %15s %6s", fmt(us).c_str(), fmt(us / base, 2).c_str());
        }
        printf("\n");
    }
}

void print_data_set(const char* data_set, const std::vector<SizeResult>& results)
{
    printf("\n%s names\n%-7s %-16s %10s %10s %10s %12s %8s %12s %8s\n", data_set, "N", "request", "median us", "p99 us",
           "per s", "floor med us", "ratio", "floor 2 us", "ratio");
    for (const auto& r : results) {
        for (const char* name :
             {"status", "refresh", "write new", "write newer", "write not newer", "delete", "delete first"}) {
            const Stats& s = r.requests.at(name);
            const auto floor = r.floors.find(name);
            auto published = r.floors.find(std::string(name) + ", published");
            if (published == r.floors.end()) published = r.floors.find(std::string(name) + ", addressed");
            const bool has_floor = floor != r.floors.end(), has_published = published != r.floors.end();
            printf("%-7d %-16s %10s %10s %10s %12s %8s %12s %8s\n", r.n, name, fmt(s.median_us).c_str(),
                   fmt(s.p99_us).c_str(), fmt(s.per_second, 0).c_str(),
                   has_floor ? fmt(floor->second.median_us).c_str() : "-",
                   has_floor ? fmt(s.median_us / floor->second.median_us, 2).c_str() : "-",
                   has_published ? fmt(published->second.median_us).c_str() : "-",
                   has_published ? fmt(s.median_us / published->second.median_us, 2).c_str() : "-");
        }
    }
    printf("\n%-7s %12s %16s %16s %10s\n", "N", "start-up ms", "per product us", "Private_Dirty KiB", "spawned");
    for (const auto& r : results)
        printf("%-7d %12s %16s %16ld %10ld\n", r.n, fmt(r.startup_s * 1e3).c_str(),
               fmt(r.startup_s / r.n * 1e6).c_str(), r.memory_kib, r.spawned);
    print_scaling(results);
}

// After start-up every full segment was compressed behind its dictionary; after "write
// new" the last segment was compressed alone, with the narrow window.
void print_gzip(const char* data_set, const std::vector<SizeResult>& results)
{
    for (const auto& r : results) {
        for (const auto& [when, p] :
             {std::make_pair("start-up", &r.at_start), std::make_pair("write new", &r.after_write_new)})
            printf("%-8s %-7d %-10s %12zu %12zu %12ld %7s\n", data_set, r.n, when, p->history.size(), p->copy.size(),
                   p->gzip6, fmt(static_cast<double>(p->copy.size()) / static_cast<double>(p->gzip6), 3).c_str());
    }
}

void write_json(std::ostream& out, const SizeResult& r)
{
    out << "{\"n\": " << r.n << ", \"startup_ms\": " << r.startup_s * 1e3 << ", \"private_dirty_kib\": " << r.memory_kib
        << ", \"processes_spawned\": " << r.spawned << ", \"requests\": {";
    bool first = true;
    for (const auto& [name, s] : r.requests) {
        out << (first ? "" : ", ") << "\"" << name << "\": {\"median_us\": " << s.median_us
            << ", \"p99_us\": " << s.p99_us << ", \"per_second\": " << s.per_second << "}";
        first = false;
    }
    out << "}, \"floors\": {";
    first = true;
    for (const auto& [name, s] : r.floors) {
        out << (first ? "" : ", ") << "\"" << name << "\": {\"median_us\": " << s.median_us << "}";
        first = false;
    }
    out << "}, \"gzip\": {";
    for (const auto& [when, p] :
         {std::make_pair("at_start", &r.at_start), std::make_pair("after_write_new", &r.after_write_new)})
        out << (p == &r.at_start ? "" : ", ") << "\"" << when << "\": {\"history_bytes\": " << p->history.size()
            << ", \"copy_bytes\": " << p->copy.size() << ", \"gzip6_bytes\": " << p->gzip6 << "}";
    out << "}}";
}

}  // namespace

int main(int argc, char** argv)
{
    std::string binary, json_path = "bench-results.json", sized_binary;
    std::vector<int> sizes = {10, 1000, 10000};
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i], value = argv[i + 1];
        if (key == "--menuhold") binary = value;
        else if (key == "--json") json_path = value;
        else if (key == "--size-of") sized_binary = value;
        else if (key == "--sizes") {
            sizes.clear();
            std::stringstream in(value);
            std::string item;
            while (std::getline(in, item, ',')) sizes.push_back(std::stoi(item));
        }
    }
    struct statfs fs;
    if (binary.empty() || !getenv("MENUHOLD_SANDBOX") || statfs("/tmp", &fs) != 0 || fs.f_type != TMPFS_MAGIC) {
        fprintf(stderr, "usage: scripts/bench.sh (menuhold_bench runs only inside scripts/sandbox)\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    // The device's e300c3 is a single core: the benchmark, menuhold and the floors'
    // peers share one CPU, as client and service do there. (On two CPUs of a VM every
    // cross-process wake-up costs an inter-processor interrupt, which swamps the work.)
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(0, &one);
    if (sched_setaffinity(0, sizeof one, &one) != 0) die("sched_setaffinity");

    const long idle_kib = idle_memory(binary);
    std::map<std::string, std::vector<SizeResult>> results;
    for (const char* data_set : kDataSets)
        for (int n : sizes) results[data_set].push_back(run_size(binary, n, data_set));

    printf("menuhold benchmark: 4 KiB product files; latencies are client round trips\n");
    printf("second floor: of status, the round trip between path-addressed sockets; of write new, +history\n");
    for (const char* data_set : kDataSets) print_data_set(data_set, results[data_set]);
    printf("\ngzip copy against gzip -6 of the same history file, after start-up and after write new\n");
    printf("%-8s %-7s %-10s %12s %12s %12s %7s\n", "names", "N", "after", "history B", "copy B", "gzip -6 B", "ratio");
    for (const char* data_set : kDataSets) print_gzip(data_set, results[data_set]);
    printf("\nidle Private_Dirty: %ld KiB\n", idle_kib);
    struct stat st;
    if (!sized_binary.empty() && stat(sized_binary.c_str(), &st) == 0)
        printf("stripped -Os binary: %lld bytes\n", static_cast<long long>(st.st_size));

    std::ofstream out(json_path);
    out << "{\n  \"idle_private_dirty_kib\": " << idle_kib;
    if (!sized_binary.empty()) out << ",\n  \"stripped_os_binary_bytes\": " << st.st_size;
    out << ",\n  \"data_sets\": {";
    for (const char* data_set : kDataSets) {
        out << (data_set == kDataSets[0] ? "" : ",") << "\n   \"" << data_set << "\": [";
        const auto& runs = results[data_set];
        for (size_t i = 0; i < runs.size(); ++i) write_json(out << (i ? "," : "") << "\n    ", runs[i]);
        out << "\n   ]";
    }
    out << "\n  }\n}\n";
    return 0;
}
