// menuholdctl: talks to a running menuhold over /tmp/.cjsonsock, in place of setrelay.
// One request, one reply (Part 2.1); see --help.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include <cjson/cJSON.h>

#include "protocol.h"

namespace {

using protocol::kCommandWidth;
using protocol::kDatagramSize;
using protocol::kOptionWidth;
constexpr const char* kServiceSocket = protocol::kSocketPath;
constexpr const char* kHistoryFile = protocol::kHistoryPath;

enum Exit { kOk = 0, kNonZeroCode = 1, kTrouble = 2, kInterrupted = 130 };

const char kHelp[] =
    "Usage: menuholdctl [--timeout SECONDS] [--json] COMMAND [ARGUMENT]\n"
    "\n"
    "Sends one control message to menuhold over /tmp/.cjsonsock and prints the reply.\n"
    "\n"
    "Commands:\n"
    "  write PATH          take the product file at PATH (menuhold removes PATH afterwards,\n"
    "                      accepted or not); a relative PATH is made absolute first\n"
    "  delete ID           delete the product in the table row with this ID (1, 2, ...)\n"
    "  status SLOT         print what table slot SLOT (0-based) holds\n"
    "  refresh             rewrite /tmp/json_history.json and its gzip copy\n"
    "  send COMMAND [OPT]  send any command word and option as they stand\n"
    "  list                print the held products from /tmp/json_history.json\n"
    "\n"
    "Options:\n"
    "  --timeout SECONDS   how long to wait for the reply (default 5)\n"
    "  --json              print the reply as one JSON object (list: an array)\n"
    "  --help              print this text\n"
    "\n"
    "Output: the reply's option: a result code (\"0\", \"-1\") or, for status, the\n"
    "three-line status text.\n"
    "\n"
    "Exit status:\n"
    "  0  the reply came, and its code is 0 (status and list: always 0)\n"
    "  1  the reply came with a non-zero code\n"
    "  2  no reply in time, a usage error, or a socket or file error\n";

// The bound socket path, removed at exit and on Ctrl-C.
char bound_path[sizeof(sockaddr_un::sun_path)];

void remove_bound_path()
{
    if (bound_path[0]) unlink(bound_path);
}

void on_interrupt(int)
{
    remove_bound_path();
    _exit(kInterrupted);
}

int fail(const std::string& message)
{
    fprintf(stderr, "menuholdctl: %s\n", message.c_str());
    return kTrouble;
}

struct Reply {
    std::string command;
    std::string option;
};

class ClientSocket {
public:
    ~ClientSocket()
    {
        if (fd_ >= 0) close(fd_);
        remove_bound_path();
    }

    // Binds a socket path of our own, so that menuhold can answer (Part 2.1).
    bool open(std::string& error)
    {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) {
            error = std::string("cannot create a socket: ") + strerror(errno);
            return false;
        }
        for (int attempt = 0; attempt < 100; ++attempt) {
            sockaddr_un addr = {};
            addr.sun_family = AF_UNIX;
            snprintf(addr.sun_path, sizeof addr.sun_path, "/tmp/.menuholdctl.%d.%d", static_cast<int>(getpid()),
                     attempt);
            if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
                memcpy(bound_path, addr.sun_path, sizeof bound_path);
                return true;
            }
            if (errno != EADDRINUSE) {
                error = std::string("cannot bind a reply socket in /tmp: ") + strerror(errno);
                return false;
            }
        }
        error = "cannot find a free reply socket path in /tmp";
        return false;
    }

    bool send(const std::string& command, const std::string& option, std::string& error)
    {
        char datagram[kDatagramSize] = {};
        memcpy(datagram, command.data(), std::min(command.size(), kCommandWidth - 1));
        memcpy(datagram + kCommandWidth, option.data(), std::min(option.size(), kOptionWidth - 1));
        sockaddr_un to = {};
        to.sun_family = AF_UNIX;
        strcpy(to.sun_path, kServiceSocket);
        if (sendto(fd_, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) {
            if (errno == ENOENT || errno == ECONNREFUSED)
                error = "menuhold is not running (no one listens on /tmp/.cjsonsock); start it first";
            else
                error = std::string("cannot send to /tmp/.cjsonsock: ") + strerror(errno);
            return false;
        }
        return true;
    }

    // Waits for the service's reply; datagrams from anyone else are passed over.
    bool receive(double timeout_seconds, Reply& reply, std::string& error)
    {
        const long long deadline_ms = now_ms() + static_cast<long long>(timeout_seconds * 1000);
        for (;;) {
            const long long left = deadline_ms - now_ms();
            pollfd p = {fd_, POLLIN, 0};
            const int ready = left > 0 ? poll(&p, 1, static_cast<int>(left)) : 0;
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) {
                error = "no reply from menuhold within the time-out; is it running and serving?";
                return false;
            }
            char datagram[kDatagramSize + 1] = {};
            sockaddr_un from = {};
            socklen_t from_len = sizeof from;
            const ssize_t n = recvfrom(fd_, datagram, kDatagramSize, 0, reinterpret_cast<sockaddr*>(&from), &from_len);
            if (n < 0) {
                error = std::string("cannot receive the reply: ") + strerror(errno);
                return false;
            }
            if (strncmp(from.sun_path, kServiceSocket, sizeof from.sun_path) != 0) continue;
            reply.command.assign(datagram, strnlen(datagram, kCommandWidth));
            reply.option.assign(datagram + kCommandWidth, strnlen(datagram + kCommandWidth, kOptionWidth));
            return true;
        }
    }

private:
    static long long now_ms()
    {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
    }

    int fd_ = -1;
};

struct JsonDeleter {
    void operator()(cJSON* j) const { cJSON_Delete(j); }
};
using Json = std::unique_ptr<cJSON, JsonDeleter>;

void print_json(const cJSON* value)
{
    std::unique_ptr<char, decltype(&cJSON_free)> text(cJSON_PrintUnformatted(value), cJSON_free);
    puts(text ? text.get() : "null");
}

// "Availability: %s\nProduct name: %s\nFile version:[%s]" (Part 4.3) as fields.
void add_status_fields(cJSON* object, const std::string& text)
{
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty()) continue;
        if (line.rfind("Availability: ", 0) == 0) {
            cJSON_AddBoolToObject(object, "available", line.substr(14) == "Yes");
        } else if (line.rfind("Product name: ", 0) == 0) {
            cJSON_AddStringToObject(object, "product_name", line.substr(14).c_str());
        } else if (line.rfind("File version:[", 0) == 0 && line.back() == ']') {
            cJSON_AddStringToObject(object, "file_version", line.substr(14, line.size() - 15).c_str());
        }
    }
}

bool is_code(const std::string& option, int& code)
{
    char* end = nullptr;
    errno = 0;
    const long value = strtol(option.c_str(), &end, 10);
    if (option.empty() || *end != '\0' || errno) return false;
    code = static_cast<int>(value);
    return true;
}

int print_reply(const Reply& reply, bool json)
{
    const bool is_status = reply.command == "status";
    int code = 0;
    const bool has_code = !is_status && is_code(reply.option, code);
    if (json) {
        Json object(cJSON_CreateObject());
        cJSON_AddStringToObject(object.get(), "command", reply.command.c_str());
        cJSON_AddStringToObject(object.get(), "option", reply.option.c_str());
        if (has_code) cJSON_AddNumberToObject(object.get(), "code", code);
        if (is_status) add_status_fields(object.get(), reply.option);
        print_json(object.get());
    } else {
        puts(reply.option.c_str());
    }
    if (is_status) return kOk;
    return has_code && code == 0 ? kOk : kNonZeroCode;
}

bool read_file(const char* path, std::string& out)
{
    std::unique_ptr<FILE, decltype(&fclose)> file(fopen(path, "rb"), fclose);
    if (!file) return false;
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file.get())) > 0) out.append(chunk, n);
    return !ferror(file.get());
}

int list_products(bool json)
{
    std::string text;
    if (!read_file(kHistoryFile, text)) return fail("cannot read /tmp/json_history.json; is menuhold running?");
    Json table(cJSON_Parse(text.c_str()));
    const cJSON* rows = table ? cJSON_GetObjectItemCaseSensitive(table.get(), "aaData") : nullptr;
    if (!cJSON_IsArray(rows)) return fail("/tmp/json_history.json is not a product table");

    std::vector<std::vector<std::string>> lines;
    std::vector<std::string> titles = {"ID", "Product Name", "File Version"};
    const cJSON* columns = cJSON_GetObjectItemCaseSensitive(table.get(), "sColumns");
    for (int i = 0; i < 3 && cJSON_GetArraySize(columns) == 3; ++i)
        if (const char* title = cJSON_GetStringValue(cJSON_GetArrayItem(columns, i))) titles[i] = title;
    const cJSON* row;
    cJSON_ArrayForEach(row, rows)
    {
        std::vector<std::string> cells;
        for (int i = 0; i < 3; ++i) {
            const char* cell = cJSON_GetStringValue(cJSON_GetArrayItem(row, i));
            cells.push_back(cell ? cell : "");
        }
        lines.push_back(cells);
    }

    if (json) {
        Json array(cJSON_CreateArray());
        for (const auto& cells : lines) {
            cJSON* object = cJSON_CreateObject();
            cJSON_AddStringToObject(object, "id", cells[0].c_str());
            cJSON_AddStringToObject(object, "product_name", cells[1].c_str());
            cJSON_AddStringToObject(object, "file_version", cells[2].c_str());
            cJSON_AddItemToArray(array.get(), object);
        }
        print_json(array.get());
        return kOk;
    }
    size_t width[3];
    for (int i = 0; i < 3; ++i) {
        width[i] = titles[i].size();
        for (const auto& cells : lines) width[i] = std::max(width[i], cells[i].size());
    }
    auto print_line = [&](const std::vector<std::string>& cells) {
        printf("%-*s  %-*s  %s\n", static_cast<int>(width[0]), cells[0].c_str(), static_cast<int>(width[1]),
               cells[1].c_str(), cells[2].c_str());
    };
    print_line(titles);
    for (const auto& cells : lines) print_line(cells);
    return kOk;
}

std::string absolute_path(const std::string& path)
{
    if (path.empty() || path[0] == '/') return path;
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) return path;
    return std::string(cwd) + "/" + path;
}

}  // namespace

int main(int argc, char** argv)
{
    double timeout = 5.0;
    bool json = false;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            fputs(kHelp, stdout);
            return kOk;
        } else if (arg == "--json") {
            json = true;
        } else if (arg == "--timeout") {
            char* end = nullptr;
            if (i + 1 >= argc || (timeout = strtod(argv[i + 1], &end), *end != '\0') || timeout <= 0)
                return fail("--timeout takes a number of seconds greater than 0; see --help");
            ++i;
        } else {
            words.push_back(arg);
        }
    }
    if (words.empty()) return fail("no command given; see --help");

    const std::string& verb = words[0];
    std::string command;
    std::string option;
    const size_t argument_count = words.size() - 1;
    if (verb == "list" && argument_count == 0) return list_products(json);
    if (verb == "refresh" && argument_count == 0) {
        command = verb;
    } else if ((verb == "delete" || verb == "status") && argument_count == 1) {
        command = verb;
        option = words[1];
    } else if (verb == "write" && argument_count == 1) {
        command = verb;
        option = absolute_path(words[1]);
    } else if (verb == "send" && (argument_count == 1 || argument_count == 2)) {
        command = words[1];
        option = argument_count == 2 ? words[2] : "";
    } else {
        return fail("usage error: '" + verb + "' with " + std::to_string(argument_count) +
                    " argument(s) is not a command; see --help");
    }
    if (command.size() >= kCommandWidth) return fail("the command word has more than 19 characters");
    if (option.size() >= kOptionWidth) return fail("the option has more than 199 characters");

    signal(SIGINT, on_interrupt);
    signal(SIGTERM, on_interrupt);
    ClientSocket client;
    std::string error;
    Reply reply;
    if (!client.open(error) || !client.send(command, option, error) || !client.receive(timeout, reply, error))
        return fail(error);
    return print_reply(reply, json);
}
