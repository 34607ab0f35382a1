// libFuzzer target: an arbitrary datagram of 0 to 600 bytes through the control loop's
// own dispatch (Parts 2.1, 2.2), as from an unprivileged sender. For a "write" the bytes
// after the control message become the content of /tmp/fuzz-upload.json, owned by that
// sender, so that the whole upload path is reached.
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "menuhold_access.h"
#include "sandbox_guard.h"

namespace {

constexpr uid_t kSender = 65534;
std::unique_ptr<Menuhold> service;

void write_upload(const unsigned char* data, size_t size)
{
    const int fd = open("/tmp/fuzz-upload.json", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    if (write(fd, data, size) < 0) {
    }
    if (fchown(fd, kSender, kSender) != 0) {
    }
    close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    require_sandbox();
    mkdir("/tmp/json_menu", 0755);
    mkdir("/tmp/panel_push", 0755);
    service = std::make_unique<Menuhold>();
    if (service->init(0) != 0) __builtin_trap();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size)
{
    if (size > 600) return 0;
    char datagram[500];
    std::memset(datagram, 0, sizeof datagram);
    std::memcpy(datagram, data, size < sizeof datagram ? size : sizeof datagram);
    if (size > 220 && std::strncmp(datagram, "write", 5) == 0) write_upload(data + 220, size - 220);

    operation received;
    operation request;
    std::memcpy(&received, datagram, sizeof received);
    copy_data(&request, &received);
    MenuholdTestAccess::serve(*service, &request, datagram, kSender);
    return 0;
}
