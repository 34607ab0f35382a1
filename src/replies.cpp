// SPDX-License-Identifier: MIT
#include "replies.h"

#include <algorithm>
#include <cerrno>
#include <sys/fsuid.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr socklen_t kAddressLength = sizeof(sockaddr_un);  // 110, as every send uses

// For its lifetime the service's file system identity is the sender's, so that the
// kernel resolves a reply's path, and checks the socket's permission, as for the sender
// itself: a link in the sender's directory cannot lead a reply where the sender may not
// send. The sender's supplementary groups are not known (the credentials carry none), so
// a reply is resolved with less than the sender's rights, never more.
class SenderRights {
public:
    explicit SenderRights(const Sender& sender) : own_uid_(geteuid()), own_gid_(getegid())
    {
        if (sender.uid == static_cast<uid_t>(-1) || sender.gid == static_cast<gid_t>(-1)) return;
        if (sender.uid == own_uid_ && sender.gid == own_gid_) {
            held_ = true;
            return;
        }
        // Both calls report failure only by not changing anything: ask again to see.
        changed_ = true;
        setfsgid(sender.gid);
        setfsuid(sender.uid);
        held_ = static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1))) == sender.uid &&
                static_cast<gid_t>(setfsgid(static_cast<gid_t>(-1))) == sender.gid;
    }
    ~SenderRights()
    {
        if (!changed_) return;
        setfsuid(own_uid_);
        setfsgid(own_gid_);
    }
    SenderRights(const SenderRights&) = delete;
    SenderRights& operator=(const SenderRights&) = delete;

    bool held() const { return held_; }

private:
    const uid_t own_uid_;
    const gid_t own_gid_;
    bool changed_ = false;
    bool held_ = false;
};

bool no_room(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS; }

int send_from(int socket, const char* datagram, size_t size, const sockaddr_un& to)
{
    const auto* address = reinterpret_cast<const struct sockaddr*>(&to);
    ssize_t sent;
    do
        sent = sendto(socket, datagram, size, MSG_DONTWAIT, address, kAddressLength);
    while (sent < 0 && errno == EINTR);
    return sent >= 0 ? 0 : -1;
}

// Bytes of replies sent from the socket and not read yet; -1 if unknown.
int unread_bytes(int socket)
{
    int bytes = -1;
    return ioctl(socket, SIOCOUTQ, &bytes) == 0 ? bytes : -1;
}

}  // namespace

bool Replies::bound_send_buffer(int control_socket)
{
    const int size = kControlSendBuffer;
    return setsockopt(control_socket, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) == 0;
}

int Replies::send(int control_socket, const char* datagram, size_t size, const sockaddr_un& to, const Sender& sender)
{
    const SenderRights rights(sender);
    if (!rights.held()) return -1;
    if (send_from(control_socket, datagram, size, to) == 0) return 0;
    if (!no_room(errno)) return -1;
    const int spare = spare_for(sender.uid);
    return spare >= 0 ? send_from(spare, datagram, size, to) : -1;
}

void Replies::release_idle()
{
    spares_.erase(std::remove_if(spares_.begin(), spares_.end(),
                                 [](const Spare& spare) { return unread_bytes(spare.socket.get()) == 0; }),
                  spares_.end());
}

// The sender's user's spare socket; a new one while fewer than kMostSpares hold unread
// replies. -1 when none can be had.
int Replies::spare_for(uid_t uid)
{
    const auto own = std::find_if(spares_.begin(), spares_.end(), [uid](const Spare& s) { return s.uid == uid; });
    if (own != spares_.end()) return own->socket.get();
    release_idle();
    if (spares_.size() >= kMostSpares) return -1;
    FileDescriptor socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const int size = kSpareSendBuffer;
    if (!socket.valid() || setsockopt(socket.get(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size) != 0) return -1;
    spares_.push_back({uid, std::move(socket)});
    return spares_.back().socket.get();
}
