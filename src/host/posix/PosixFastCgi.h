// What the FastCGI listener, its connections and the worker pool share inside the POSIX host.
#pragma once

#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "fastcgi/FastCgiProtocol.h"
#include "host/FastCgi.h"

namespace orvo::posix {

class FastCgiHub;

// Set by the stop signals of a worker (QUIT, TERM, HUP, USR1, USR2); the wait for the next
// request ends at once: `WakeDescriptor()` becomes readable.
extern volatile sig_atomic_t stopRequested;
int WakeDescriptor();
// Installs the worker's signal handling: the stop signals above, INT to end at once.
void InstallWorkerSignals();

// A pool's worker: its end of the channel on which the pool hands it requests (-1 elsewhere).
extern int workerChannel;

// The listener's socket and limits, and the end of listening: no new connections, and `hub`
// takes in hand those made before (FastCgiHub::Stop).
int ListenerDescriptor(FastCgiListener& listener);
const FastCgiLimits& ListenerLimits(FastCgiListener& listener);
void StopListening(FastCgiListener& listener, FastCgiHub& hub);

// The address of a TCP peer ("" for a Unix socket's), and whether it may connect.
std::string PeerAddress(int fd);
bool PeerAllowed(const std::string& peer);

// Ends the process at once, taking the file armed for removal with it (PosixHost::EndProcess);
// safe in a signal handler.
[[noreturn]] void EndProcessNow(int status);

int64_t MonotonicMs();
// One line on the process's standard error (the pool's, which the web server or systemd keeps).
void Say(const std::string& text);

// How a request's answer leaves its connection and its worker.
enum class Answered : char {
  kClose,        // the connection closes
  kKeep,         // the connection may take the next request
  kCloseAndEnd,  // the connection closes, and the worker ends: it takes no other request
};

// The request a worker runs on connection `fd` (taken): its answer goes out as records, straight
// from the program's buffers; `done` learns when it is complete.
std::unique_ptr<FastCgiRequest> MakeAnswerRequest(int fd, fastcgi::Request request,
                                                  const FastCgiLimits& limits,
                                                  std::function<void(Answered)> done);

// The pool's store of a large body: a memory file holding the parameters, then the body as it
// arrives, which HandToWorker passes on as it is.
fastcgi::BodyStoreMaker MemoryFileBodies();
// The pool hands a ready request to a worker over their channel (a sequenced-packet socket pair):
// the connection travels as a descriptor, the parameters and body inline or in a memory file.
// False when the worker is gone.
bool HandToWorker(int channel, uint64_t token, int connection, fastcgi::Request request);
// In the worker: the next request handed over (its connection in `*fd`, its token in `*token`);
// nullopt once the pool closed the channel.
std::optional<fastcgi::Request> ReceiveFromPool(int channel, int* fd, uint64_t* token);
// The worker tells the pool that the request of `token` is answered.
void TellPoolDone(int channel, uint64_t token, Answered answered);
// In the worker, running a request taken while its body arrives: waits until the pool tells that
// more than `have` bytes of it are there, or that it is whole or cut (also when the pool is gone).
fastcgi::Arrival AwaitArrival(int channel, size_t have);

// What a worker said: the request of `token` answered (0: none), or that it waits for more than
// `waitsBeyond` bytes of the body that still arrives.
struct WorkerWord {
  uint64_t token = 0;
  Answered answered = Answered::kClose;
  std::optional<size_t> waitsBeyond;
};
// In the pool: the next word of a worker (an empty one when it said nothing); false once the
// worker is gone.
bool ReadWorkerWord(int channel, WorkerWord* word);
// In the pool: answers a worker's wait for the body.
void TellArrival(int channel, const fastcgi::Arrival& arrival);

}  // namespace orvo::posix
