// SPDX-License-Identifier: MIT
// menuholdctl: sends one request to a running menuhold and prints its reply, for operators
// and scripts; see --help. The wire format comes from protocol.h alone.
#include <algorithm>
#include <cerrno>
#include <cjson/cJSON.h>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <getopt.h>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "protocol.h"

namespace {

enum Exit { kOk = 0, kRefused = 1, kUsage = 2, kTrouble = 3 };

constexpr double kLongestTimeout = 86400;  // a day; more is a typing error

const char kHelp[] =
    "Usage: menuholdctl [OPTION]... COMMAND [ARGUMENT]\n"
    "\n"
    "Sends one request to menuhold over %s and prints the reply.\n"
    "\n"
    "Commands:\n"
    "  write PATH          take the product file at PATH (menuhold removes PATH afterwards,\n"
    "                      accepted or not); a relative PATH is made absolute first\n"
    "  delete ID           delete the product in the table row with this ID (1, 2, ...)\n"
    "  status SLOT         print what table slot SLOT (0, 1, ...) holds\n"
    "  refresh             rewrite %s and its gzip copy\n"
    "  send COMMAND [OPT]  send any command word and option as they stand\n"
    "  list                print the held products from %s\n"
    "\n"
    "Options:\n"
    "  -t, --timeout=SECONDS  how long to wait for the reply (default 5, at most 86400)\n"
    "  -w, --wait             while no service listens yet, ask again until the time-out\n"
    "  -j, --json             print one JSON object: {\"command\", \"option\", \"reply\", \"code\",\n"
    "                         \"status\", \"products\"}; what a command does not give is null\n"
    "  -h, --help             print this text\n"
    "  -V, --version          print the version\n"
    "\n"
    "Exit status:\n"
    "  0  done: the reply's code is 0 (status: any reply; list: the service answers)\n"
    "  1  menuhold refused the request (a non-zero code; said on stderr too)\n"
    "  2  usage error\n"
    "  3  no reply in time, no service, or a socket or file error\n"
    "  130, 143  ended by SIGINT, SIGTERM\n";

// The bound reply socket path, removed at exit and when a signal ends the program.
char bound_path[sizeof(sockaddr_un::sun_path)];

void on_signal(int signum)
{
    if (bound_path[0]) unlink(bound_path);
    _exit(128 + signum);
}

int say(int status, const std::string& message)
{
    fprintf(stderr, "menuholdctl: %s\n", message.c_str());
    return status;
}

int usage_error(const std::string& message) { return say(kUsage, message + "; see --help"); }

long long now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

struct Request {
    std::string command;
    std::string option;
};

struct Reply {
    std::string command;
    std::string option;
};

class ClientSocket {
public:
    ~ClientSocket()
    {
        if (fd_ >= 0) close(fd_);
        if (bound_path[0]) unlink(bound_path);
        bound_path[0] = '\0';
    }

    // Binds a socket path of our own, so that menuhold can answer.
    bool open(std::string& error)
    {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) return fail(error, std::string("cannot create a socket: ") + strerror(errno));
        for (int attempt = 0; attempt < 100; ++attempt) {
            sockaddr_un addr = {};
            addr.sun_family = AF_UNIX;
            snprintf(addr.sun_path, sizeof addr.sun_path, "/tmp/.menuholdctl.%d.%d", static_cast<int>(getpid()),
                     attempt);
            if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
                memcpy(bound_path, addr.sun_path, sizeof bound_path);
                return true;
            }
            if (errno != EADDRINUSE) return fail(error, std::string("cannot bind a reply socket: ") + strerror(errno));
        }
        return fail(error, "cannot find a free reply socket path in /tmp");
    }

    enum Sent { kSent, kNobodyListens, kSendFailed };

    Sent send(const Request& request, std::string& error)
    {
        operation message{};
        request.command.copy(message.command, sizeof message.command - 1);
        request.option.copy(message.option, sizeof message.option - 1);
        char datagram[protocol::kDatagramSize] = {};
        protocol::encode(message, datagram);
        sockaddr_un to = {};
        to.sun_family = AF_UNIX;
        snprintf(to.sun_path, sizeof to.sun_path, "%s", protocol::kSocketPath);
        if (sendto(fd_, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) >= 0) return kSent;
        if (errno == ENOENT || errno == ECONNREFUSED) {
            error = std::string("menuhold is not running (no one listens on ") + protocol::kSocketPath + ")";
            return kNobodyListens;
        }
        error = std::string("cannot send to ") + protocol::kSocketPath + ": " + strerror(errno);
        return kSendFailed;
    }

    // Waits for the service's reply; datagrams from anyone else are passed over.
    bool receive(long long deadline_ms, Reply& reply, std::string& error)
    {
        for (;;) {
            const long long left = deadline_ms - now_ms();
            pollfd p = {fd_, POLLIN, 0};
            const int ready = left > 0 ? poll(&p, 1, static_cast<int>(left)) : 0;
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return fail(error, "no reply from menuhold within the time-out; is it running and serving?");
            char datagram[protocol::kDatagramSize] = {};
            sockaddr_un from = {};
            socklen_t from_len = sizeof from;
            const ssize_t n = recvfrom(fd_, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&from), &from_len);
            if (n < 0) return fail(error, std::string("cannot receive the reply: ") + strerror(errno));
            if (strncmp(from.sun_path, protocol::kSocketPath, sizeof from.sun_path) != 0) continue;
            const operation message = protocol::decode(datagram, static_cast<size_t>(n));
            reply = {message.command, message.option};
            return true;
        }
    }

private:
    static bool fail(std::string& error, const std::string& message)
    {
        error = message;
        return false;
    }

    int fd_ = -1;
};

// With `wait`, a service that does not listen yet (starting up) is asked again until the
// time-out; the reply is awaited within the same time-out.
bool exchange(const Request& request, double timeout, bool wait, Reply& reply, std::string& error)
{
    const long long deadline_ms = now_ms() + static_cast<long long>(timeout * 1000);
    ClientSocket client;
    if (!client.open(error)) return false;
    for (;;) {
        const ClientSocket::Sent sent = client.send(request, error);
        if (sent == ClientSocket::kSent) return client.receive(deadline_ms, reply, error);
        if (sent == ClientSocket::kSendFailed || !wait || now_ms() >= deadline_ms) return false;
        poll(nullptr, 0, 50);
    }
}

struct JsonDeleter {
    void operator()(cJSON* j) const { cJSON_Delete(j); }
};
using Json = std::unique_ptr<cJSON, JsonDeleter>;

// The one --json shape: every key is always there, null where a command gives nothing.
void print_json(const Request& request, const Reply* reply, const int* code, Json status, Json products)
{
    Json object(cJSON_CreateObject());
    cJSON_AddStringToObject(object.get(), "command", request.command.c_str());
    cJSON_AddStringToObject(object.get(), "option", request.option.c_str());
    cJSON_AddItemToObject(object.get(), "reply", reply ? cJSON_CreateString(reply->option.c_str()) : cJSON_CreateNull());
    cJSON_AddItemToObject(object.get(), "code", code ? cJSON_CreateNumber(*code) : cJSON_CreateNull());
    cJSON_AddItemToObject(object.get(), "status", status ? status.release() : cJSON_CreateNull());
    cJSON_AddItemToObject(object.get(), "products", products ? products.release() : cJSON_CreateNull());
    std::unique_ptr<char, decltype(&cJSON_free)> text(cJSON_PrintUnformatted(object.get()), cJSON_free);
    puts(text ? text.get() : "null");
}

// The status text ("Availability: %s\nProduct name: %s\nFile version:[%s]") as fields.
Json status_fields(const std::string& text)
{
    Json object(cJSON_CreateObject());
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = std::min(text.find('\n', start), text.size());
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.rfind("Availability: ", 0) == 0)
            cJSON_AddBoolToObject(object.get(), "available", line.substr(14) == "Yes");
        else if (line.rfind("Product name: ", 0) == 0)
            cJSON_AddStringToObject(object.get(), "product_name", line.substr(14).c_str());
        else if (line.rfind("File version:[", 0) == 0 && line.back() == ']')
            cJSON_AddStringToObject(object.get(), "file_version", line.substr(14, line.size() - 15).c_str());
    }
    return object;
}

// A decimal number of digits only (no sign, no blanks), at least `lowest`, within int.
bool parse_count(const std::string& text, long lowest, long& value)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    value = strtol(text.c_str(), nullptr, 10);
    return value >= lowest && value <= INT_MAX;
}

// A result code: "0" or a minus sign and digits.
bool parse_code(const std::string& text, int& code)
{
    long magnitude = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (!parse_count(negative ? text.substr(1) : text, negative ? 1 : 0, magnitude)) return false;
    code = static_cast<int>(negative ? -magnitude : magnitude);
    return true;
}

int print_reply(const Request& request, const Reply& reply, bool json)
{
    int code = 0;
    const bool is_status = request.command == protocol::kStatus;
    const bool has_code = !is_status && parse_code(reply.option, code);
    if (json)
        print_json(request, &reply, has_code ? &code : nullptr, is_status ? status_fields(reply.option) : nullptr,
                   nullptr);
    else
        puts(reply.option.c_str());
    if (is_status || (has_code && code == 0)) return kOk;
    return say(kRefused, "menuhold refused \"" + request.command + (request.option.empty() ? "" : " ") +
                             request.option + "\" (reply " + reply.option + ")");
}

// ------------------------------------------------------------------------ list

// A cell as a terminal shows it: control characters and bytes that are not UTF-8 escaped,
// so that a name can never split a row; its width in columns.
struct Cell {
    std::string text;
    size_t width = 0;
};

bool is_wide(unsigned long c)
{
    return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF && c != 0x303F) || (c >= 0xAC00 && c <= 0xD7A3) ||
           (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
           (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) || (c >= 0x1F900 && c <= 0x1F9FF) ||
           (c >= 0x20000 && c <= 0x3FFFD);
}

bool is_zero_width(unsigned long c)
{
    return (c >= 0x0300 && c <= 0x036F) || (c >= 0x200B && c <= 0x200F) || (c >= 0xFE00 && c <= 0xFE0F) || c == 0xFEFF;
}

// Decodes one UTF-8 sequence at s[i]; 0 when it is not one.
size_t utf8_length(const std::string& s, size_t i, unsigned long& c)
{
    const auto b = static_cast<unsigned char>(s[i]);
    const size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    c = n == 1 ? b : b & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
        const auto next = static_cast<unsigned char>(s[i + k]);
        if ((next & 0xC0) != 0x80) return 0;
        c = (c << 6) | (next & 0x3F);
    }
    static const unsigned long kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
    return c >= kShortest[n] && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF) ? n : 0;
}

Cell display_cell(const std::string& raw)
{
    Cell cell;
    char escape[8];
    for (size_t i = 0; i < raw.size();) {
        unsigned long c = 0;
        const size_t n = utf8_length(raw, i, c);
        if (n == 0 || c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0) || c == '\\') {
            const auto byte = static_cast<unsigned char>(raw[i]);
            if (c == '\\' && n == 1)
                snprintf(escape, sizeof escape, "\\\\");
            else if (n == 0 || n == 1)
                snprintf(escape, sizeof escape, "\\x%02X", byte);
            else
                snprintf(escape, sizeof escape, "\\u%04lX", c);
            cell.text += escape;
            cell.width += strlen(escape);
            i += n ? n : 1;
            continue;
        }
        cell.text.append(raw, i, n);
        cell.width += is_zero_width(c) ? 0 : is_wide(c) ? 2 : 1;
        i += n;
    }
    return cell;
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

using Rows = std::vector<std::vector<std::string>>;

bool read_rows(Rows& rows, std::string& error)
{
    std::string text;
    if (!read_file(protocol::kHistoryPath, text)) {
        error = std::string("cannot read ") + protocol::kHistoryPath + ": " + strerror(errno);
        return false;
    }
    Json table(cJSON_Parse(text.c_str()));
    const cJSON* data = table ? cJSON_GetObjectItemCaseSensitive(table.get(), "aaData") : nullptr;
    if (!cJSON_IsArray(data)) {
        error = std::string(protocol::kHistoryPath) + " is not a product table";
        return false;
    }
    rows.push_back({"ID", "Product Name", "File Version"});
    const cJSON* row;
    cJSON_ArrayForEach(row, data)
    {
        std::vector<std::string> cells;
        for (int i = 0; i < 3; ++i) {
            const char* cell = cJSON_GetStringValue(cJSON_GetArrayItem(row, i));
            cells.push_back(cell ? cell : "");
        }
        rows.push_back(cells);
    }
    return true;
}

Json products_json(const Rows& rows)
{
    Json array(cJSON_CreateArray());
    for (size_t r = 1; r < rows.size(); ++r) {
        cJSON* object = cJSON_CreateObject();
        cJSON_AddStringToObject(object, "id", rows[r][0].c_str());
        cJSON_AddStringToObject(object, "product_name", rows[r][1].c_str());
        cJSON_AddStringToObject(object, "file_version", rows[r][2].c_str());
        cJSON_AddItemToArray(array.get(), object);
    }
    return array;
}

void print_table(const Rows& rows)
{
    std::vector<std::vector<Cell>> cells;
    size_t width[3] = {};
    for (const auto& row : rows) {
        cells.emplace_back();
        for (int i = 0; i < 3; ++i) {
            cells.back().push_back(display_cell(row[i]));
            width[i] = std::max(width[i], cells.back()[i].width);
        }
    }
    for (const auto& line : cells) {
        std::string out;
        for (int i = 0; i < 3; ++i) {
            out += line[i].text;
            if (i < 2) out.append(width[i] - line[i].width + 2, ' ');
        }
        puts(out.c_str());
    }
}

// The file alone may be stale: the table counts only while a service answers.
int list_products(double timeout, bool wait, bool json)
{
    const Request probe = {protocol::kStatus, "0"};
    Reply reply;
    std::string error;
    if (!exchange(probe, timeout, wait, reply, error)) return say(kTrouble, error + "; not listing a table that may be stale");
    Rows rows;
    if (!read_rows(rows, error)) return say(kTrouble, error);
    if (json)
        print_json({"list", ""}, nullptr, nullptr, nullptr, products_json(rows));
    else
        print_table(rows);
    return kOk;
}

// --------------------------------------------------------------- command line

struct Options {
    double timeout = 5;
    bool json = false;
    bool wait = false;
    std::vector<std::string> words;
};

bool parse_timeout(const char* text, double& seconds)
{
    char* end = nullptr;
    errno = 0;
    seconds = strtod(text, &end);
    return *text && *end == '\0' && errno == 0 && std::isfinite(seconds) && seconds > 0 && seconds <= kLongestTimeout;
}

// Returns -1 when the program goes on with `options`, else the exit status.
int parse_options(int argc, char** argv, Options& options)
{
    static const option kLong[] = {{"timeout", required_argument, nullptr, 't'},
                                   {"json", no_argument, nullptr, 'j'},
                                   {"wait", no_argument, nullptr, 'w'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, 'V'},
                                   {nullptr, 0, nullptr, 0}};
    opterr = 0;  // one message of our own instead of getopt's
    int c;
    // "+": options end at the command, so that "send CMD -1" passes "-1" on.
    while ((c = getopt_long(argc, argv, "+:t:jwhV", kLong, nullptr)) != -1) {
        switch (c) {
        case 't':
            if (!parse_timeout(optarg, options.timeout))
                return usage_error(std::string("--timeout takes seconds, more than 0 and at most 86400, not '") + optarg +
                                   "'");
            break;
        case 'j': options.json = true; break;
        case 'w': options.wait = true; break;
        case 'h': printf(kHelp, protocol::kSocketPath, protocol::kHistoryPath, protocol::kHistoryPath); return kOk;
        case 'V': printf("menuholdctl %s\n", MENUHOLD_VERSION); return kOk;
        case ':': return usage_error(std::string("option '") + argv[optind - 1] + "' needs a value");
        default: return usage_error(std::string("unknown option '") + argv[optind - 1] + "'");
        }
    }
    options.words.assign(argv + optind, argv + argc);
    return -1;
}

std::string absolute_path(const std::string& path)
{
    if (path.empty() || path[0] == '/') return path;
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) return path;
    return std::string(cwd) + "/" + path;
}

// Turns the words after the options into a request; an empty command word means usage error.
int build_request(const std::vector<std::string>& words, Request& request)
{
    if (words.empty()) return usage_error("no command given");
    const std::string& verb = words[0];
    const size_t arguments = words.size() - 1;
    long number = 0;
    if (verb == protocol::kRefresh && arguments == 0) {
        request = {verb, ""};
    } else if (verb == protocol::kWrite && arguments == 1) {
        request = {verb, absolute_path(words[1])};
    } else if (verb == protocol::kDelete && arguments == 1) {
        if (!parse_count(words[1], 1, number)) return usage_error("delete takes a row ID (1, 2, ...), not '" + words[1] + "'");
        request = {verb, words[1]};
    } else if (verb == protocol::kStatus && arguments == 1) {
        if (!parse_count(words[1], 0, number)) return usage_error("status takes a slot (0, 1, ...), not '" + words[1] + "'");
        request = {verb, words[1]};
    } else if (verb == "send" && (arguments == 1 || arguments == 2)) {
        request = {words[1], arguments == 2 ? words[2] : ""};
    } else {
        return usage_error("'" + verb + "' with " + std::to_string(arguments) + " argument(s) is not a command");
    }
    if (request.command.empty() || request.command.size() >= protocol::kCommandWidth)
        return usage_error("a command word has 1 to " + std::to_string(protocol::kCommandWidth - 1) + " characters");
    if (request.option.size() >= protocol::kOptionWidth)
        return usage_error("an option has at most " + std::to_string(protocol::kOptionWidth - 1) + " characters");
    return -1;
}

}  // namespace

int main(int argc, char** argv)
{
    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    Options options;
    if (const int status = parse_options(argc, argv, options); status >= 0) return status;
    if (!options.words.empty() && options.words[0] == "list") {
        if (options.words.size() != 1) return usage_error("list takes no argument");
        return list_products(options.timeout, options.wait, options.json);
    }
    Request request;
    if (const int status = build_request(options.words, request); status >= 0) return status;
    Reply reply;
    std::string error;
    if (!exchange(request, options.timeout, options.wait, reply, error)) return say(kTrouble, error);
    return print_reply(request, reply, options.json);
}
