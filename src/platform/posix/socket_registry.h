// SPDX-License-Identifier: MIT
// The table of open sockets: handle to entry. A call holds its own
// reference to the entry while it uses the descriptor, and the descriptor
// is closed only when the last reference goes, so a descriptor number that
// the system hands out again can never be reached through an old handle.
#pragma once

#include <atomic>
#include <memory>

#include "platform/fault_injection.h"
#include "platform/platform.h"
#include "platform/socket_errors.h"
#include "platform/socket_table.h"

namespace zortcp::platform::posix {

struct SocketEntry {
  SocketEntry(int descriptor, int cancelDescriptor) : fd(descriptor), cancelFd(cancelDescriptor) {}
  ~SocketEntry();
  SocketEntry(const SocketEntry&) = delete;
  SocketEntry& operator=(const SocketEntry&) = delete;

  // Both set at creation; a child process after a fork closes its copies
  // and sets them to -1 before anything else runs there.
  int fd;        // always O_NONBLOCK at the system level
  int cancelFd;  // eventfd, readable for good once the socket is closed
  std::atomic<bool> closed{false};
  std::atomic<bool> nonBlocking{false};  // the mode the caller asked for
  // Set once a connect has succeeded, and for an accepted connection: only
  // such a socket can take data.
  std::atomic<bool> connected{false};
  // The Winsock number of the failure that ended the connection (a reset
  // or a time-out), as the first call that met it saw it: the system tells
  // only that call, and a later receive would read an end of stream.
  std::atomic<int32_t> failure{0};
  // Set by SetKeepAlive where the system bounds the gap between the probes
  // of a closed window.
  std::atomic<bool> windowProbesBounded{false};
};

using SocketEntryRef = std::shared_ptr<SocketEntry>;

// The table of open sockets.
SocketTable<SocketEntry>& Sockets();

// Takes ownership of a non-blocking, close-on-exec descriptor and gives it
// a new handle; connected marks an accepted connection. kNoSocket with the
// last socket error set on failure (the descriptor is then closed).
Socket RegisterSocket(int fd, bool connected = false);

// Records the system error of a failed call in the last socket error: 10004
// when the failure came from the socket being closed under the call.
void RecordSocketFailure(const SocketEntry& entry, int errorNumber);

// Waits until the descriptor reports one of the events, the time-out
// (milliseconds, negative for none) ends or the socket is closed. 1 ready,
// 0 timed out, kSocketError (10004) closed. With no events the descriptor
// is not watched at all: the wait ends only by the time-out or the close. A terminated library
// thread leaves with ThreadTerminated.
int32_t WaitForSocket(const SocketEntry& entry, short events, int32_t timeoutMs);

}  // namespace zortcp::platform::posix

namespace zortcp::platform {

// The names the socket calls of this platform are written with.
using faults::Operation;
using posix::RecordSocketFailure;
using posix::SocketEntry;
using posix::SocketEntryRef;
using posix::Sockets;

}  // namespace zortcp::platform
