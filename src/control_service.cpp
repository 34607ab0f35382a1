// SPDX-License-Identifier: MIT
// Control service: the service object's life, the control socket, the control loop and
// the replies.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <sched.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "file_io.h"
#include "menuhold.h"
#include "paths.h"
#include "printable.h"
#include "signals.h"
#include "version.h"

namespace {

constexpr socklen_t kAddressLength = 110;  // sizeof(sockaddr_un), for bind, receive and send
constexpr mode_t kSocketMode = 03567;      // hexadecimal 777: group and others may send
constexpr int kSelectWidth = 1024;
constexpr time_t kWaitSeconds = 3;
// More than the control socket's queue holds, so that one turn reads all that waits.
constexpr size_t kReadAheadPerTurn = 256;
// Each failed bind that finds another user's entry at the path moves it aside; someone who
// makes one again each time cannot win this many times in a row.
constexpr int kBindAttempts = 100;
static_assert(sizeof(sockaddr_un) == kAddressLength, "sockaddr_un is 110 bytes");

// After a failure of select other than a signal, do not spin.
void pause_briefly()
{
    const struct timespec pause = {0, 100 * 1000 * 1000};
    nanosleep(&pause, nullptr);
}

// The sender's process and user as the kernel attached them; unknown without credentials.
// The control buffer has room for the credentials only: descriptors that a client passes
// along do not fit, and the kernel closes them.
Sender sender_of(struct msghdr& msg)
{
    Sender sender;
    for (struct cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS &&
            c->cmsg_len >= CMSG_LEN(sizeof(struct ucred))) {
            struct ucred cred;
            std::memcpy(&cred, CMSG_DATA(c), sizeof cred);
            sender.pid = cred.pid;
            sender.uid = cred.uid;
            sender.gid = cred.gid;
        }
    }
    return sender;
}

// Binds the socket to the control socket's path. Another user's entry that takes the path
// meanwhile (after the unlink of init) is moved aside, again and again if need be; an
// entry of the service's own user (a directory that root made) makes the bind fail.
bool bind_control_socket(int socket)
{
    struct sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, paths::kSocket, sizeof addr.sun_path - 1);
    for (int attempt = 0; attempt < kBindAttempts; ++attempt) {
        if (bind(socket, reinterpret_cast<struct sockaddr*>(&addr), kAddressLength) == 0) return true;
        const int error = errno;
        if (error != EADDRINUSE || !move_aside_if_foreign(paths::kSocket)) {
            errno = error;
            return false;
        }
    }
    errno = EADDRINUSE;
    return false;
}

}  // namespace

Menuhold::Menuhold()
    : debug(0), ctrl_socket(0), initialized(0), c_addr()
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
    running_flag = 1;
    debug = json_debug;
    build_table();

    move_aside_if_foreign(paths::kSocket);
    unlink(paths::kSocket);
    ctrl_socket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (ctrl_socket < 0 || ctrl_socket >= FD_SETSIZE) {
        debugf(debug, "Server open sock: sock create failed: [%s]\n", strerror(ctrl_socket < 0 ? errno : EMFILE));
        if (ctrl_socket >= 0) close(ctrl_socket);
        ctrl_socket = -1;
        return -1;
    }
    debugf(debug, "ctrl_socket=%d\n", ctrl_socket);

    // Every request must say who sent it: without that, no upload could be checked.
    const int on = 1;
    if (setsockopt(ctrl_socket, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
        syslog(LOG_ERR, "cannot receive sender credentials: %s\n", strerror(errno));
        close(ctrl_socket);
        return -1;
    }
    if (!Replies::bound_send_buffer(ctrl_socket)) {
        syslog(LOG_ERR, "cannot bound the replies' buffer: %s\n", strerror(errno));
        close(ctrl_socket);
        return -1;
    }
    if (!bind_control_socket(ctrl_socket)) {
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
        table.clear();
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

    Request request;
    for (;;) {
        log_pending_signals();
        if (!running_flag) break;
        if (requests.empty() && !wait_for_datagrams()) continue;
        read_ahead();
        debug_line(debug, "\n========Data is available ============================================");
        if (!requests.next(request)) {
            debug_line(debug, "Error: cannot receive message from client");
            continue;
        }
        serve(request);
    }
    debug_line(debug, "Stopped looping");
    debugf(debug, "%s(): ended\n", "run");
    syslog(LOG_INFO, "menuhold loop ended\n\n");
    return 0;
}

// Waits up to 3 seconds for a datagram on the control socket; false when none came (a
// time-out, a signal, a failure), which ends the turn. Spare reply sockets whose replies
// have all been read are closed while the service is idle.
bool Menuhold::wait_for_datagrams()
{
    fd_set fds;
    FD_ZERO(&fds);
    FD_SET(ctrl_socket, &fds);
    struct timeval tv = {kWaitSeconds, 0};
    const int ready = select(kSelectWidth, &fds, nullptr, nullptr, &tv);
    if (ready == -1) {
        const int error = errno;
        debugf(debug, "ERROR: select(), [%s]\n", strerror(error));
        debugf(debug, "ctrl_socket[%d]\n", ctrl_socket);
        if (error != EINTR) pause_briefly();
        return false;
    }
    if (ready == 0) {
        debug_line(debug, "Timeout...");
        replies.release_idle();
        return false;
    }
    if (!FD_ISSET(ctrl_socket, &fds)) {
        debug_line(debug, "\n========Data is available ============================================");
        debug_line(debug, "Ctrl_socket is not in FD SET");
        return false;
    }
    return true;
}

// Reads every datagram waiting on the control socket (a bounded number per turn) into the
// queues, so that a request is served in its user's turn whatever came before it. Senders
// that found the socket's queue full sleep until it has room; after a round that read more
// than one datagram they are let in before the next round, so that a burst of them cannot
// keep another user's request out for several turns. A datagram that the service sent
// itself (a reply whose path leads back to the control socket) is never served: answering
// it would start a loop.
void Menuhold::read_ahead()
{
    Request request;
    size_t read = 0;
    for (;;) {
        size_t round = 0;
        for (; read + round < kReadAheadPerTurn && receive(request); ++round) {
            if (request.sender.pid == getpid())
                debug_line(debug, "Passed over a datagram the service sent itself");
            else
                queue_or_serve(request);
        }
        read += round;
        if (round <= 1 || read >= kReadAheadPerTurn) return;
        sched_yield();  // the senders that waited for room now get in
    }
}

// Queues a request read ahead. One that there is no memory to queue is served at once
// rather than lost: it would never be answered.
void Menuhold::queue_or_serve(Request& request)
{
    try {
        if (!requests.push(request)) debug_line(debug, "Dropped a request: its user has too many waiting");
    } catch (const std::bad_alloc&) {
        serve(request);
    }
}

// Receives one datagram, if one waits, with its sender's address and credentials. A
// short datagram reads as if its missing bytes were zero.
bool Menuhold::receive(Request& request)
{
    std::memset(&request.from, 0, sizeof request.from);
    std::memset(request.datagram, 0, sizeof request.datagram);
    struct iovec iov = {request.datagram, sizeof request.datagram};
    union {
        struct cmsghdr align;
        char space[CMSG_SPACE(sizeof(struct ucred))];
    } control;
    struct msghdr msg;
    std::memset(&msg, 0, sizeof msg);
    msg.msg_name = &request.from;
    msg.msg_namelen = kAddressLength;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.space;
    msg.msg_controllen = sizeof control.space;
    if (recvmsg(ctrl_socket, &msg, MSG_DONTWAIT) == -1) return false;
    request.sender = sender_of(msg);
    return true;
}

void Menuhold::serve(Request& request)
{
    c_addr = request.from;
    c_sender = request.sender;
    debugf(debug, "Got message from to [%.*s]\n", static_cast<int>(sizeof c_addr.sun_path), c_addr.sun_path);
    operation fromsocket = protocol::decode(request.datagram, sizeof request.datagram);
    debugf(debug, "[%s][%d] command[%s]\n", "run", __LINE__, fromsocket.command);
    int error;
    if (strcmp(fromsocket.command, protocol::kWrite) == 0) {
        if (strlen(fromsocket.option) > protocol::kLongestWritePath) {
            // A cut path could name another file: refuse it and touch nothing.
            syslog(LOG_ERR, "%s(): Cannot read json file %s\n", "add", printable::escaped(fromsocket.option).c_str());
            error = -1;
        } else {
            debugf(debug, "Write to flash from %s\n", fromsocket.option);
            error = add(fromsocket.option, request.sender.uid);
        }
    } else if (strcmp(fromsocket.command, protocol::kDelete) == 0) {
        const int del_id = atoi_saturated(fromsocket.option);
        debugf(debug, "Delete product with id [%d]\n", del_id);
        debugf(debug, "[%s][%d]JSON list size[%d]\n", "run", __LINE__, static_cast<int>(Json_list.size()));
        error = delete_json(del_id == INT_MIN ? INT_MIN : del_id - 1);
        if (error != 0) syslog(LOG_INFO, "Erase failed[%d]\n", error);
        debugf(debug, "[%s][%d]Return[%d]to setrelay\n", "run", __LINE__, error);
    } else if (strcmp(fromsocket.command, protocol::kStatus) == 0) {
        // The reply is built in the receive buffer: its bytes 220 to 499 stay as received.
        getListStatus(atoi_saturated(fromsocket.option), fromsocket.option);
        protocol::encode(fromsocket, request.datagram);
        if (send_reply(request.datagram) != 0) debug_line(debug, "Send feedback failed");
        return;
    } else if (strcmp(fromsocket.command, protocol::kRefresh) == 0) {
        error = 0;
        refresh_table();
    } else {
        error = -1;
        debug_line(debug, "Invalid command");
    }
    if (sendMsgClient(&fromsocket, error) != 0)
        syslog(LOG_INFO, "Cannot response message from client, may need to restart menuhold\n");
}

int Menuhold::sendMsgClient(operation* toClient, int error)
{
    char error_str[5] = {};
    snprintf(error_str, sizeof error_str, "%d", error);
    std::memset(toClient->option, 0, sizeof toClient->option);
    std::memcpy(toClient->option, error_str, sizeof error_str);
    debugf(debug, "[%s][%d] Send back error[%s]\n", "sendMsgClient", __LINE__, error_str);

    char datagram[protocol::kDatagramSize] = {};
    protocol::encode(*toClient, datagram);
    debugf(debug, "Client option[%s]\n", toClient->option);
    if (send_reply(datagram) != 0) {
        debug_line(debug, "Send feedback failed");
        return -1;
    }
    return 0;
}

// Sends a reply to c_addr, the address of the request being served, resolved with the
// rights of its sender. It never blocks the loop; a reply that cannot go now is dropped.
int Menuhold::send_reply(const char* datagram)
{
    return replies.send(ctrl_socket, datagram, protocol::kDatagramSize, c_addr, c_sender);
}
