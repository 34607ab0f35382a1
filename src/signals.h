// SPDX-License-Identifier: MIT
// Signal handling of the process entry. The handler only counts, records and stops the
// service; everything that is not async-signal-safe happens in the main flow.
#ifndef MENUHOLD_SIGNALS_H
#define MENUHOLD_SIGNALS_H

#include <csignal>

// Number of signals handled since the start; part of each signal's log record.
extern volatile sig_atomic_t sig_cnt;

// The handler for SIGTERM, SIGSEGV and SIGINT. It only counts, records and stops the
// service; the syslog record is written by log_pending_signals() in the main flow.
// SIGSEGV writes its record itself (async-signal-safe) and ends the process.
void termination_handler(int signum);

// Installs termination_handler for SIGTERM, then SIGSEGV, then SIGINT.
void install_signal_handlers();

// Writes "menuhold exit with signal %d (cnt=%d)\n" for every signal not logged yet, in order.
void log_pending_signals();

#endif
