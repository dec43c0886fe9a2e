// SPDX-License-Identifier: MIT
// Socket life cycle, connection set-up and options.
//
// Every descriptor is non-blocking at the system level; the blocking mode
// that callers see is emulated per socket (see socket_io.cpp), so that a
// blocked call can always be woken by CloseSocket and by termination.
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>

#include "platform/posix/socket_registry.h"

namespace zortcp::platform {
namespace {

constexpr uint32_t kKeepAliveMinSeconds = 1;
constexpr uint32_t kKeepAliveMaxSeconds = 7200;
constexpr int kKeepAliveMaxProbes = 127;  // the most TCP_KEEPCNT takes
// The bounds that Linux takes for the longest retransmission (and window
// probe) interval of a socket, TCP_RTO_MAX_MS (Linux 6.15 on).
constexpr int kProbeGapMinMs = 1000;
constexpr int kProbeGapMaxMs = 120000;
#ifndef TCP_RTO_MAX_MS
#define TCP_RTO_MAX_MS 44
#endif

sockaddr_in ToSystem(const SocketAddress& address) {
  sockaddr_in system{};
  system.sin_family = address.family;
  system.sin_port = address.port;
  system.sin_addr.s_addr = address.address;
  return system;
}

SocketAddress FromSystem(const sockaddr_in& system) {
  SocketAddress address;
  address.family = system.sin_family;
  address.port = system.sin_port;
  address.address = system.sin_addr.s_addr;
  return address;
}

// What a socket call returns after a system call that gives 0 on success:
// 0, or kSocketError with the system's failure recorded.
int32_t Outcome(const SocketEntry& entry, int result) {
  if (result == 0) return 0;
  RecordSocketFailure(entry, errno);
  return kSocketError;
}

int32_t SetIntegerOption(Operation operation, Socket socket, int level, int option, int32_t value) {
  SocketEntryRef entry = Sockets().Enter(operation, socket);
  if (entry == nullptr) return kSocketError;
  const int systemValue = value;
  return Outcome(*entry, setsockopt(entry->fd, level, option, &systemValue, sizeof(systemValue)));
}

// Accepts one waiting connection as a new non-blocking, close-on-exec
// descriptor; -1 with errno when none can be taken.
int AcceptDescriptor(const SocketEntry& listener, sockaddr_in* peer) {
  int fd;
  do {
    socklen_t length = sizeof(*peer);
    fd = accept4(listener.fd, reinterpret_cast<sockaddr*>(peer), &length,
                 SOCK_NONBLOCK | SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// The outcome of a connection attempt that is under way: waits until the
// socket is writable (or the time-out ends), then reads the attempt's error.
int32_t FinishConnect(SocketEntry& entry, int32_t timeoutMs) {
  const int32_t ready = posix::WaitForSocket(entry, POLLOUT, timeoutMs);
  if (ready == 0) SetLastSocketError(kErrorTimedOut);
  if (ready != 1) return kSocketError;
  int error = 0;
  socklen_t length = sizeof(error);
  if (getsockopt(entry.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
  if (error != 0) {
    RecordSocketFailure(entry, error);
    return kSocketError;
  }
  entry.connected.store(true, std::memory_order_release);
  return 0;
}

}  // namespace

// Linux has no socket library to start; the check lets tests fail the step.
int32_t StartNetwork() {
  if (InjectedSocketFailure(Operation::kStartNetwork, kNoSocket)) return kSocketError;
  return 0;
}

void StopNetwork() {}

Socket OpenSocket() {
  if (InjectedSocketFailure(Operation::kOpenSocket, kNoSocket)) return kNoSocket;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    SetLastSocketError(WinsockErrorFromSystem(errno));
    return kNoSocket;
  }
  return posix::RegisterSocket(fd);
}

int32_t CloseSocket(Socket socket) {
  SocketEntryRef entry = Sockets().Remove(socket);
  if (entry == nullptr) return kSocketError;
  entry->closed.store(true, std::memory_order_release);
  // The cancel descriptor is never read, so it stays readable and every
  // wait on the socket, present or future, ends.
  const uint64_t one = 1;
  if (write(entry->cancelFd, &one, sizeof(one)) < 0) {
    // An eventfd counter this far below its limit always takes the write.
  }
  // The peer sees the end of the connection now, not when the last call
  // still holding the entry lets go of the descriptor.
  shutdown(entry->fd, SHUT_RDWR);
  return 0;
}

int32_t Bind(Socket socket, const SocketAddress& address) {
  SocketEntryRef entry = Sockets().Enter(Operation::kBind, socket);
  if (entry == nullptr) return kSocketError;
  // A server reopened on its port must not be refused while connections of
  // its previous life linger in TIME_WAIT; on Linux this still refuses a
  // second listener on the same port.
  const int on = 1;
  setsockopt(entry->fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  // Linux binds the broadcast address as if it were a local one, and the
  // socket then listens where no peer reaches it.
  if (address.address == INADDR_BROADCAST) {
    SetLastSocketError(kErrorAddressNotAvailable);
    return kSocketError;
  }
  const sockaddr_in system = ToSystem(address);
  return Outcome(*entry,
                 bind(entry->fd, reinterpret_cast<const sockaddr*>(&system), sizeof(system)));
}

int32_t Listen(Socket socket, int32_t backlog) {
  SocketEntryRef entry = Sockets().Enter(Operation::kListen, socket);
  if (entry == nullptr) return kSocketError;
  return Outcome(*entry, listen(entry->fd, backlog));
}

Socket Accept(Socket socket, SocketAddress* peer) {
  SocketEntryRef entry = Sockets().Enter(Operation::kAccept, socket);
  if (entry == nullptr) return kNoSocket;
  for (;;) {
    sockaddr_in address{};
    const int fd = AcceptDescriptor(*entry, &address);
    if (fd >= 0) {
      const Socket accepted = posix::RegisterSocket(fd, true);
      if (accepted != kNoSocket && peer != nullptr) *peer = FromSystem(address);
      return accepted;
    }
    const bool wouldBlock = errno == EAGAIN || errno == EWOULDBLOCK;
    if (!wouldBlock || entry->nonBlocking.load(std::memory_order_relaxed)) {
      RecordSocketFailure(*entry, errno);
      return kNoSocket;
    }
    if (posix::WaitForSocket(*entry, POLLIN, kNoTimeout) != 1) return kNoSocket;
  }
}

int32_t ConnectWithin(Socket socket, const SocketAddress& address, int32_t timeoutMs) {
  SocketEntryRef entry = Sockets().Enter(Operation::kConnect, socket);
  if (entry == nullptr) return kSocketError;
  const sockaddr_in system = ToSystem(address);
  if (connect(entry->fd, reinterpret_cast<const sockaddr*>(&system), sizeof(system)) == 0) {
    entry->connected.store(true, std::memory_order_release);
    return 0;
  }
  // An interrupted connect goes on in the background, like one in progress.
  if (errno != EINPROGRESS && errno != EINTR) {
    RecordSocketFailure(*entry, errno);
    return kSocketError;
  }
  if (entry->nonBlocking.load(std::memory_order_relaxed)) {
    RecordSocketFailure(*entry, EWOULDBLOCK);
    return kSocketError;
  }
  return FinishConnect(*entry, timeoutMs);
}

int32_t SetNonBlocking(Socket socket, bool nonBlocking) {
  SocketEntryRef entry = Sockets().Enter(Operation::kSetNonBlocking, socket);
  if (entry == nullptr) return kSocketError;
  entry->nonBlocking.store(nonBlocking, std::memory_order_relaxed);
  return 0;
}

int32_t PendingBytes(Socket socket, uint32_t* count) {
  SocketEntryRef entry = RequireAnswer(Sockets().Enter(Operation::kPendingBytes, socket), count);
  if (entry == nullptr) return kSocketError;
  int waiting = 0;
  if (Outcome(*entry, ioctl(entry->fd, FIONREAD, &waiting)) != 0) return kSocketError;
  *count = static_cast<uint32_t>(waiting);
  return 0;
}

int32_t SetReceiveBufferSize(Socket socket, int32_t bytes) {
  return SetIntegerOption(Operation::kSetReceiveBufferSize, socket, SOL_SOCKET, SO_RCVBUF, bytes);
}

int32_t SetSendBufferSize(Socket socket, int32_t bytes) {
  return SetIntegerOption(Operation::kSetSendBufferSize, socket, SOL_SOCKET, SO_SNDBUF, bytes);
}

int32_t SetNoDelay(Socket socket) {
  return SetIntegerOption(Operation::kSetNoDelay, socket, IPPROTO_TCP, TCP_NODELAY, 1);
}

int32_t SetKeepAlive(Socket socket, uint32_t seconds) {
  SocketEntryRef entry = Sockets().Enter(Operation::kSetKeepAlive, socket);
  if (entry == nullptr) return kSocketError;
  const int idle =
      static_cast<int>(std::clamp(seconds, kKeepAliveMinSeconds, kKeepAliveMaxSeconds));
  // Probes go out once a second from the first silent period on (further
  // apart beyond 127 s, the most probes the system counts), so that a single
  // lost probe does not end a connection whose peer is there, and the
  // system gives an idle peer up once they have gone unanswered for as long
  // again. No user time-out (TCP_USER_TIMEOUT): the system applies it to the
  // probes of a closed window too, from the first probe on, answered or
  // not, and would end the connection of a peer that only stopped reading.
  // Bytes outstanding are judged by the caller instead (PeerAnswersOf).
  const int interval = (idle + kKeepAliveMaxProbes - 1) / kKeepAliveMaxProbes;
  const int options[][3] = {
      {SOL_SOCKET, SO_KEEPALIVE, 1},
      {IPPROTO_TCP, TCP_KEEPIDLE, idle},
      {IPPROTO_TCP, TCP_KEEPINTVL, interval},
      {IPPROTO_TCP, TCP_KEEPCNT, idle / interval},
  };
  for (const auto& [level, option, value] : options) {
    if (Outcome(*entry, setsockopt(entry->fd, level, option, &value, sizeof(value))) != 0) {
      return kSocketError;
    }
  }
  // The system doubles the gap between the probes of a closed window up to
  // two minutes: bounded to half the keep-alive time, a peer that answers
  // them answers often enough to tell it from one that is gone. Kernels
  // before 6.15 refuse the option; their window probes then go unjudged.
  const int probeGapMs = std::clamp(idle * 500, kProbeGapMinMs, kProbeGapMaxMs);
  entry->windowProbesBounded.store(
      setsockopt(entry->fd, IPPROTO_TCP, TCP_RTO_MAX_MS, &probeGapMs, sizeof(probeGapMs)) == 0,
      std::memory_order_release);
  return 0;
}

int32_t PeerAnswersOf(Socket socket, PeerAnswers* answers) {
  SocketEntryRef entry = RequireAnswer(Sockets().Find(socket), answers);
  if (entry == nullptr) return kSocketError;
  *answers = PeerAnswers{};
  tcp_info info{};
  socklen_t length = sizeof(info);
  int unsent = 0;  // bytes queued that have not been sent yet
  if (getsockopt(entry->fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
      length < offsetof(tcp_info, tcpi_last_ack_recv) + sizeof(info.tcpi_last_ack_recv) ||
      (info.tcpi_state != TCP_ESTABLISHED && info.tcpi_state != TCP_CLOSE_WAIT) ||
      ioctl(entry->fd, SIOCOUTQNSD, &unsent) != 0) {
    return 0;  // nothing to tell
  }
  // A probe that is owed is one of keep-alive (nothing queued) or, where
  // their gap is bounded, one of a closed window.
  const bool probeOwed =
      info.tcpi_probes > 0 &&
      (unsent == 0 || entry->windowProbesBounded.load(std::memory_order_acquire));
  answers->known = true;
  answers->awaitingAnswer = info.tcpi_unacked > 0 || probeOwed;
  answers->sinceAnswerMs = info.tcpi_last_ack_recv;
  return 0;
}

int32_t LocalAddress(Socket socket, SocketAddress* address) {
  SocketEntryRef entry = RequireAnswer(Sockets().Enter(Operation::kLocalAddress, socket), address);
  if (entry == nullptr) return kSocketError;
  sockaddr_in system{};
  socklen_t length = sizeof(system);
  if (Outcome(*entry, getsockname(entry->fd, reinterpret_cast<sockaddr*>(&system), &length)) != 0) {
    return kSocketError;
  }
  *address = FromSystem(system);
  return 0;
}

}  // namespace zortcp::platform
