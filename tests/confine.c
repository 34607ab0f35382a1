// SPDX-License-Identifier: MIT
// confine ALLOWED LOG PROGRAM [ARGUMENT...]: runs PROGRAM (same process, by exec) under a
// system call filter that lets through the calls named in the file ALLOWED, one per line,
// and reports every other call: its name goes to LOG and the call goes on, so that one run
// lists every call a unit with that filter would refuse. A child of the launcher receives
// the reports; it ends when PROGRAM has ended.
#define _GNU_SOURCE
#include <errno.h>
#include <poll.h>
#include <seccomp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

static int fail(const char* what)
{
    fprintf(stderr, "confine: %s: %s\n", what, strerror(errno));
    return 127;
}

// Writes the name of each reported call to log and lets the call go on.
static void report(int listener, FILE* log)
{
    struct seccomp_notif* request;
    struct seccomp_notif_resp* response;
    if (seccomp_notify_alloc(&request, &response) != 0) return;
    struct pollfd p = {listener, POLLIN, 0};
    while (poll(&p, 1, -1) >= 0 || errno == EINTR) {
        if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) break;
        if (!(p.revents & POLLIN) || seccomp_notify_receive(listener, request) != 0) continue;
        char* name = seccomp_syscall_resolve_num_arch(request->data.arch, request->data.nr);
        fprintf(log, "%s\n", name ? name : "?");
        fflush(log);
        free(name);
        memset(response, 0, sizeof *response);
        response->id = request->id;
        response->flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
        seccomp_notify_respond(listener, response);
    }
}

// One byte with room for one descriptor beside it: the message that carries the listener.
struct carrier {
    char byte;
    struct iovec iov;
    union {
        struct cmsghdr align;
        char space[CMSG_SPACE(sizeof(int))];
    } control;
    struct msghdr msg;
};

static void make_carrier(struct carrier* c)
{
    memset(c, 0, sizeof *c);
    c->iov = (struct iovec){&c->byte, 1};
    c->msg = (struct msghdr){.msg_iov = &c->iov, .msg_iovlen = 1, .msg_control = c->control.space,
                             .msg_controllen = sizeof c->control.space};
}

static int send_descriptor(int socket, int fd)
{
    struct carrier c;
    make_carrier(&c);
    struct cmsghdr* header = CMSG_FIRSTHDR(&c.msg);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(header), &fd, sizeof fd);
    return sendmsg(socket, &c.msg, 0) == 1 ? 0 : -1;
}

static int receive_descriptor(int socket)
{
    struct carrier c;
    make_carrier(&c);
    if (recvmsg(socket, &c.msg, 0) != 1 || !CMSG_FIRSTHDR(&c.msg)) return -1;
    int fd;
    memcpy(&fd, CMSG_DATA(CMSG_FIRSTHDR(&c.msg)), sizeof fd);
    return fd;
}

int main(int argc, char** argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: confine ALLOWED LOG PROGRAM [ARGUMENT...]\n");
        return 2;
    }
    FILE* allowed = fopen(argv[1], "r");
    FILE* log = fopen(argv[2], "a");
    if (!allowed || !log) return fail("cannot open the list or the log");
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_NOTIFY);
    char name[128];
    while (filter && fscanf(allowed, "%127s", name) == 1) {
        const int nr = seccomp_syscall_resolve_name(name);
        if (nr != __NR_SCMP_ERROR && seccomp_rule_add(filter, SCMP_ACT_ALLOW, nr, 0) != 0) return fail(name);
    }
    fclose(allowed);

    // The reports go to a child: the filtered process cannot serve them itself. It gets the
    // listener, which exists only once the filter is loaded, over a socket pair.
    int pair[2];
    if (!filter || socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair) != 0) return fail("setup");
    const pid_t child = fork();
    if (child < 0) return fail("fork");
    if (child == 0) {
        close(pair[0]);
        const int listener = receive_descriptor(pair[1]);
        if (listener >= 0) report(listener, log);
        _exit(0);
    }
    close(pair[1]);
    fclose(log);
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || seccomp_load(filter) != 0) return fail("seccomp");
    const int listener = seccomp_notify_fd(filter);
    if (listener < 0 || send_descriptor(pair[0], listener) != 0) return fail("listener");
    close(listener);
    close(pair[0]);
    seccomp_release(filter);
    execv(argv[3], argv + 3);
    return fail(argv[3]);
}
