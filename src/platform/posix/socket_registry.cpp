// SPDX-License-Identifier: MIT
// The socket table, and the waits that blocking socket calls are made of.
#include "platform/posix/socket_registry.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <limits>
#include <mutex>
#include <unordered_map>

#include "platform/never_destroyed.h"
#include "platform/posix/process_life.h"
#include "platform/posix/thread_context.h"

namespace zortcp::platform::posix {
namespace {

struct Registry {
  std::mutex mutex;
  std::unordered_map<Socket, SocketEntryRef> sockets;  // guarded by mutex
  Socket lastHandle = 0;                               // guarded by mutex
};

// Made on first use and never destroyed: the library's unload closes its
// sockets after the process has run its static destructors. It lives in
// the library's own storage, so that a dlclose leaves no memory of it.
Registry& TheRegistry() {
  static NeverDestroyed<Registry> registry;
  return *registry;
}

// Handles count up from 1 and are never reused; 2^31 sockets is more than a
// process can open in any realistic life.
Socket NextHandle(Registry& registry) {
  if (registry.lastHandle == std::numeric_limits<Socket>::max()) return kNoSocket;
  return ++registry.lastHandle;
}

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
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

// Counts a wait in BlockedSocketWaits while it lives.
class CountedSocketWait {
 public:
  CountedSocketWait() { blockedWaits.fetch_add(1, std::memory_order_release); }
  ~CountedSocketWait() { blockedWaits.fetch_sub(1, std::memory_order_release); }
  CountedSocketWait(const CountedSocketWait&) = delete;
  CountedSocketWait& operator=(const CountedSocketWait&) = delete;
};

}  // namespace

SocketEntry::~SocketEntry() {
  if (fd >= 0) close(fd);
  if (cancelFd >= 0) close(cancelFd);
}

void ReleaseIdleSocketMemory() {
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  if (registry.sockets.empty()) std::unordered_map<Socket, SocketEntryRef>().swap(registry.sockets);
}

void HoldSocketsForFork() { TheRegistry().mutex.lock(); }
void ReleaseSocketsAfterFork() { TheRegistry().mutex.unlock(); }

void ForgetInheritedSockets() {
  // Only this thread exists in the child. An entry that one of the parent's
  // threads still held would never be let go of: each descriptor is closed
  // here, so the child holds no listening port or connection of the parent.
  Registry& registry = TheRegistry();
  for (auto& [handle, entry] : registry.sockets) {
    close(entry->fd);
    close(entry->cancelFd);
    entry->fd = -1;
    entry->cancelFd = -1;
  }
  registry.sockets.clear();
}

Socket RegisterSocket(int fd, bool connected) {
  const int cancelFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (cancelFd < 0) {
    SetLastSocketError(WinsockErrorFromSystem(errno));
    close(fd);
    return kNoSocket;
  }
  SocketEntryRef entry;
  try {
    entry = std::make_shared<SocketEntry>(fd, cancelFd);
  } catch (...) {
    close(fd);
    close(cancelFd);
    SetLastSocketError(kErrorNoBuffers);
    return kNoSocket;
  }
  entry->connected.store(connected, std::memory_order_relaxed);
  // From here on the entry owns both descriptors and closes them if the
  // socket cannot be registered.
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
  SetLastSocketError(entry.closed.load(std::memory_order_acquire)
                         ? kErrorInterrupted
                         : WinsockErrorFromSystem(errorNumber));
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

int32_t WaitForSocket(const SocketEntry& entry, short events, int32_t timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  // The socket, its close and the calling thread's termination (a host
  // thread has none).
  pollfd watched[3] = {{events != 0 ? entry.fd : -1, events, 0},
                       {entry.cancelFd, POLLIN, 0},
                       {TerminationDescriptor(), POLLIN, 0}};
  const nfds_t count = watched[2].fd >= 0 ? 3 : 2;
  // The close and the termination leave their descriptors readable for
  // good, so either ends the wait even if it came before the poll.
  const CountedSocketWait counted;
  for (;;) {
    if (WaitCancelled(entry)) return kSocketError;
    const int result = poll(watched, count, timeoutMs < 0 ? -1 : RemainingMs(deadline));
    if (result < 0 && errno != EINTR) {
      SetLastSocketError(WinsockErrorFromSystem(errno));
      return kSocketError;
    }
    if (WaitCancelled(entry)) return kSocketError;
    if (result > 0 && watched[0].revents != 0) return 1;
    if (result == 0 && timeoutMs >= 0 && RemainingMs(deadline) == 0) return 0;
  }
}

}  // namespace zortcp::platform::posix

namespace zortcp::platform {

int32_t BlockedSocketWaits() { return posix::blockedWaits.load(std::memory_order_acquire); }

}  // namespace zortcp::platform
