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
#include <limits>
#include <mutex>
#include <unordered_map>

#include "platform/never_destroyed.h"
#include "platform/win32/process_life.h"
#include "platform/win32/thread_context.h"

namespace zortcp::platform::win32 {
namespace {

constexpr DWORD kRecheckMs = 50;
constexpr DWORD kSharedRecheckMs = 1;
constexpr long kNetworkEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;

struct Registry {
  std::mutex mutex;
  std::unordered_map<Socket, SocketEntryRef> sockets;  // guarded by mutex
  Socket lastHandle = 0;                               // guarded by mutex
};

// Made on first use and never destroyed: the library's unload closes its
// sockets after the process has run its static destructors.
Registry& TheRegistry() {
  static NeverDestroyed<Registry> registry;
  return *registry;
}

// Handles count up from 1 and are never reused.
Socket NextHandle(Registry& registry) {
  if (registry.lastHandle == std::numeric_limits<Socket>::max()) return kNoSocket;
  return ++registry.lastHandle;
}

DWORD RemainingMs(std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
}

// True, with 10004 set, when the socket has been closed; a terminated
// library thread leaves with ThreadTerminated.
bool WaitCancelled(const SocketEntry& entry) {
  TerminationPoint();
  if (!entry.closed.load(std::memory_order_acquire)) return false;
  SetLastSocketError(kErrorInterrupted);
  return true;
}

std::atomic<int32_t> blockedWaits{0};

// Counts a wait in BlockedSocketWaits, and among the socket's waiters,
// while it lives.
class CountedSocketWait {
 public:
  explicit CountedSocketWait(SocketEntry& entry) : entry_(entry) {
    entry_.waiters.fetch_add(1, std::memory_order_acq_rel);
    blockedWaits.fetch_add(1, std::memory_order_release);
  }
  ~CountedSocketWait() {
    blockedWaits.fetch_sub(1, std::memory_order_release);
    entry_.waiters.fetch_sub(1, std::memory_order_acq_rel);
  }
  CountedSocketWait(const CountedSocketWait&) = delete;
  CountedSocketWait& operator=(const CountedSocketWait&) = delete;

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

SocketEntry::~SocketEntry() {
  closesocket(socket);
  WSACloseEvent(networkEvent);
  CloseHandle(cancelEvent);
}

void ReleaseIdleSocketMemory() {
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  if (registry.sockets.empty()) std::unordered_map<Socket, SocketEntryRef>().swap(registry.sockets);
}

Socket RegisterSocket(SOCKET system, bool connected) {
  HANDLE networkEvent = nullptr;
  HANDLE cancelEvent = nullptr;
  if (!PrepareSocket(system, &networkEvent, &cancelEvent)) return kNoSocket;
  SocketEntryRef entry;
  try {
    entry = std::make_shared<SocketEntry>(system, networkEvent, cancelEvent);
  } catch (...) {
    closesocket(system);
    WSACloseEvent(networkEvent);
    CloseHandle(cancelEvent);
    SetLastSocketError(kErrorNoBuffers);
    return kNoSocket;
  }
  entry->connected.store(connected, std::memory_order_relaxed);
  // From here on the entry owns the socket and its events.
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  const Socket handle = NextHandle(registry);
  if (handle == kNoSocket) {
    SetLastSocketError(kErrorNoMoreHandles);
    return kNoSocket;
  }
  try {
    registry.sockets.emplace(handle, std::move(entry));
  } catch (...) {
    SetLastSocketError(kErrorNoBuffers);
    return kNoSocket;
  }
  return handle;
}

SocketEntryRef FindSocket(Socket socket) {
  {
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    auto found = registry.sockets.find(socket);
    if (found != registry.sockets.end()) return found->second;
  }
  SetLastSocketError(kErrorNotSocket);
  return nullptr;
}

SocketEntryRef UnregisterSocket(Socket socket) {
  SocketEntryRef entry;
  {
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    auto found = registry.sockets.find(socket);
    if (found != registry.sockets.end()) {
      entry = std::move(found->second);
      registry.sockets.erase(found);
    }
  }
  if (entry == nullptr) SetLastSocketError(kErrorNotSocket);
  return entry;
}

void RecordSocketFailure(const SocketEntry& entry, int errorNumber) {
  // Whatever the system reports for a socket closed under a call (Wine:
  // 10022 from recv, 995 from accept), the call was cut short by the close.
  SetLastSocketError(entry.closed.load(std::memory_order_acquire) ? kErrorInterrupted
                                                                  : errorNumber);
}

bool InjectedSocketFailure(faults::Operation operation, Socket socket) {
  int32_t injected = 0;
  if (!faults::ShouldFail(operation, socket, &injected)) return false;
  SetLastSocketError(injected);
  return true;
}

SocketEntryRef EnterSocketCall(faults::Operation operation, Socket socket) {
  if (InjectedSocketFailure(operation, socket)) return nullptr;
  return FindSocket(socket);
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
  const CountedSocketWait counted(entry);
  for (;;) {
    if (WaitCancelled(entry)) return kSocketError;
    if (what != 0) {
      WSAResetEvent(entry.networkEvent);
      if (ReadyNow(entry, what) != 0) return 1;
    }
    const DWORD left = timeoutMs < 0 ? INFINITE : RemainingMs(deadline);
    if (left == 0) return 0;
    const DWORD recheck =
        entry.waiters.load(std::memory_order_acquire) > 1 ? kSharedRecheckMs : kRecheckMs;
    WaitForMultipleObjects(count, events, FALSE, what != 0 && recheck < left ? recheck : left);
  }
}

}  // namespace zortcp::platform::win32

namespace zortcp::platform {

int32_t BlockedSocketWaits() { return win32::blockedWaits.load(std::memory_order_acquire); }

}  // namespace zortcp::platform
