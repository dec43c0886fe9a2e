// SPDX-License-Identifier: MIT
// Readiness, receiving and sending.
//
// Descriptors are non-blocking at the system level. A call in blocking mode
// is a loop: try the call; when it would block, wait for readiness on the
// socket, its close and the calling thread's termination, then try again.
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "platform/posix/socket_registry.h"
#include "platform/socket_io_common.h"

namespace zortcp::platform {
namespace {

// What counts as ready: the next call of that kind will not block. A closed
// or reset connection and a failed connection attempt are ready both ways,
// since the call then returns at once with the outcome.
constexpr short kReadableEvents = POLLIN | POLLRDHUP | POLLHUP | POLLERR;
constexpr short kWritableEvents = POLLOUT | POLLHUP | POLLERR;

bool WouldBlock(int errorNumber) { return errorNumber == EAGAIN || errorNumber == EWOULDBLOCK; }

// A receive or send that failed for the connection itself keeps the failure
// for the receives after it: the system reports it to one call only and
// then reads as an end of stream. A broken pipe is not kept: it follows
// the peer's own close (its reset of bytes sent after that close) or a
// failure already kept.
void FailedOnConnection(SocketEntry& entry, int errorNumber) {
  if (errorNumber == EPIPE || errorNumber == EINTR || WouldBlock(errorNumber)) return;
  if (entry.closed.load(std::memory_order_acquire)) return;
  int32_t none = 0;
  entry.failure.compare_exchange_strong(none, WinsockErrorFromSystem(errorNumber));
}

// A socket whose connect has not succeeded (not yet made, under way, or
// failed) cannot take data, so it is not writable: bytes wait for the
// connection. Linux would report a fresh or failed socket writable at once.
bool AwaitsConnection(const SocketEntry& entry, short events) {
  return (events & POLLOUT) != 0 && !entry.connected.load(std::memory_order_acquire);
}

int32_t PollNow(Operation operation, Socket socket, short events) {
  SocketEntryRef entry = Sockets().Enter(operation, socket);
  if (entry == nullptr) return kSocketError;
  if (AwaitsConnection(*entry, events)) return 0;
  pollfd watched{entry->fd, events, 0};
  int result;
  do {
    result = poll(&watched, 1, 0);
  } while (result < 0 && errno == EINTR);
  if (result < 0) {
    RecordSocketFailure(*entry, errno);
    return kSocketError;
  }
  return (watched.revents & events) != 0 ? 1 : 0;
}

int32_t WaitReady(Socket socket, short events, int32_t timeoutMs) {
  SocketEntryRef entry = Sockets().Find(socket);
  if (entry == nullptr) return kSocketError;
  if (AwaitsConnection(*entry, events)) {
    // Look again after one turn, unless the socket is closed first.
    return posix::WaitForSocket(*entry, 0, UnconnectedTurnMs(timeoutMs));
  }
  return posix::WaitForSocket(*entry, events, timeoutMs);
}

// One send of what is left; the count taken, or -1 with errno.
ssize_t SendSome(const SocketEntry& entry, const uint8_t* data, size_t length) {
  ssize_t sent;
  do {
    sent = send(entry.fd, data, length, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent;
}

}  // namespace

int32_t PollReadable(Socket socket) {
  return PollNow(Operation::kPollReadable, socket, kReadableEvents);
}

int32_t PollWritable(Socket socket) {
  return PollNow(Operation::kPollWritable, socket, kWritableEvents);
}

int32_t WaitReadable(Socket socket, int32_t timeoutMs) {
  return WaitReady(socket, kReadableEvents, timeoutMs);
}

int32_t WaitWritable(Socket socket, int32_t timeoutMs) {
  return WaitReady(socket, kWritableEvents, timeoutMs);
}

int32_t Receive(Socket socket, void* buffer, int32_t length) {
  SocketEntryRef entry = Sockets().Enter(Operation::kReceive, socket);
  if (entry == nullptr || !ValidBuffer(buffer, length)) return kSocketError;
  for (;;) {
    const ssize_t received = recv(entry->fd, buffer, static_cast<size_t>(length), 0);
    if (received > 0) return static_cast<int32_t>(received);
    if (received == 0) return EndOfStream(*entry);
    if (errno == EINTR) continue;
    if (!WouldBlock(errno) || entry->nonBlocking.load(std::memory_order_relaxed)) {
      FailedOnConnection(*entry, errno);
      RecordSocketFailure(*entry, errno);
      return kSocketError;
    }
    if (posix::WaitForSocket(*entry, kReadableEvents, kNoTimeout) != 1) return kSocketError;
  }
}

int32_t Send(Socket socket, const void* data, int32_t length) {
  SocketEntryRef entry = Sockets().Enter(Operation::kSend, socket);
  if (entry == nullptr || !ValidBuffer(data, length)) return kSocketError;
  const auto* next = static_cast<const uint8_t*>(data);
  size_t left = static_cast<size_t>(length);
  const bool blocking = !entry->nonBlocking.load(std::memory_order_relaxed);
  do {
    const ssize_t sent = SendSome(*entry, next, left);
    if (sent >= 0) {
      if (!blocking) return static_cast<int32_t>(sent);
      next += sent;
      left -= static_cast<size_t>(sent);
    } else if (!WouldBlock(errno) || !blocking) {
      FailedOnConnection(*entry, errno);
      RecordSocketFailure(*entry, errno);
      return kSocketError;
    } else if (posix::WaitForSocket(*entry, kWritableEvents, kNoTimeout) != 1) {
      return kSocketError;
    }
  } while (left > 0);
  return length;
}

}  // namespace zortcp::platform
