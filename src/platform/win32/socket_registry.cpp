// SPDX-License-Identifier: MIT
// The socket table, and the waits that blocking socket calls are made of.
//
// Every SOCKET is non-blocking, its network events (WSAEventSelect) set one
// event, and a wait waits on that event, the socket's cancel event and the
// calling thread's termination event together. Readiness itself is always
// read with a zero-time-out select after the network event has been reset,
// so a network event that came before the wait is never lost. Winsock sets
// the event only on a change (FD_WRITE after a send that would block,
// FD_READ after a receive), and a second call waiting on the same socket
// resets the same event: a wait therefore looks at the socket again after
// kRecheckMs, and every 1 ms while another call waits on the socket too.
#include "platform/win32/socket_registry.h"

#include <chrono>
#include <utility>

#include "platform/never_destroyed.h"
#include "platform/win32/process_life.h"
#include "platform/win32/thread_context.h"

namespace zortcp::platform::win32 {
namespace {

constexpr DWORD kRecheckMs = 50;
constexpr DWORD kSharedRecheckMs = 1;
constexpr long kNetworkEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;

// Counts a wait among the socket's waiters while it lives.
class CountedEntryWait {
 public:
  explicit CountedEntryWait(SocketEntry& entry) : entry_(entry) {
    entry_.waiters.fetch_add(1, std::memory_order_acq_rel);
  }
  ~CountedEntryWait() { entry_.waiters.fetch_sub(1, std::memory_order_acq_rel); }
  CountedEntryWait(const CountedEntryWait&) = delete;
  CountedEntryWait& operator=(const CountedEntryWait&) = delete;

 private:
  SocketEntry& entry_;
};

// The system parts of a new entry; false, with everything closed and the
// last socket error set, when they cannot be had.
bool PrepareSocket(SOCKET system, HANDLE* networkEvent, HANDLE* cancelEvent) {
  // Not inherited by the host's child processes.
  SetHandleInformation(reinterpret_cast<HANDLE>(system), HANDLE_FLAG_INHERIT, 0);
  *networkEvent = WSACreateEvent();
  *cancelEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  // WSAEventSelect also makes the socket non-blocking.
  if (*networkEvent != WSA_INVALID_EVENT && *cancelEvent != nullptr &&
      WSAEventSelect(system, *networkEvent, kNetworkEvents) == 0) {
    return true;
  }
  SetLastSocketError(WSAGetLastError() != 0 ? WSAGetLastError() : kErrorNoBuffers);
  if (*networkEvent != WSA_INVALID_EVENT) WSACloseEvent(*networkEvent);
  if (*cancelEvent != nullptr) CloseHandle(*cancelEvent);
  closesocket(system);
  return false;
}

}  // namespace

// Made on first use and never destroyed: the library's unload closes its
// sockets after the process has run its static destructors.
SocketTable<SocketEntry>& Sockets() {
  static NeverDestroyed<SocketTable<SocketEntry>> table;
  return *table;
}

SocketEntry::~SocketEntry() {
  closesocket(socket);
  WSACloseEvent(networkEvent);
  CloseHandle(cancelEvent);
}

void ReleaseIdleSocketMemory() { Sockets().ReleaseIdleMemory(); }

Socket RegisterSocket(SOCKET system, bool connected) {
  HANDLE networkEvent = nullptr;
  HANDLE cancelEvent = nullptr;
  if (!PrepareSocket(system, &networkEvent, &cancelEvent)) return kNoSocket;
  SocketEntryRef entry = MakeSocketEntry<SocketEntry>(connected, system, networkEvent, cancelEvent);
  if (entry == nullptr) {
    closesocket(system);
    WSACloseEvent(networkEvent);
    CloseHandle(cancelEvent);
    return kNoSocket;
  }
  // From here on the entry owns the socket and its events.
  return Sockets().Add(std::move(entry));
}

void RecordSocketFailure(const SocketEntry& entry, int errorNumber) {
  // Whatever the system reports for a socket closed under a call (Wine:
  // 10022 from recv, 995 from accept), the call was cut short by the close.
  SetLastSocketError(entry.closed.load(std::memory_order_acquire) ? kErrorInterrupted
                                                                  : errorNumber);
}

int32_t ReadyNow(const SocketEntry& entry, int what) {
  fd_set readable;
  fd_set writable;
  fd_set failed;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  if ((what & kWaitReadable) != 0) FD_SET(entry.socket, &readable);
  if ((what & kWaitWritable) != 0) {
    FD_SET(entry.socket, &writable);
    FD_SET(entry.socket, &failed);  // a connect that failed
  }
  timeval now{0, 0};
  const int result = select(0, &readable, &writable, &failed, &now);
  return result != 0 ? 1 : 0;
}

int32_t WaitForSocket(SocketEntry& entry, int what, int32_t timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  // The close and the termination come first, so that they win; a host
  // thread has no termination event.
  HANDLE events[3] = {entry.cancelEvent, entry.networkEvent, nullptr};
  DWORD count = what != 0 ? 2 : 1;
  if (HANDLE termination = TerminationEvent()) events[count++] = termination;
  const CountedEntryWait waiting(entry);
  const CountedSocketWait counted;
  for (;;) {
    if (WaitCancelled(entry)) return kSocketError;
    if (what != 0) {
      WSAResetEvent(entry.networkEvent);
      if (ReadyNow(entry, what) != 0) return 1;
    }
    const DWORD left = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(RemainingMs(deadline));
    if (left == 0) return 0;
    const DWORD recheck =
        entry.waiters.load(std::memory_order_acquire) > 1 ? kSharedRecheckMs : kRecheckMs;
    WaitForMultipleObjects(count, events, FALSE, what != 0 && recheck < left ? recheck : left);
  }
}

}  // namespace zortcp::platform::win32
