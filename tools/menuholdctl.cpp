// SPDX-License-Identifier: MIT
// menuholdctl: sends one request to a running menuhold and prints its reply, for operators
// and scripts; see --help. The wire format comes from protocol.h alone.
#include <algorithm>
#include <cerrno>
#include <cjson/cJSON.h>
#include <climits>
#include <clocale>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <getopt.h>
#include <langinfo.h>
#include <memory>
#include <optional>
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
    "  -j, --json             print one JSON object whatever happens: {\"command\", \"option\",\n"
    "                         \"reply\", \"code\", \"status\", \"products\", \"error\"}; what a\n"
    "                         command does not give is null, \"error\" is null on success\n"
    "  -h, --help             print this text\n"
    "  -V, --version          print the version\n"
    "\n"
    "Exit status:\n"
    "  0  done: the reply's code is 0 (status: any reply; list: the service answers)\n"
    "  1  menuhold refused the request (a non-zero code; said on stderr too)\n"
    "  2  usage error\n"
    "  3  no reply in time, no service, or a socket or file error\n"
    "  130, 143  ended by SIGINT, SIGTERM\n";

struct Request {
    std::string command;
    std::string option;
};

struct Reply {
    std::string command;
    std::string option;
};

using Rows = std::vector<std::vector<std::string>>;

// How the program ends: its exit status and, unless all went well, the reason in one line.
struct Outcome {
    int status = kOk;
    std::string error;
};

Outcome trouble(const std::string& error) { return {kTrouble, error}; }

long long now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// ---------------------------------------------------------------- signals

// SIGINT and SIGTERM stay blocked except inside wait_until(), so a signal always ends the
// wait it arrives in, and the program then ends as usual: its JSON object printed, its
// reply socket removed.
volatile sig_atomic_t ended_by = 0;
sigset_t waiting_mask;  // the mask while waiting: the caller's, with both signals let through

void on_signal(int signum) { ended_by = signum; }

void hold_signals()
{
    sigset_t both;
    sigemptyset(&both);
    sigaddset(&both, SIGINT);
    sigaddset(&both, SIGTERM);
    sigprocmask(SIG_BLOCK, &both, &waiting_mask);
    sigdelset(&waiting_mask, SIGINT);
    sigdelset(&waiting_mask, SIGTERM);
    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

Outcome interrupted() { return {128 + ended_by, ended_by == SIGINT ? "ended by SIGINT" : "ended by SIGTERM"}; }

enum Waited { kReady, kTimedOut, kInterrupted };

// Waits until fd is readable (fd -1: until the deadline), the deadline passes or a signal comes.
Waited wait_until(long long deadline_ms, int fd = -1)
{
    for (;;) {
        if (ended_by) return kInterrupted;
        const long long left = deadline_ms - now_ms();
        if (left <= 0) return kTimedOut;
        pollfd p = {fd, POLLIN, 0};
        const timespec span = {static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000};
        if (ppoll(&p, fd >= 0 ? 1 : 0, &span, &waiting_mask) > 0) return kReady;
    }
}

// ------------------------------------------------------------------ socket

// The reply socket is bound in a directory of its own, made with an unguessable name and
// mode 0700, so nobody can take its name in advance and only the service, root and this
// user can send to it: whatever arrives is the reply, from whichever socket the service
// sent it.
class ReplySocket {
public:
    ~ReplySocket()
    {
        if (fd_ >= 0) close(fd_);
        if (!path_.empty()) unlink(path_.c_str());
        if (!dir_.empty()) rmdir(dir_.c_str());
    }

    Outcome open()
    {
        char dir[] = "/tmp/menuholdctl.XXXXXX";
        if (!mkdtemp(dir)) return trouble(std::string("cannot make a directory in /tmp: ") + strerror(errno));
        dir_ = dir;
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) return trouble(std::string("cannot create a socket: ") + strerror(errno));
        const sockaddr_un addr = address(dir_ + "/reply");
        if (bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
            return trouble("cannot bind a reply socket in " + dir_ + ": " + strerror(errno));
        path_ = addr.sun_path;
        return {};
    }

    enum Sent { kSent, kNobodyListens, kQueueFull, kSendFailed };

    // Never blocks: a service whose queue is full is asked again by the caller; `error` says
    // why it was not sent, should it stay so.
    Sent send(const Request& request, std::string& error)
    {
        operation message{};
        request.command.copy(message.command, sizeof message.command - 1);
        request.option.copy(message.option, sizeof message.option - 1);
        char datagram[protocol::kDatagramSize] = {};
        protocol::encode(message, datagram);
        const sockaddr_un to = address(protocol::kSocketPath);
        const auto* target = reinterpret_cast<const sockaddr*>(&to);
        if (sendto(fd_, datagram, sizeof datagram, MSG_DONTWAIT, target, sizeof to) >= 0) return kSent;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            error = "menuhold's queue stayed full within the time-out";
            return kQueueFull;
        }
        if (errno == ENOENT || errno == ECONNREFUSED) {
            error = std::string("menuhold is not running (no one listens on ") + protocol::kSocketPath + ")";
            return kNobodyListens;
        }
        error = std::string("cannot send to ") + protocol::kSocketPath + ": " + strerror(errno);
        return kSendFailed;
    }

    Outcome receive(long long deadline_ms, Reply& reply)
    {
        const Waited waited = wait_until(deadline_ms, fd_);
        if (waited == kInterrupted) return interrupted();
        if (waited == kTimedOut)
            return trouble("no reply from menuhold within the time-out; is it running and serving?");
        char datagram[protocol::kDatagramSize] = {};
        const ssize_t n = recv(fd_, datagram, sizeof datagram, MSG_DONTWAIT);
        if (n < 0) return trouble(std::string("cannot receive the reply: ") + strerror(errno));
        const operation message = protocol::decode(datagram, static_cast<size_t>(n));
        reply = {message.command, message.option};
        return {};
    }

private:
    static sockaddr_un address(const std::string& path)
    {
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        return addr;
    }

    int fd_ = -1;
    std::string dir_;
    std::string path_;
};

// With `wait`, a service that does not listen yet (starting up) is asked again until the
// time-out; a full queue is always asked again; the reply is awaited within the same time-out.
Outcome exchange(const Request& request, double timeout, bool wait, Reply& reply)
{
    const long long deadline_ms = now_ms() + static_cast<long long>(timeout * 1000);
    ReplySocket socket;
    if (Outcome opened = socket.open(); opened.status != kOk) return opened;
    for (;;) {
        std::string error;
        const ReplySocket::Sent sent = socket.send(request, error);
        if (sent == ReplySocket::kSent) return socket.receive(deadline_ms, reply);
        const bool again = sent == ReplySocket::kQueueFull || (sent == ReplySocket::kNobodyListens && wait);
        if (!again) return trouble(error);
        const Waited waited = wait_until(std::min(deadline_ms, now_ms() + (sent == ReplySocket::kQueueFull ? 10 : 50)));
        if (waited == kInterrupted) return interrupted();
        if (now_ms() >= deadline_ms) return trouble(error);
    }
}

// ------------------------------------------------------------------- reply

// A decimal number of digits only (no sign, no blanks), at least `lowest`, within int.
bool parse_count(const std::string& text, long lowest, long& value)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    value = strtol(text.c_str(), nullptr, 10);
    return value >= lowest && value <= INT_MAX;
}

// The result code of a reply to anything but "status": "0" or a minus sign and digits.
std::optional<int> reply_code(const Request& request, const Reply& reply)
{
    if (request.command == protocol::kStatus) return std::nullopt;
    const std::string& text = reply.option;
    long magnitude = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (!parse_count(negative ? text.substr(1) : text, negative ? 1 : 0, magnitude)) return std::nullopt;
    return static_cast<int>(negative ? -magnitude : magnitude);
}

// "status" is done with any reply; every other command with the code 0.
Outcome judge(const Request& request, const Reply& reply)
{
    const std::optional<int> code = reply_code(request, reply);
    if (request.command == protocol::kStatus || code == 0) return {};
    return {kRefused, "menuhold refused \"" + request.command + (request.option.empty() ? "" : " ") + request.option +
                          "\" (reply " + reply.option + ")"};
}

// ------------------------------------------------------------------- JSON

struct JsonDeleter {
    void operator()(cJSON* j) const { cJSON_Delete(j); }
};
using Json = std::unique_ptr<cJSON, JsonDeleter>;

cJSON* string_or_null(const std::string* text) { return text ? cJSON_CreateString(text->c_str()) : cJSON_CreateNull(); }

// The status text ("Availability: %s\nProduct name: %s\nFile version:[%s]") as fields; a
// free slot names no product and no version.
cJSON* status_fields(const std::string& text)
{
    std::string available, name, version;
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size());
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.rfind("Availability: ", 0) == 0) available = line.substr(14);
        if (line.rfind("Product name: ", 0) == 0) name = line.substr(14);
        if (line.rfind("File version:[", 0) == 0 && line.back() == ']') version = line.substr(14, line.size() - 15);
    }
    const bool free_slot = available == "Yes";
    cJSON* object = cJSON_CreateObject();
    cJSON_AddBoolToObject(object, "available", free_slot);
    cJSON_AddItemToObject(object, "product_name", string_or_null(free_slot ? nullptr : &name));
    cJSON_AddItemToObject(object, "file_version", string_or_null(free_slot ? nullptr : &version));
    return object;
}

cJSON* products_json(const Rows& rows)
{
    cJSON* array = cJSON_CreateArray();
    for (size_t r = 1; r < rows.size(); ++r) {
        cJSON* object = cJSON_CreateObject();
        cJSON_AddStringToObject(object, "id", rows[r][0].c_str());
        cJSON_AddStringToObject(object, "product_name", rows[r][1].c_str());
        cJSON_AddStringToObject(object, "file_version", rows[r][2].c_str());
        cJSON_AddItemToArray(array, object);
    }
    return array;
}

// The one --json shape, whatever happened: every key is always there, null where there is
// nothing to say (no request formed, no reply, not "status", not "list", no error).
void print_json(const Request* request, const Reply* reply, const Rows* rows, const Outcome& outcome)
{
    Json object(cJSON_CreateObject());
    cJSON_AddItemToObject(object.get(), "command", string_or_null(request ? &request->command : nullptr));
    cJSON_AddItemToObject(object.get(), "option", string_or_null(request ? &request->option : nullptr));
    cJSON_AddItemToObject(object.get(), "reply", string_or_null(reply ? &reply->option : nullptr));
    const std::optional<int> code = reply ? reply_code(*request, *reply) : std::nullopt;
    cJSON_AddItemToObject(object.get(), "code", code ? cJSON_CreateNumber(*code) : cJSON_CreateNull());
    const bool is_status = reply && request->command == protocol::kStatus;
    cJSON_AddItemToObject(object.get(), "status", is_status ? status_fields(reply->option) : cJSON_CreateNull());
    cJSON_AddItemToObject(object.get(), "products", rows ? products_json(*rows) : cJSON_CreateNull());
    cJSON_AddItemToObject(object.get(), "error", string_or_null(outcome.status == kOk ? nullptr : &outcome.error));
    std::unique_ptr<char, decltype(&cJSON_free)> text(cJSON_PrintUnformatted(object.get()), cJSON_free);
    puts(text ? text.get() : "null");
}

// -------------------------------------------------------------------- list

// Display widths are the C library's, which knows them only under a UTF-8 locale:
// "C.UTF-8" is built into musl and into glibc since 2.35; else the environment's, if it
// is UTF-8. Without one, every byte over 0x7F is escaped, so the table still lines up.
bool use_utf8_locale()
{
    const auto utf8 = [] { return strcmp(nl_langinfo(CODESET), "UTF-8") == 0; };
    return (setlocale(LC_CTYPE, "C.UTF-8") && utf8()) || (setlocale(LC_CTYPE, "") && utf8());
}

// A cell as a terminal shows it, with its width in columns. Whatever the C library does not
// call printable (control characters, code points it does not know), backslashes and bytes
// that are not UTF-8 are escaped, so that a name can never split or shift a row.
struct Cell {
    std::string text;
    size_t width = 0;
};

Cell display_cell(const std::string& raw, bool utf8)
{
    Cell cell;
    mbstate_t state = {};
    for (size_t i = 0; i < raw.size();) {
        const auto byte = static_cast<unsigned char>(raw[i]);
        wchar_t c = 0;
        size_t n = utf8 || byte < 0x80 ? mbrtowc(&c, &raw[i], raw.size() - i, &state) : static_cast<size_t>(-1);
        const bool decoded = n > 0 && n <= 4;  // else not UTF-8, or a NUL
        const int width = decoded ? wcwidth(c) : -1;
        if (decoded && width >= 0 && c != L'\\') {
            cell.text.append(raw, i, n);
            cell.width += static_cast<size_t>(width);
            i += n;
            continue;
        }
        char escape[16] = "\\\\";  // a backslash, doubled
        const auto code = static_cast<unsigned>(c);
        if (!decoded) {
            state = {};
            n = 1;
            snprintf(escape, sizeof escape, "\\x%02X", byte);
        } else if (c != L'\\') {
            snprintf(escape, sizeof escape, code < 0x80 ? "\\x%02X" : code > 0xFFFF ? "\\U%08X" : "\\u%04X", code);
        }
        cell.text += escape;
        cell.width += strlen(escape);
        i += n;
    }
    return cell;
}

void print_table(const Rows& rows)
{
    const bool utf8 = use_utf8_locale();
    std::vector<std::vector<Cell>> cells;
    size_t width[3] = {};
    for (const auto& row : rows) {
        cells.emplace_back();
        for (int i = 0; i < 3; ++i) {
            cells.back().push_back(display_cell(row[i], utf8));
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

bool read_file(const char* path, std::string& out)
{
    std::unique_ptr<FILE, decltype(&fclose)> file(fopen(path, "rb"), fclose);
    if (!file) return false;
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file.get())) > 0) out.append(chunk, n);
    return !ferror(file.get());
}

// The history file's rows after a title row.
Outcome read_rows(Rows& rows)
{
    std::string text;
    if (!read_file(protocol::kHistoryPath, text))
        return trouble(std::string("cannot read ") + protocol::kHistoryPath + ": " + strerror(errno));
    Json table(cJSON_Parse(text.c_str()));
    const cJSON* data = table ? cJSON_GetObjectItemCaseSensitive(table.get(), "aaData") : nullptr;
    if (!cJSON_IsArray(data)) return trouble(std::string(protocol::kHistoryPath) + " is not a product table");
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
    return {};
}

// The file alone may be stale: the table counts only while a service answers.
Outcome list_products(double timeout, bool wait, std::optional<Rows>& rows)
{
    Reply probe;
    Outcome answered = exchange({protocol::kStatus, "0"}, timeout, wait, probe);
    if (answered.status == kTrouble) answered.error += "; not listing a table that may be stale";
    if (answered.status != kOk) return answered;
    Rows read;
    Outcome outcome = read_rows(read);
    if (outcome.status == kOk) rows = std::move(read);
    return outcome;
}

// ------------------------------------------------------------ command line

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

// Reads every option, so that --json counts wherever it stands; `usage` gets the first
// mistake. Returns false when --help or --version has been answered.
bool parse_options(int argc, char** argv, Options& options, std::string& usage)
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
        std::string mistake;
        switch (c) {
        case 't':
            if (!parse_timeout(optarg, options.timeout))
                mistake = std::string("--timeout takes seconds, more than 0 and at most 86400, not '") + optarg + "'";
            break;
        case 'j': options.json = true; break;
        case 'w': options.wait = true; break;
        case 'h': printf(kHelp, protocol::kSocketPath, protocol::kHistoryPath, protocol::kHistoryPath); return false;
        case 'V': printf("menuholdctl %s\n", MENUHOLD_VERSION); return false;
        case ':': mistake = std::string("option '") + argv[optind - 1] + "' needs a value"; break;
        default: mistake = std::string("unknown option '") + argv[optind - 1] + "'"; break;
        }
        if (usage.empty()) usage = mistake;
    }
    options.words.assign(argv + optind, argv + argc);
    return true;
}

std::string absolute_path(const std::string& path)
{
    if (path.empty() || path[0] == '/') return path;
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) return path;
    return std::string(cwd) + "/" + path;
}

// Turns the words after the options into a request ("list" and "" for list); returns the
// usage mistake, empty when there is none.
std::string build_request(const std::vector<std::string>& words, Request& request)
{
    if (words.empty()) return "no command given";
    const std::string& verb = words[0];
    const size_t arguments = words.size() - 1;
    long number = 0;
    if ((verb == protocol::kRefresh || verb == "list") && arguments == 0) {
        request = {verb, ""};
    } else if (verb == protocol::kWrite && arguments == 1) {
        request = {verb, absolute_path(words[1])};
    } else if (verb == protocol::kDelete && arguments == 1) {
        if (!parse_count(words[1], 1, number)) return "delete takes a row ID (1, 2, ...), not '" + words[1] + "'";
        request = {verb, words[1]};
    } else if (verb == protocol::kStatus && arguments == 1) {
        if (!parse_count(words[1], 0, number)) return "status takes a slot (0, 1, ...), not '" + words[1] + "'";
        request = {verb, words[1]};
    } else if (verb == "send" && (arguments == 1 || arguments == 2)) {
        request = {words[1], arguments == 2 ? words[2] : ""};
    } else {
        return "'" + verb + "' with " + std::to_string(arguments) + " argument(s) is not a command";
    }
    if (request.command.empty() || request.command.size() >= protocol::kCommandWidth)
        return "a command word has 1 to " + std::to_string(protocol::kCommandWidth - 1) + " characters";
    if (request.option.size() >= protocol::kOptionWidth)
        return "an option has at most " + std::to_string(protocol::kOptionWidth - 1) + " characters";
    return "";
}

}  // namespace

int main(int argc, char** argv)
{
    hold_signals();
    Options options;
    std::string usage;
    if (!parse_options(argc, argv, options, usage)) return kOk;
    Request built;
    if (usage.empty()) usage = build_request(options.words, built);
    const std::optional<Request> request = usage.empty() ? std::optional<Request>(built) : std::nullopt;

    std::optional<Reply> reply;
    std::optional<Rows> rows;
    Outcome outcome{kUsage, usage + "; see --help"};
    if (request && options.words[0] == "list") {  // not "send list"
        outcome = list_products(options.timeout, options.wait, rows);
    } else if (request) {
        Reply received;
        outcome = exchange(*request, options.timeout, options.wait, received);
        if (outcome.status == kOk) outcome = judge(*request, reply.emplace(received));
    }

    if (options.json)
        print_json(request ? &*request : nullptr, reply ? &*reply : nullptr, rows ? &*rows : nullptr, outcome);
    else if (reply)
        puts(reply->option.c_str());
    else if (rows)
        print_table(*rows);
    if (outcome.status != kOk && !ended_by) fprintf(stderr, "menuholdctl: %s\n", outcome.error.c_str());
    return outcome.status;
}
