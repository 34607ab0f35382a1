// SPDX-License-Identifier: MIT
// Requests read ahead from the control socket, waiting to be served. Every user is served
// in turn, one request each, and each user's requests in the order they were sent. A user
// who had nothing waiting goes before the users whose turn comes round again, so one user's
// flood of costly requests delays another user by the request being served and those of
// others who came just before. The queues are bounded: what does not fit is dropped and
// never answered.
#ifndef MENUHOLD_REQUEST_QUEUE_H
#define MENUHOLD_REQUEST_QUEUE_H

#include <cstddef>
#include <deque>
#include <map>
#include <sys/types.h>
#include <sys/un.h>

#include "protocol.h"

// Who sent a datagram, as the kernel vouches for it; uid and gid -1 without credentials.
struct Sender {
    pid_t pid = 0;
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
};

// One received request: the datagram as received (missing bytes zero), where it came
// from and who sent it. A "status" reply is built in the datagram.
struct Request {
    char datagram[protocol::kDatagramSize];
    struct sockaddr_un from;
    Sender sender;
};

class RequestQueue {
public:
    static constexpr size_t kPerUser = 32;   // a client that waits for its replies needs 1
    static constexpr size_t kInAll = 256;

    // Queues the request behind its user's others. When all queues together are full, the
    // newest request of the user with the most queued makes room, if that user has more
    // queued than this one's. False when the request itself was dropped. Throws
    // std::bad_alloc, with the request not queued, when there is no memory to queue it.
    bool push(const Request& request);
    // Takes the next request in turn; false when none waits.
    bool next(Request& request);
    bool empty() const { return count_ == 0; }
    size_t size() const { return count_; }

private:
    std::map<uid_t, std::deque<Request>> queues_;  // only users with requests waiting
    std::deque<uid_t> turns_;                      // each such user once, next first
    size_t newcomers_ = 0;                         // at the front of turns_: users who had none waiting
    size_t count_ = 0;
};

#endif
