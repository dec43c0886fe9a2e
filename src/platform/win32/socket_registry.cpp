// SPDX-License-Identifier: MIT
// The socket table, and the waits that blocking socket calls are made of.
//
// Every SOCKET is non-blocking, and its network events (WSAEventSelect) set
// one event. A wait looks at the socket with a zero-time-out select, and
// when it is not ready sleeps on that event, the socket's cancel event, the
// calling thread's termination event and a wake-up event of its own. The
// select is the truth; the network event only ends the sleep. Winsock sets
// it on a change (FD_READ, FD_ACCEPT and FD_WRITE each once until the call
// that consumes them: a receive, an accept, a send that would block), and
// a socket has one such event, which every waiter on the socket shares. The
// waiter that wakes on it reads the network events (WSAEnumNetworkEvents,
// which resets the event) and sets the wake-up event of every other waiter
// on the socket. A waiter is listed before its select, so a change after
// that select either finds the network event set or has woken it through
// its own event: no wake-up is lost, and no waiter looks again on a clock.
//
// The one case Winsock announces nothing for is a socket that filled up
// without a send that would block: FD_WRITE is due only after such a send.
// A wait for writability there looks again after 1 ms, then at doubling
// intervals up to kLookAgainMaxMs.
#include "platform/win32/socket_registry.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "platform/never_destroyed.h"
#include "platform/win32/process_life.h"
#include "platform/win32/thread_context.h"

namespace zortcp::platform::win32 {

struct SocketWaiter {
  HANDLE wake;  // auto-reset; null when none could be made
  SocketWaiter* next;
};

namespace {

constexpr long kNetworkEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
constexpr DWORD kLookAgainMaxMs = 50;
// A waiter that has no wake-up event of its own (none could be made) cannot
// be told what another waiter read, and looks again this often.
constexpr DWORD kUnwokenLookMs = 1;

// A wait listed among the socket's waiters while it lives, with a wake-up
// event taken from the socket's spares or made for it.
class ListedWait {
 public:
  explicit ListedWait(SocketEntry& entry) : entry_(entry) {
    std::lock_guard lock(entry_.waitMutex);
    for (HANDLE& spare : entry_.spareWakes) {
      if (spare != nullptr) {
        self_.wake = std::exchange(spare, nullptr);
        break;
      }
    }
    if (self_.wake == nullptr) self_.wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    self_.next = entry_.waiters;
    entry_.waiters = &self_;
  }

  ~ListedWait() {
    std::lock_guard lock(entry_.waitMutex);
    for (SocketWaiter** link = &entry_.waiters; *link != nullptr; link = &(*link)->next) {
      if (*link == &self_) {
        *link = self_.next;
        break;
      }
    }
    if (self_.wake == nullptr) return;
    // A wake-up set for this wait and not taken costs the next wait one
    // look, no more.
    for (HANDLE& spare : entry_.spareWakes) {
      if (spare == nullptr) {
        spare = self_.wake;
        return;
      }
    }
    CloseHandle(self_.wake);
  }

  ListedWait(const ListedWait&) = delete;
  ListedWait& operator=(const ListedWait&) = delete;

  HANDLE Wake() const { return self_.wake; }

  // Reads and clears the socket's network events, which resets its network
  // event, and wakes every other waiter to look at the socket again.
  void ReadNetworkEvents() {
    std::lock_guard lock(entry_.waitMutex);
    WSANETWORKEVENTS record{};
    if (WSAEnumNetworkEvents(entry_.socket, entry_.networkEvent, &record) != 0) {
      WSAResetEvent(entry_.networkEvent);
    } else if ((record.lNetworkEvents & FD_WRITE) != 0) {
      entry_.writeAnnounced.store(false, std::memory_order_release);
    }
    for (SocketWaiter* other = entry_.waiters; other != nullptr; other = other->next) {
      if (other != &self_ && other->wake != nullptr) SetEvent(other->wake);
    }
  }

 private:
  SocketEntry& entry_;
  SocketWaiter self_{nullptr, nullptr};
};

// Whether Winsock will set the network event once the socket is ready for
// what is asked: always for readability (only the calls that take the
// readiness away rearm it), for writability only while a connect is under
// way (FD_CONNECT) or after a send that would block (FD_WRITE).
bool Announced(const SocketEntry& entry, int what) {
  if ((what & kWaitWritable) == 0) return true;
  return entry.connecting.load(std::memory_order_acquire) ||
         entry.writeAnnounced.load(std::memory_order_acquire);
}

// Waits for the close, the termination or the time-out only.
int32_t WaitUnwatched(SocketEntry& entry, int32_t timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  HANDLE events[2] = {entry.cancelEvent, nullptr};
  DWORD count = 1;
  if (HANDLE termination = TerminationEvent()) events[count++] = termination;
  const CountedSocketWait counted;
  for (;;) {
    if (WaitCancelled(entry)) return kSocketError;
    const DWORD left = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(RemainingMs(deadline));
    if (left == 0) return 0;
    WaitForMultipleObjects(count, events, FALSE, left);
    faults::CountSocketWaitWakeUp();
  }
}

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
  for (HANDLE spare : spareWakes) {
    if (spare != nullptr) CloseHandle(spare);
  }
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
  if (what == 0) return WaitUnwatched(entry, timeoutMs);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  ListedWait listed(entry);
  // The close and the termination come first, so that they win; a host
  // thread has no termination event.
  HANDLE events[4] = {entry.cancelEvent, entry.networkEvent, nullptr, nullptr};
  DWORD count = 2;
  if (HANDLE wake = listed.Wake()) events[count++] = wake;
  if (HANDLE termination = TerminationEvent()) events[count++] = termination;
  const CountedSocketWait counted;
  DWORD lookAgainMs = 1;  // while nothing is announced
  for (;;) {
    if (WaitCancelled(entry)) return kSocketError;
    if (ReadyNow(entry, what) != 0) return 1;
    const DWORD left = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(RemainingMs(deadline));
    if (left == 0) return 0;
    DWORD sleepMs = left;
    if (listed.Wake() == nullptr) {
      sleepMs = std::min(sleepMs, kUnwokenLookMs);
    } else if (!Announced(entry, what)) {
      sleepMs = std::min(sleepMs, lookAgainMs);
      lookAgainMs = std::min(2 * lookAgainMs, kLookAgainMaxMs);
    }
    const DWORD woken = WaitForMultipleObjects(count, events, FALSE, sleepMs);
    faults::CountSocketWaitWakeUp();
    if (woken == WAIT_OBJECT_0 + 1) listed.ReadNetworkEvents();
  }
}

}  // namespace zortcp::platform::win32
