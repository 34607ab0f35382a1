// SPDX-License-Identifier: MIT
#include "signals.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include "menuhold.h"

Menuhold* Json_mgt = nullptr;
volatile sig_atomic_t sig_cnt = 0;

namespace {

// Signal numbers in arrival order; the main flow logs them with their counts.
constexpr int kRecordSlots = 64;
volatile sig_atomic_t recorded_signum[kRecordSlots];
int logged_cnt = 0;  // main flow only

// Formats the decimal text of value at the end of a buffer; returns its start.
char* decimal(char* end, long value)
{
    const bool negative = value < 0;
    unsigned long v = negative ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    *--end = '\0';
    do {
        *--end = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v);
    if (negative) *--end = '-';
    return end;
}

void append(char* buf, size_t size, size_t& used, const char* text)
{
    while (*text && used + 1 < size) buf[used++] = *text++;
    buf[used] = '\0';
}

// The SIGSEGV record, sent to /dev/log with async-signal-safe calls only, in the
// form syslog(3) uses without a time stamp: "<14>menuhold: text".
void log_from_handler(int signum, int count)
{
    char record[160];
    size_t used = 0;
    char num[24];
    append(record, sizeof record, used, "<");
    append(record, sizeof record, used, decimal(num + sizeof num, LOG_USER | LOG_INFO));
    append(record, sizeof record, used, ">");
    append(record, sizeof record, used, program_invocation_short_name);
    append(record, sizeof record, used, ": menuhold exit with signal ");
    append(record, sizeof record, used, decimal(num + sizeof num, signum));
    append(record, sizeof record, used, " (cnt=");
    append(record, sizeof record, used, decimal(num + sizeof num, count));
    append(record, sizeof record, used, ")\n");

    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    struct sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, "/dev/log", sizeof "/dev/log");
    sendto(fd, record, used, MSG_DONTWAIT, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
    close(fd);
}

}  // namespace

void termination_handler(int signum)
{
    const int saved_errno = errno;
    const int count = sig_cnt + 1;
    sig_cnt = count;
    if (count <= kRecordSlots) recorded_signum[count - 1] = signum;
    if (signum == SIGSEGV) {
        // Execution cannot go on after a fault: record, then die by the signal.
        log_from_handler(signum, count);
        signal(SIGSEGV, SIG_DFL);
        raise(SIGSEGV);
        return;
    }
    if (Json_mgt) Json_mgt->stop();
    errno = saved_errno;
}

void install_signal_handlers()
{
    if (signal(SIGTERM, termination_handler) == SIG_ERR) puts("Cannot regist SIGTERM");
    if (signal(SIGSEGV, termination_handler) == SIG_ERR) puts("Cannot register SIGSEGV");
    if (signal(SIGINT, termination_handler) == SIG_ERR) puts("Cannot register SIGINT");
}

void log_pending_signals()
{
    while (logged_cnt < sig_cnt) {  // a signal may come while a record is written
        ++logged_cnt;
        const int slot = logged_cnt <= kRecordSlots ? logged_cnt : kRecordSlots;
        syslog(LOG_INFO, "menuhold exit with signal %d (cnt=%d)\n", recorded_signum[slot - 1], logged_cnt);
    }
}
