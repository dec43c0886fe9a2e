// SPDX-License-Identifier: MIT
// The socket table, and the waits that blocking socket calls are made of.
#include "platform/posix/socket_registry.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <utility>

#include "platform/never_destroyed.h"
#include "platform/posix/process_life.h"
#include "platform/posix/thread_context.h"

namespace zortcp::platform::posix {

// Made on first use and never destroyed: the library's unload closes its
// sockets after the process has run its static destructors. It lives in
// the library's own storage, so that a dlclose leaves no memory of it.
SocketTable<SocketEntry>& Sockets() {
  static NeverDestroyed<SocketTable<SocketEntry>> table;
  return *table;
}

SocketEntry::~SocketEntry() {
  if (fd >= 0) close(fd);
  if (cancelFd >= 0) close(cancelFd);
}

void ReleaseIdleSocketMemory() { Sockets().ReleaseIdleMemory(); }

void HoldSocketsForFork() { Sockets().Lock(); }
void ReleaseSocketsAfterFork() { Sockets().Unlock(); }

void ForgetInheritedSockets() {
  // Only this thread exists in the child. An entry that one of the parent's
  // threads still held would never be let go of: each descriptor is closed
  // here, so the child holds no listening port or connection of the parent.
  Sockets().ForgetAllUnlocked([](SocketEntry& entry) {
    close(entry.fd);
    close(entry.cancelFd);
    entry.fd = -1;
    entry.cancelFd = -1;
  });
}

Socket RegisterSocket(int fd, bool connected) {
  const int cancelFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (cancelFd < 0) {
    SetLastSocketError(WinsockErrorFromSystem(errno));
    close(fd);
    return kNoSocket;
  }
  SocketEntryRef entry = MakeSocketEntry<SocketEntry>(connected, fd, cancelFd);
  if (entry == nullptr) {
    close(fd);
    close(cancelFd);
    return kNoSocket;
  }
  // From here on the entry owns both descriptors and closes them if the
  // socket cannot be registered.
  return Sockets().Add(std::move(entry));
}

void RecordSocketFailure(const SocketEntry& entry, int errorNumber) {
  SetLastSocketError(entry.closed.load(std::memory_order_acquire)
                         ? kErrorInterrupted
                         : WinsockErrorFromSystem(errorNumber));
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
    faults::CountSocketWaitWakeUp();
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
