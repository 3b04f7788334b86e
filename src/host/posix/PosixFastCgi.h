// What the FastCGI listener and the worker pool share inside the POSIX host.
#pragma once

#include <atomic>
#include <csignal>
#include <cstdint>
#include <string>

#include "host/FastCgi.h"

namespace orvo::posix {

// A worker's line in the pool's table, in memory shared by the pool and its workers.
struct WorkerSlot {
  std::atomic<int64_t> busySinceMs{0};  // 0 while no request is open
  std::atomic<uint64_t> served{0};
};

// This worker's slot; nullptr in a process outside a pool.
extern WorkerSlot* currentSlot;

// Set by the stop signals of a worker (QUIT, TERM, HUP, USR1, USR2); the wait for the next
// request ends at once: `wakeFd` becomes readable.
extern volatile sig_atomic_t stopRequested;
int WakeDescriptor();
// Installs the worker's signal handling: the stop signals above, INT to end at once.
void InstallWorkerSignals();

// The listener's socket, and the removal of its socket file (OpenFastCgiListener's listeners).
int ListenerDescriptor(FastCgiListener& listener);
void RemoveListenerFile(FastCgiListener& listener);

// Ends the process at once, taking the file armed for removal with it (PosixHost::EndProcess);
// safe in a signal handler.
[[noreturn]] void EndProcessNow(int status);

int64_t MonotonicMs();
// One line on the process's standard error (the pool's, which the web server or systemd keeps).
void Say(const std::string& text);

}  // namespace orvo::posix
