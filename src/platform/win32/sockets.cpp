// SPDX-License-Identifier: MIT
// Network start-up, socket life cycle, connection set-up and options.
//
// Every SOCKET is non-blocking at the system level; the blocking mode that
// callers see is emulated per socket (see socket_io.cpp), so that a blocked
// call can always be woken by CloseSocket and by termination.
#include <algorithm>

#include "platform/win32/socket_registry.h"

// TCP options of newer Windows SDKs than mingw-w64's headers follow.
#ifndef TCP_MAXRT
#define TCP_MAXRT 5
#endif
#ifndef TCP_KEEPCNT
#define TCP_KEEPCNT 16
#endif

namespace zortcp::platform {
namespace {

constexpr WORD kWinsockVersion = MAKEWORD(1, 1);

constexpr uint32_t kKeepAliveMinSeconds = 1;
constexpr uint32_t kKeepAliveMaxSeconds = 7200;
constexpr ULONG kKeepAliveProbeMs = 1000;
constexpr DWORD kKeepAliveMaxProbes = 255;  // the most TCP_KEEPCNT takes

sockaddr_in ToSystem(const SocketAddress& address) {
  sockaddr_in system{};
  system.sin_family = static_cast<decltype(system.sin_family)>(address.family);
  system.sin_port = address.port;
  system.sin_addr.s_addr = address.address;
  return system;
}

SocketAddress FromSystem(const sockaddr_in& system) {
  SocketAddress address;
  address.family = static_cast<uint16_t>(system.sin_family);
  address.port = system.sin_port;
  address.address = system.sin_addr.s_addr;
  return address;
}

// What a socket call returns after a Winsock call that gives 0 on success:
// 0, or kSocketError with the failure recorded.
int32_t Outcome(const SocketEntry& entry, int result) {
  if (result == 0) return 0;
  RecordSocketFailure(entry, WSAGetLastError());
  return kSocketError;
}

int32_t SetOption(const SocketEntry& entry, int level, int option, int value) {
  return Outcome(entry, setsockopt(entry.socket, level, option,
                                   reinterpret_cast<const char*>(&value), sizeof(value)));
}

int32_t SetIntegerOption(Operation operation, Socket socket, int level, int option, int32_t value) {
  SocketEntryRef entry = Sockets().Enter(operation, socket);
  if (entry == nullptr) return kSocketError;
  return SetOption(*entry, level, option, value);
}

// The outcome of a connection attempt that is under way: waits until the
// socket is writable or the attempt has failed (or the time-out ends), then
// reads the attempt's error.
int32_t FinishConnect(SocketEntry& entry, int32_t timeoutMs) {
  const int32_t ready = win32::WaitForSocket(entry, win32::kWaitWritable, timeoutMs);
  if (ready == 0) SetLastSocketError(kErrorTimedOut);
  if (ready != 1) return kSocketError;
  int error = 0;
  int length = sizeof(error);
  if (getsockopt(entry.socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) !=
      0) {
    error = WSAGetLastError();
  }
  if (error != 0) {
    entry.connecting.store(false, std::memory_order_release);
    RecordSocketFailure(entry, error);
    return kSocketError;
  }
  entry.connected.store(true, std::memory_order_release);
  entry.connecting.store(false, std::memory_order_release);
  return 0;
}

}  // namespace

int32_t StartNetwork() {
  if (InjectedSocketFailure(Operation::kStartNetwork, kNoSocket)) return kSocketError;
  WSADATA data{};
  const int result = WSAStartup(kWinsockVersion, &data);
  if (result == 0) return 0;
  SetLastSocketError(result);
  return kSocketError;
}

void StopNetwork() { WSACleanup(); }

Socket OpenSocket() {
  if (InjectedSocketFailure(Operation::kOpenSocket, kNoSocket)) return kNoSocket;
  const SOCKET system = socket(AF_INET, SOCK_STREAM, 0);
  if (system == INVALID_SOCKET) {
    SetLastSocketError(WSAGetLastError());
    return kNoSocket;
  }
  return win32::RegisterSocket(system);
}

int32_t CloseSocket(Socket socket) {
  SocketEntryRef entry = Sockets().Remove(socket);
  if (entry == nullptr) return kSocketError;
  entry->closed.store(true, std::memory_order_release);
  // The cancel event is never reset, so every wait on the socket, present
  // or future, ends.
  SetEvent(entry->cancelEvent);
  // The peer sees the end of the connection now, not when the last call
  // still holding the entry lets go of the SOCKET.
  shutdown(entry->socket, SD_BOTH);
  return 0;
}

int32_t Bind(Socket socket, const SocketAddress& address) {
  SocketEntryRef entry = Sockets().Enter(Operation::kBind, socket);
  if (entry == nullptr) return kSocketError;
  // With SO_REUSEADDR another socket, of any program, could take a port
  // that this one listens on; exclusive use refuses it.
  SetOption(*entry, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1);
  // The broadcast address is what a dotted text that is no address reads
  // as; no peer reaches a listener there.
  if (address.address == INADDR_BROADCAST) {
    SetLastSocketError(kErrorAddressNotAvailable);
    return kSocketError;
  }
  const sockaddr_in system = ToSystem(address);
  if (bind(entry->socket, reinterpret_cast<const sockaddr*>(&system), sizeof(system)) == 0)
    return 0;
  // An address that another socket holds is 10048 on every system. Wine 8
  // refuses a bind with exclusive use on a port that another socket listens
  // on with 10013 (WSAEACCES) instead; Windows gives 10013 for a port held
  // exclusively or reserved by the system, which is no more free either.
  const int error = WSAGetLastError();
  RecordSocketFailure(*entry, error == WSAEACCES ? WSAEADDRINUSE : error);
  return kSocketError;
}

int32_t Listen(Socket socket, int32_t backlog) {
  SocketEntryRef entry = Sockets().Enter(Operation::kListen, socket);
  if (entry == nullptr) return kSocketError;
  if (Outcome(*entry, listen(entry->socket, backlog)) != 0) return kSocketError;
  entry->listening.store(true, std::memory_order_release);
  return 0;
}

Socket Accept(Socket socket, SocketAddress* peer) {
  SocketEntryRef entry = Sockets().Enter(Operation::kAccept, socket);
  if (entry == nullptr) return kNoSocket;
  for (;;) {
    sockaddr_in address{};
    int length = sizeof(address);
    const SOCKET accepted = accept(entry->socket, reinterpret_cast<sockaddr*>(&address), &length);
    if (accepted != INVALID_SOCKET) {
      const Socket handle = win32::RegisterSocket(accepted, true);
      if (handle != kNoSocket && peer != nullptr) *peer = FromSystem(address);
      return handle;
    }
    const int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK || entry->nonBlocking.load(std::memory_order_relaxed)) {
      RecordSocketFailure(*entry, error);
      return kNoSocket;
    }
    if (win32::WaitForSocket(*entry, win32::kWaitReadable, kNoTimeout) != 1) return kNoSocket;
  }
}

int32_t ConnectWithin(Socket socket, const SocketAddress& address, int32_t timeoutMs) {
  SocketEntryRef entry = Sockets().Enter(Operation::kConnect, socket);
  if (entry == nullptr) return kSocketError;
  const sockaddr_in system = ToSystem(address);
  if (connect(entry->socket, reinterpret_cast<const sockaddr*>(&system), sizeof(system)) == 0) {
    entry->connected.store(true, std::memory_order_release);
    return 0;
  }
  // A non-blocking connect that has begun reports WSAEWOULDBLOCK.
  const int error = WSAGetLastError();
  if (error != WSAEWOULDBLOCK) {
    RecordSocketFailure(*entry, error);
    return kSocketError;
  }
  entry->connecting.store(true, std::memory_order_release);
  if (entry->nonBlocking.load(std::memory_order_relaxed)) {
    RecordSocketFailure(*entry, WSAEWOULDBLOCK);
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
  // A listening socket has no bytes to count: 10022 as on Linux, where
  // Winsock would answer 0.
  if (entry->listening.load(std::memory_order_acquire)) {
    SetLastSocketError(kErrorInvalid);
    return kSocketError;
  }
  u_long waiting = 0;
  if (Outcome(*entry, ioctlsocket(entry->socket, FIONREAD, &waiting)) != 0) return kSocketError;
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
  const uint32_t idle = std::clamp(seconds, kKeepAliveMinSeconds, kKeepAliveMaxSeconds);
  // Probes once a second from the first silent period on.
  tcp_keepalive values{};
  values.onoff = 1;
  values.keepalivetime = idle * 1000;
  values.keepaliveinterval = kKeepAliveProbeMs;
  faults::NoteKeepAliveTimes({values.keepalivetime, values.keepaliveinterval});
  DWORD returned = 0;
  if (Outcome(*entry, WSAIoctl(entry->socket, SIO_KEEPALIVE_VALS, &values, sizeof(values), nullptr,
                               0, &returned, nullptr, nullptr)) != 0) {
    return kSocketError;
  }
  // Give up on probes after about as long again, and on unacknowledged
  // bytes after twice the idle time. Windows 10 1703 and later have both
  // options; older systems (and Wine, which refuses them with 10042) keep
  // their own limits: 10 probes, and about 20 s of retransmissions.
  const DWORD probes = std::min<DWORD>(idle, kKeepAliveMaxProbes);
  setsockopt(entry->socket, IPPROTO_TCP, TCP_KEEPCNT, reinterpret_cast<const char*>(&probes),
             sizeof(probes));
  const DWORD maxRetransmitSeconds = 2 * idle;
  setsockopt(entry->socket, IPPROTO_TCP, TCP_MAXRT,
             reinterpret_cast<const char*>(&maxRetransmitSeconds), sizeof(maxRetransmitSeconds));
  return 0;
}

// Windows 10 1703 and later could tell through SIO_TCP_INFO; Wine cannot,
// and it is not used yet: the keep-alive of a connection with bytes
// outstanding is left to TCP_MAXRT where the system has it.
int32_t PeerAnswersOf(Socket socket, PeerAnswers* answers) {
  SocketEntryRef entry = RequireAnswer(Sockets().Find(socket), answers);
  if (entry == nullptr) return kSocketError;
  *answers = PeerAnswers{};
  return 0;
}

int32_t LocalAddress(Socket socket, SocketAddress* address) {
  SocketEntryRef entry = RequireAnswer(Sockets().Enter(Operation::kLocalAddress, socket), address);
  if (entry == nullptr) return kSocketError;
  sockaddr_in system{};
  int length = sizeof(system);
  if (Outcome(*entry, getsockname(entry->socket, reinterpret_cast<sockaddr*>(&system), &length)) !=
      0) {
    return kSocketError;
  }
  *address = FromSystem(system);
  return 0;
}

}  // namespace zortcp::platform
