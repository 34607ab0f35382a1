// Control service (Parts 2.1 and 2.2): the service object's life, the control socket,
// the control loop and the replies.
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "bounded.h"
#include "menuhold.h"
#include "paths.h"
#include "signals.h"
#include "version.h"

namespace {

constexpr int kDatagramSize = 500;
constexpr socklen_t kAddressLength = 110;  // sizeof(sockaddr_un), for bind, receive and send
constexpr mode_t kSocketMode = 03567;      // hexadecimal 777: group and others may send
constexpr int kSelectWidth = 1024;
constexpr time_t kWaitSeconds = 3;
static_assert(sizeof(sockaddr_un) == kAddressLength, "sockaddr_un is 110 bytes");

// After a failure of select other than a signal, do not spin.
void pause_briefly()
{
    const struct timespec pause = {0, 100 * 1000 * 1000};
    nanosleep(&pause, nullptr);
}

}  // namespace

Menuhold::Menuhold()
    : debug(0), ctrl_socket(0), initialized(0), c_addr(), table_root(), table_aaData(nullptr)
{
    unlink(paths::kSocket);
}

Menuhold::~Menuhold()
{
    uninit();
    debugf(debug, "%s(): after uninit\n", "~Menuhold");
    syslog(LOG_INFO, "Menuhold (PID: %d) exit\n", getpid());
}

int Menuhold::init(int json_debug)
{
    table_root.reset(cJSON_CreateObject());
    running_flag = 1;
    debug = json_debug;
    build_table();

    unlink(paths::kSocket);
    ctrl_socket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (ctrl_socket < 0 || ctrl_socket >= FD_SETSIZE) {
        debugf(debug, "Server open sock: sock create failed: [%s]\n", strerror(ctrl_socket < 0 ? errno : EMFILE));
        if (ctrl_socket >= 0) close(ctrl_socket);
        ctrl_socket = -1;
        return -1;
    }
    debugf(debug, "ctrl_socket=%d\n", ctrl_socket);

    // Every request carries its sender's credentials (DESIGN.md D5).
    const int on = 1;
    setsockopt(ctrl_socket, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);

    struct sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    copy_bounded(addr.sun_path, sizeof addr.sun_path, paths::kSocket);
    if (bind(ctrl_socket, reinterpret_cast<struct sockaddr*>(&addr), kAddressLength) < 0) {
        debugf(debug, "bind: bind failed: [%s]\n", strerror(errno));
        close(ctrl_socket);
        return -1;
    }
    if (chmod(paths::kSocket, kSocketMode) < 0) {
        debugf(debug, "Cannot chmod [%s], error: [%s]\n", paths::kSocket, strerror(errno));
        return -1;
    }
    initialized += 1;
    return 0;
}

int Menuhold::stop()
{
    // Called from the signal handler: only async-signal-safe work here.
    running_flag = 0;
    if (debug_on(debug)) {
        static const char kText[] = "stopping\n";
        ssize_t ignored = write(STDOUT_FILENO, kText, sizeof kText - 1);
        (void)ignored;
    }
    return 0;
}

void Menuhold::uninit()
{
    if (initialized != 0) {
        debugf(debug, "%s(): to unlink %s\n", "uninit", paths::kSocket);
        unlink(paths::kSocket);
        close(ctrl_socket);
        debugf(debug, "%s(): to delete table_root\n", "uninit");
        table_root.reset();
        table_aaData = nullptr;
        table_rows.clear();
        ctrl_socket = 0;
        Json_list.clear();
    }
    initialized = 0;
    debugf(debug, "%s(): done\n", "uninit");
}

int Menuhold::run()
{
    if (initialized == 0) {
        syslog(LOG_INFO, "Menuhold is not init yet\n");
        return -1;
    }
    debug_line(debug, "Start looping");

    fd_set fds;
    struct timeval tv;
    char buffer[kDatagramSize];
    operation fromsocket;
    for (;;) {
        log_pending_signals();
        if (!running_flag) break;

        FD_ZERO(&fds);
        FD_SET(ctrl_socket, &fds);
        tv.tv_sec = kWaitSeconds;
        tv.tv_usec = 0;
        const int ready = select(kSelectWidth, &fds, nullptr, nullptr, &tv);
        if (ready == -1) {
            const int error = errno;
            debugf(debug, "ERROR: select(), [%s]\n", strerror(error));
            debugf(debug, "ctrl_socket[%d]\n", ctrl_socket);
            if (error != EINTR) pause_briefly();
            continue;
        }
        if (ready == 0) {
            debug_line(debug, "Timeout...");
            continue;
        }
        debug_line(debug, "\n========Data is available ============================================");
        if (!FD_ISSET(ctrl_socket, &fds)) {
            debug_line(debug, "Ctrl_socket is not in FD SET");
            continue;
        }

        if (!receive_request(buffer)) {
            debug_line(debug, "Error: cannot receive message from client");
            continue;
        }
        debugf(debug, "Got message from to [%.*s]\n", static_cast<int>(sizeof c_addr.sun_path), c_addr.sun_path);

        operation received;
        std::memcpy(&received, buffer, sizeof received);
        copy_data(&fromsocket, &received);
        debugf(debug, "[%s][%d] command[%s]\n", "run", __LINE__, fromsocket.command);
        serve_request(&fromsocket, buffer);
        c_uid_known = false;  // the credentials were this request's only
    }
    debug_line(debug, "Stopped looping");
    debugf(debug, "%s(): ended\n", "run");
    syslog(LOG_INFO, "menuhold loop ended\n\n");
    return 0;
}

// Receives one datagram into buffer (500 bytes), its sender into c_addr and the sender's
// credentials. A short datagram reads as if its missing bytes were zero (DESIGN.md D4).
bool Menuhold::receive_request(char* buffer)
{
    std::memset(&c_addr, 0, sizeof c_addr);
    std::memset(buffer, 0, kDatagramSize);
    struct iovec iov = {buffer, kDatagramSize};
    union {
        struct cmsghdr align;
        char space[CMSG_SPACE(sizeof(struct ucred))];
    } control;
    struct msghdr msg;
    std::memset(&msg, 0, sizeof msg);
    msg.msg_name = &c_addr;
    msg.msg_namelen = kAddressLength;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.space;
    msg.msg_controllen = sizeof control.space;
    if (recvmsg(ctrl_socket, &msg, MSG_DONTWAIT) == -1) return false;
    receive_credentials(msg);
    return true;
}

// A sender without credentials counts as unprivileged (uid -1).
void Menuhold::receive_credentials(const struct msghdr& msg)
{
    c_uid = static_cast<uid_t>(-1);
    c_uid_known = true;
    for (struct cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(const_cast<struct msghdr*>(&msg), c)) {
        if (c->cmsg_level != SOL_SOCKET) continue;
        if (c->cmsg_type == SCM_CREDENTIALS && c->cmsg_len >= CMSG_LEN(sizeof(struct ucred))) {
            struct ucred cred;
            std::memcpy(&cred, CMSG_DATA(c), sizeof cred);
            c_uid = cred.uid;
        } else if (c->cmsg_type == SCM_RIGHTS) {
            // Descriptors a client passed along are not ours to keep.
            const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < count; ++i) {
                int fd;
                std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
                close(fd);
            }
        }
    }
}

void Menuhold::serve_request(operation* fromsocket, char* buffer)
{
    int error;
    if (strcmp(fromsocket->command, "write") == 0) {
        error = serve_write(fromsocket->option);
    } else if (strcmp(fromsocket->command, "delete") == 0) {
        const int del_id = atoi_saturated(fromsocket->option);
        debugf(debug, "Delete product with id [%d]\n", del_id);
        debugf(debug, "[%s][%d]JSON list size[%d]\n", "run", __LINE__, static_cast<int>(Json_list.size()));
        error = delete_json(del_id == INT_MIN ? INT_MIN : del_id - 1);
        if (error != 0) syslog(LOG_INFO, "Erase failed[%d]\n", error);
        debugf(debug, "[%s][%d]Return[%d]to setrelay\n", "run", __LINE__, error);
    } else if (strcmp(fromsocket->command, "status") == 0) {
        send_status_reply(fromsocket, buffer);
        return;
    } else if (strcmp(fromsocket->command, "refresh") == 0) {
        error = 0;
        refresh_table();
    } else {
        error = -1;
        debug_line(debug, "Invalid command");
    }
    if (sendMsgClient(fromsocket, error) != 0)
        syslog(LOG_INFO, "Cannot response message from client, may need to restart menuhold\n");
}

int Menuhold::serve_write(const char* path)
{
    char file_addr[100];
    std::memset(file_addr, 0, sizeof file_addr);
    if (strlen(path) >= sizeof file_addr) {
        // A cut path could name another file: refuse it and touch nothing (DESIGN.md D4).
        syslog(LOG_ERR, "%s(): Cannot read json file %s\n", "add", path);
        return -1;
    }
    copy_bounded(file_addr, sizeof file_addr, path);
    debugf(debug, "Write to flash from %s\n", file_addr);
    return add(file_addr);
}

// The "status" reply is built in the receive buffer, whose bytes 220 to 499 still hold
// what the request carried there (Part 2.1).
void Menuhold::send_status_reply(operation* fromsocket, char* buffer)
{
    char status_buffer[200];
    std::memset(status_buffer, 0, sizeof status_buffer);
    const int block = atoi_saturated(fromsocket->option);
    getListStatus(block, status_buffer);

    std::memset(fromsocket->option, 0, sizeof fromsocket->option);
    copy_bounded(fromsocket->option, sizeof fromsocket->option, status_buffer);
    operation reply;
    copy_data(&reply, fromsocket);
    std::memcpy(buffer, &reply, sizeof reply);
    if (sendto(ctrl_socket, buffer, kDatagramSize, MSG_DONTWAIT, reinterpret_cast<struct sockaddr*>(&c_addr),
               kAddressLength) < 0)
        debug_line(debug, "Send feedback failed");
}

int Menuhold::sendMsgClient(operation* toClient, int error)
{
    char datagram[kDatagramSize];
    char error_str[5];
    std::memset(datagram, 0, sizeof datagram);
    std::memset(error_str, 0, sizeof error_str);
    snprintf(error_str, sizeof error_str, "%d", error);

    std::memset(toClient->option, 0, sizeof toClient->option);
    copy_bounded(toClient->option, sizeof toClient->option, error_str);
    debugf(debug, "[%s][%d] Send back error[%s]\n", "sendMsgClient", __LINE__, error_str);

    operation reply;
    copy_data(&reply, toClient);
    std::memcpy(datagram, &reply, sizeof reply);
    debugf(debug, "Client option[%s]\n", toClient->option);

    // A client that does not read its replies must not stall the service (DESIGN.md D3).
    if (sendto(ctrl_socket, datagram, kDatagramSize, MSG_DONTWAIT, reinterpret_cast<struct sockaddr*>(&c_addr),
               kAddressLength) < 0) {
        debug_line(debug, "Send feedback failed");
        return -1;
    }
    return 0;
}
