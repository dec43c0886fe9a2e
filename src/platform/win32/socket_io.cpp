// SPDX-License-Identifier: MIT
// Readiness, receiving and sending.
//
// SOCKETs are non-blocking at the system level. A call in blocking mode is
// a loop: try the call; when it would block, wait for readiness on the
// socket, its close and the calling thread's termination, then try again.

#include "platform/socket_io_common.h"
#include "platform/win32/socket_registry.h"

namespace zortcp::platform {
namespace {

// A socket whose connect has not succeeded (not yet made, under way, or
// failed) cannot take data, so it is not writable: bytes wait for the
// connection.
bool AwaitsConnection(const SocketEntry& entry, int what) {
  return (what & win32::kWaitWritable) != 0 && !entry.connected.load(std::memory_order_acquire);
}

// A socket that is neither connected, nor connecting, nor listening is
// readable, as on Linux, so that the receive that follows reports 10057;
// Winsock's select would never report it.
bool IdleSocket(const SocketEntry& entry) {
  return !entry.connected.load(std::memory_order_acquire) &&
         !entry.connecting.load(std::memory_order_acquire) &&
         !entry.listening.load(std::memory_order_acquire);
}

// A receive or send that failed for the connection itself keeps the
// failure for the receives after it (the system may report it to one call
// only and then read an end of stream), unless the peer had closed first.
void FailedOnConnection(SocketEntry& entry, int error) {
  if (error == WSAEWOULDBLOCK || error == WSAEINTR) return;
  if (entry.closed.load(std::memory_order_acquire)) return;
  if (entry.peerClosed.load(std::memory_order_acquire)) return;
  int32_t none = 0;
  entry.failure.compare_exchange_strong(none, error);
}

int32_t PollNow(Operation operation, Socket socket, int what) {
  SocketEntryRef entry = Sockets().Enter(operation, socket);
  if (entry == nullptr) return kSocketError;
  if (AwaitsConnection(*entry, what)) return 0;
  if ((what & win32::kWaitReadable) != 0 && IdleSocket(*entry)) return 1;
  return win32::ReadyNow(*entry, what);
}

int32_t WaitReady(Socket socket, int what, int32_t timeoutMs) {
  SocketEntryRef entry = Sockets().Find(socket);
  if (entry == nullptr) return kSocketError;
  if (AwaitsConnection(*entry, what)) {
    // Look again after one turn, unless the socket is closed first.
    return win32::WaitForSocket(*entry, 0, UnconnectedTurnMs(timeoutMs));
  }
  if ((what & win32::kWaitReadable) != 0 && IdleSocket(*entry)) return 1;
  return win32::WaitForSocket(*entry, what, timeoutMs);
}

}  // namespace

int32_t PollReadable(Socket socket) {
  return PollNow(Operation::kPollReadable, socket, win32::kWaitReadable);
}

int32_t PollWritable(Socket socket) {
  return PollNow(Operation::kPollWritable, socket, win32::kWaitWritable);
}

int32_t WaitReadable(Socket socket, int32_t timeoutMs) {
  return WaitReady(socket, win32::kWaitReadable, timeoutMs);
}

int32_t WaitWritable(Socket socket, int32_t timeoutMs) {
  return WaitReady(socket, win32::kWaitWritable, timeoutMs);
}

int32_t Receive(Socket socket, void* buffer, int32_t length) {
  SocketEntryRef entry = Sockets().Enter(Operation::kReceive, socket);
  if (entry == nullptr || !ValidBuffer(buffer, length)) return kSocketError;
  for (;;) {
    const int received = recv(entry->socket, static_cast<char*>(buffer), length, 0);
    if (received > 0) return received;
    if (received == 0) {
      const int32_t result = EndOfStream(*entry);
      // A reset after the peer's own close is not kept.
      if (result == 0) entry->peerClosed.store(true, std::memory_order_release);
      return result;
    }
    const int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK || entry->nonBlocking.load(std::memory_order_relaxed)) {
      FailedOnConnection(*entry, error);
      RecordSocketFailure(*entry, error);
      return kSocketError;
    }
    if (win32::WaitForSocket(*entry, win32::kWaitReadable, kNoTimeout) != 1) return kSocketError;
  }
}

int32_t Send(Socket socket, const void* data, int32_t length) {
  SocketEntryRef entry = Sockets().Enter(Operation::kSend, socket);
  if (entry == nullptr || !ValidBuffer(data, length)) return kSocketError;
  const auto* next = static_cast<const char*>(data);
  int left = length;
  const bool blocking = !entry->nonBlocking.load(std::memory_order_relaxed);
  do {
    const int sent = send(entry->socket, next, left, 0);
    if (sent >= 0) {
      if (!blocking) return sent;
      next += sent;
      left -= sent;
      continue;
    }
    const int error = WSAGetLastError();
    // Winsock records FD_WRITE once the socket takes data again.
    if (error == WSAEWOULDBLOCK) entry->writeAnnounced.store(true, std::memory_order_release);
    if (error != WSAEWOULDBLOCK || !blocking) {
      FailedOnConnection(*entry, error);
      RecordSocketFailure(*entry, error);
      return kSocketError;
    }
    if (win32::WaitForSocket(*entry, win32::kWaitWritable, kNoTimeout) != 1) return kSocketError;
  } while (left > 0);
  return length;
}

}  // namespace zortcp::platform
