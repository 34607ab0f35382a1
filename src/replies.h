// SPDX-License-Identifier: MIT
// Replies to clients. A reply must never block the loop, must go only where its sender
// could have sent a datagram itself, and the replies that clients leave unread may hold
// only a bounded amount of kernel memory, however many clients hoard them, while a
// client that reads its replies still gets each one.
#ifndef MENUHOLD_REPLIES_H
#define MENUHOLD_REPLIES_H

#include <sys/socket.h>
#include <sys/un.h>
#include <vector>

#include "file_io.h"
#include "request_queue.h"

class Replies {
public:
    // Unread replies stay charged to the socket that sent them until they are read, so
    // each sending socket's send buffer bounds what they hold: the control socket's and
    // that of each spare socket (the kernel doubles these figures for its bookkeeping).
    static constexpr int kControlSendBuffer = 128 * 1024;
    static constexpr int kSpareSendBuffer = 32 * 1024;
    static constexpr size_t kMostSpares = 8;

    // Gives the control socket its bounded send buffer; false (errno set) if it cannot.
    static bool bound_send_buffer(int control_socket);

    // Sends one datagram to `to` with the path resolved with `sender`'s rights, from the
    // control socket; when that has no room (replies that other clients leave unread fill
    // its buffer), from a spare socket of the sender's user. 0, or -1 when not sent.
    int send(int control_socket, const char* datagram, size_t size, const sockaddr_un& to, const Sender& sender);

    // Closes the spare sockets whose replies have all been read.
    void release_idle();

private:
    struct Spare {
        uid_t uid;
        FileDescriptor socket;
    };
    int spare_for(uid_t uid);

    std::vector<Spare> spares_;
};

#endif
