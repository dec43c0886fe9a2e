// SPDX-License-Identifier: MIT
// The table of open sockets: handle to entry. A call holds its own
// reference to the entry while it uses the SOCKET, and the SOCKET is closed
// only when the last reference goes, so a SOCKET value that the system
// hands out again can never be reached through an old handle.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <mutex>

#include "platform/fault_injection.h"
#include "platform/platform.h"
#include "platform/socket_errors.h"
#include "platform/socket_table.h"
#include "platform/win32/system.h"

namespace zortcp::platform::win32 {

// What a wait waits for: bitwise or.
inline constexpr int kWaitReadable = 1;  // data, a connection to accept, the end of one
inline constexpr int kWaitWritable = 2;  // room to send, or the outcome of a connect

// A call waiting on a socket's network event (socket_registry.cpp).
struct SocketWaiter;

// Wake-up events kept by a socket for its next waits.
inline constexpr size_t kSpareWakeEvents = 2;

struct SocketEntry {
  SocketEntry(SOCKET system, HANDLE network, HANDLE cancel)
      : socket(system), networkEvent(network), cancelEvent(cancel) {}
  ~SocketEntry();
  SocketEntry(const SocketEntry&) = delete;
  SocketEntry& operator=(const SocketEntry&) = delete;

  const SOCKET socket;        // always non-blocking at the system level
  const HANDLE networkEvent;  // WSAEventSelect: set by the socket's network events
  const HANDLE cancelEvent;   // manual reset, set for good once the socket is closed
  std::atomic<bool> closed{false};
  std::atomic<bool> nonBlocking{false};  // the mode the caller asked for
  // Set once a connect has succeeded, and for an accepted connection: only
  // such a socket can take data.
  std::atomic<bool> connected{false};
  std::atomic<bool> connecting{false};  // a connect is under way
  std::atomic<bool> listening{false};
  // Set by a send that would block: Winsock then records FD_WRITE once the
  // socket takes data again. Cleared when a waiter reads that FD_WRITE.
  std::atomic<bool> writeAnnounced{false};
  // The Winsock number of the failure that ended the connection (a reset
  // or a time-out), as the first call that met it saw it: the system may
  // tell only that call, and a later receive would read an end of stream.
  std::atomic<int32_t> failure{0};
  // Set once a receive has read the peer's own close: a reset that follows
  // it answers bytes sent after that close and is not kept.
  std::atomic<bool> peerClosed{false};
  // The calls waiting on networkEvent, each with a wake-up event of its own:
  // whichever reads the network events (which resets networkEvent) sets the
  // others' events, so that none of them misses what arrived.
  std::mutex waitMutex;
  SocketWaiter* waiters = nullptr;                    // guarded by waitMutex
  std::array<HANDLE, kSpareWakeEvents> spareWakes{};  // guarded by waitMutex; null: none
};

using SocketEntryRef = std::shared_ptr<SocketEntry>;

// The table of open sockets.
SocketTable<SocketEntry>& Sockets();

// Takes ownership of a SOCKET, makes it non-blocking and non-inheritable
// and gives it a new handle; connected marks an accepted connection.
// kNoSocket with the last socket error set on failure (the SOCKET is then
// closed).
Socket RegisterSocket(SOCKET system, bool connected = false);

// Records the Winsock error of a failed call in the last socket error:
// 10004 when the failure came from the socket being closed under the call.
void RecordSocketFailure(const SocketEntry& entry, int errorNumber);

// Whether the socket is ready now for what is asked (kWait* bits): 1 ready,
// 0 not. A select that fails counts as ready, so that the next call
// reports the failure.
int32_t ReadyNow(const SocketEntry& entry, int what);

// Waits until the socket is ready for what is asked, the time-out
// (milliseconds, negative for none) ends or the socket is closed. 1 ready,
// 0 timed out, kSocketError (10004) closed. With nothing asked the socket is
// not watched at all: the wait ends only by the time-out or the close. A
// terminated library thread leaves with ThreadTerminated. The thread sleeps
// until one of these happens, however many threads wait on the socket; only
// a wait for writability that no FD_WRITE is due for (the socket filled up
// without a send that would block) looks again, at growing intervals.
int32_t WaitForSocket(SocketEntry& entry, int what, int32_t timeoutMs);

}  // namespace zortcp::platform::win32

namespace zortcp::platform {

// The names the socket calls of this platform are written with.
using faults::Operation;
using win32::RecordSocketFailure;
using win32::SocketEntry;
using win32::SocketEntryRef;
using win32::Sockets;

}  // namespace zortcp::platform
