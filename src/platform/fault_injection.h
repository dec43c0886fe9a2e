// SPDX-License-Identifier: MIT
// Fault injection: tests make chosen platform operations fail with a chosen
// error number, to reach failure paths that cannot be provoked for real,
// and see what an operation gave the system where the system cannot tell.
// A failure made this way looks to the caller exactly like a real one: the
// operation returns its failure value and the thread's last socket (or
// system) error holds the number.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace zortcp::platform::faults {

enum class Operation {
  kOpenSocket,
  kBind,
  kListen,
  kAccept,
  kConnect,
  kPollReadable,
  kPollWritable,
  kReceive,
  kSend,
  kSetNonBlocking,
  kPendingBytes,
  kSetReceiveBufferSize,
  kSetSendBufferSize,
  kLocalAddress,
  kLocalHostName,
  kHostByName,
  kHostByAddress,
  kServiceByName,
  kAllocate,      // sets the last system error
  kCreateThread,  // sets the last system error
  kSetNoDelay,
  kSetKeepAlive,
  kStartNetwork,
  kCount
};

struct Fault {
  int32_t error = 0;          // the error number the operation reports
  int32_t count = 1;          // how many calls fail; negative for every call
  int32_t skip = 0;           // calls that succeed before the first failure
  Socket socket = kNoSocket;  // only calls on this socket; kNoSocket for any
};

// Arms a fault for an operation, replacing any fault armed for it.
void Inject(Operation operation, const Fault& fault);

// Disarms every fault.
void ClearAll();

// Number of calls that a fault armed for the operation has made fail.
int32_t FailuresMade(Operation operation);

// Used by the platform operations: true when this call must fail, with the
// error number to report in *error.
bool ShouldFail(Operation operation, Socket socket, int32_t* error);

// Tests: how many times a blocked socket wait has woken up in the whole
// process, for whatever reason (readiness, a look of its own, a wake-up
// from another waiter, the close, the time-out). A thread waiting on a
// socket where nothing happens adds nothing while it sleeps. The count
// wraps: tests read the difference between two readings.
uint32_t SocketWaitWakeUps();

// Used by the socket waits: counts one wake-up.
void CountSocketWaitWakeUp();

// Tests: the keep-alive times that the last SetKeepAlive handed to the
// system, in milliseconds, where the system cannot be asked for them
// afterwards (Windows sets them with SIO_KEEPALIVE_VALS, which reads
// nothing back; Linux tests read the socket options instead).
struct KeepAliveTimes {
  uint32_t idleMs = 0;
  uint32_t intervalMs = 0;
};
void NoteKeepAliveTimes(const KeepAliveTimes& times);
KeepAliveTimes LastKeepAliveTimes();

// Around a fork: the lock is held, so that the child never finds it held by
// a thread that does not exist there.
void HoldForFork();
void ReleaseAfterFork();

}  // namespace zortcp::platform::faults
