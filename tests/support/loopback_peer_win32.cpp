// SPDX-License-Identifier: MIT
// The plain-socket peers with Winsock: the same behaviour as the Linux
// version (loopback_peer.cpp), one system call for one system call.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>

#include "support/loopback_peer.h"

namespace zortcp::testing {
namespace {

// The peers start Winsock for themselves once, whatever the library does.
struct WinsockStarted {
  WinsockStarted() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) throw std::runtime_error("WSAStartup");
  }
  ~WinsockStarted() { WSACleanup(); }
};

void StartWinsock() { static WinsockStarted started; }

SOCKET Native(PeerSocket socket) { return static_cast<SOCKET>(socket); }
PeerSocket Wrap(SOCKET socket) {
  return socket == INVALID_SOCKET ? -1 : static_cast<PeerSocket>(socket);
}

SOCKET NewSocket() {
  StartWinsock();
  // Not inheritable: a child process started by a test must not keep a
  // peer's connection open.
  return WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
}

sockaddr_in LoopbackAddress(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

bool WaitSocket(PeerSocket socket, short events, milliseconds timeout) {
  WSAPOLLFD entry{Native(socket), events, 0};
  return WSAPoll(&entry, 1, static_cast<INT>(timeout.count())) > 0;
}

int Chunk(size_t size) { return static_cast<int>(std::min<size_t>(size, 1 << 30)); }

// The sockets that Shutdown has shut down and that are not closed yet. Under
// Wine a send or receive blocked in the system stays blocked when another
// thread shuts its socket down, so the peer's blocking calls wait in slices
// and look here between them.
std::mutex shutLock;
std::set<PeerSocket> shutSockets;

void MarkShut(PeerSocket socket, bool shut) {
  const std::lock_guard<std::mutex> guard(shutLock);
  if (shut) {
    shutSockets.insert(socket);
  } else {
    shutSockets.erase(socket);
  }
}

bool IsShut(PeerSocket socket) {
  const std::lock_guard<std::mutex> guard(shutLock);
  return shutSockets.count(socket) != 0;
}

// Waits until the socket is ready for events; false once it was shut down.
bool WaitUnlessShut(PeerSocket socket, short events) {
  constexpr milliseconds kSlice{100};
  while (!WaitSocket(socket, events, kSlice)) {
    if (IsShut(socket)) return false;
  }
  return true;
}

void SetBlocking(PeerSocket socket, bool blocking) {
  u_long nonBlocking = blocking ? 0 : 1;
  // FIONBIO's value does not fit the long the call takes.
  constexpr long kSetNonBlocking = static_cast<long>(FIONBIO);
  ioctlsocket(Native(socket), kSetNonBlocking, &nonBlocking);
}

}  // namespace

PeerConnection::~PeerConnection() { Close(); }

PeerConnection::PeerConnection(PeerConnection&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

PeerConnection& PeerConnection::operator=(PeerConnection&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

uint16_t PeerConnection::RemotePort() const {
  sockaddr_in address{};
  int length = sizeof(address);
  if (getpeername(Native(fd_), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

uint16_t PeerConnection::LocalPort() const {
  sockaddr_in address{};
  int length = sizeof(address);
  if (getsockname(Native(fd_), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

bool PeerConnection::SendAll(const void* data, size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    if (!WaitUnlessShut(fd_, POLLWRNORM)) return false;
    const int sent = send(Native(fd_), bytes, Chunk(size), 0);
    if (sent == SOCKET_ERROR) {
      if (WSAGetLastError() == WSAEINTR) continue;
      return false;
    }
    bytes += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

std::vector<uint8_t> PeerConnection::ReceiveExactly(size_t size, milliseconds timeout) {
  std::vector<uint8_t> received;
  received.reserve(size);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::vector<char> buffer(65536);
  while (received.size() < size) {
    auto left =
        std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !WaitSocket(fd_, POLLRDNORM, left)) break;
    const size_t want = std::min(buffer.size(), size - received.size());
    const int n = recv(Native(fd_), buffer.data(), Chunk(want), 0);
    if (n <= 0) break;
    received.insert(received.end(), buffer.begin(), buffer.begin() + n);
  }
  return received;
}

int64_t PeerConnection::ReceiveOnce(void* data, size_t size) const {
  // A socket shut down meanwhile reads as the end of the stream.
  if (!WaitUnlessShut(fd_, POLLRDNORM)) return 0;
  return recv(Native(fd_), static_cast<char*>(data), Chunk(size), 0);
}

std::vector<uint8_t> PeerConnection::ReceiveSome(size_t max, milliseconds timeout) {
  std::vector<uint8_t> received;
  if (!WaitSocket(fd_, POLLRDNORM, timeout)) return received;
  received.resize(max);
  const int n = recv(Native(fd_), reinterpret_cast<char*>(received.data()), Chunk(max), 0);
  received.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return received;
}

bool PeerConnection::WaitForClose(milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  char buffer[4096];
  for (;;) {
    auto left =
        std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !WaitSocket(fd_, POLLRDNORM, left)) return false;
    const int n = recv(Native(fd_), buffer, sizeof(buffer), 0);
    if (n <= 0) return true;
  }
}

void PeerConnection::Close() {
  if (fd_ >= 0) {
    MarkShut(fd_, false);
    closesocket(Native(fd_));
  }
  fd_ = -1;
}

void PeerConnection::Shutdown() {
  if (fd_ < 0) return;
  MarkShut(fd_, true);
  shutdown(Native(fd_), SD_BOTH);
}

bool PeerConnection::ShutdownSend() { return fd_ >= 0 && shutdown(Native(fd_), SD_SEND) == 0; }

void PeerConnection::SetReceiveBuffer(int bytes) {
  setsockopt(Native(fd_), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes),
             sizeof(bytes));
}

void PeerConnection::Reset() {
  if (fd_ < 0) return;
  linger option{1, 0};
  setsockopt(Native(fd_), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option),
             sizeof(option));
  Close();
}

LoopbackListener::LoopbackListener(int backlog) {
  fd_ = Wrap(NewSocket());
  if (fd_ < 0) throw std::runtime_error("socket");
  // Windows lets SO_REUSEADDR take a port someone else holds; the exclusive
  // option keeps the port the listener's alone.
  BOOL on = TRUE;
  setsockopt(Native(fd_), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
             sizeof(on));
  sockaddr_in address = LoopbackAddress(0);
  if (bind(Native(fd_), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(Native(fd_), backlog) != 0) {
    throw std::runtime_error("bind/listen");
  }
  int length = sizeof(address);
  getsockname(Native(fd_), reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
}

LoopbackListener::~LoopbackListener() { Close(); }

std::optional<PeerConnection> LoopbackListener::Accept(milliseconds timeout) {
  if (fd_ < 0 || !WaitSocket(fd_, POLLRDNORM, timeout)) return std::nullopt;
  const SOCKET accepted = accept(Native(fd_), nullptr, nullptr);
  if (accepted == INVALID_SOCKET) return std::nullopt;
  SetHandleInformation(reinterpret_cast<HANDLE>(accepted), HANDLE_FLAG_INHERIT, 0);
  return PeerConnection(Wrap(accepted));
}

void LoopbackListener::Close() {
  if (fd_ >= 0) closesocket(Native(fd_));
  fd_ = -1;
}

namespace {

// Starts a connect from the source address (none: the system's choice).
PeerConnection StartConnect(uint16_t port, milliseconds wait, bool* connected, const char* source) {
  PeerConnection connection(Wrap(NewSocket()));
  *connected = false;
  if (!connection.IsOpen()) return connection;
  if (source != nullptr) {
    sockaddr_in local = LoopbackAddress(0);
    local.sin_addr.s_addr = inet_addr(source);
    if (bind(Native(connection.fd()), reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
      return PeerConnection();
    }
  }
  SetBlocking(connection.fd(), false);
  sockaddr_in address = LoopbackAddress(port);
  if (connect(Native(connection.fd()), reinterpret_cast<sockaddr*>(&address), sizeof(address)) ==
      0) {
    *connected = true;
    return connection;
  }
  if (WSAGetLastError() != WSAEWOULDBLOCK) return connection;
  // A refused connect shows as an error on the socket, not as writable.
  WSAPOLLFD entry{Native(connection.fd()), POLLWRNORM, 0};
  *connected =
      WSAPoll(&entry, 1, static_cast<INT>(wait.count())) > 0 && (entry.revents & POLLWRNORM) != 0;
  return connection;
}

}  // namespace

PeerConnection ConnectLoopback(uint16_t port, milliseconds timeout, const char* source) {
  bool connected = false;
  PeerConnection connection = StartConnect(port, timeout, &connected, source);
  if (!connected || !connection.IsOpen()) return PeerConnection();
  int error = 0;
  int length = sizeof(error);
  getsockopt(Native(connection.fd()), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
             &length);
  if (error != 0) return PeerConnection();
  SetBlocking(connection.fd(), true);
  return connection;
}

PeerConnection StartConnectLoopback(uint16_t port, milliseconds wait, bool* connected) {
  return StartConnect(port, wait, connected, nullptr);
}

uint16_t UnusedLoopbackPort() {
  LoopbackListener listener;
  return listener.port();
}

PeerConnection HoldPortOnEveryAddress() {
  PeerConnection holder(Wrap(NewSocket()));
  BOOL on = TRUE;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!holder.IsOpen() ||
      setsockopt(Native(holder.fd()), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                 reinterpret_cast<const char*>(&on), sizeof(on)) != 0 ||
      bind(Native(holder.fd()), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    throw std::runtime_error("bind");
  }
  return holder;
}

bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::string SystemHostName() {
  StartWinsock();
  char name[256] = {};
  return gethostname(name, sizeof(name) - 1) == 0 ? std::string(name) : std::string();
}

uint16_t SystemServicePort(const char* name) {
  StartWinsock();
  const servent* found = getservbyname(name, "tcp");
  return found == nullptr ? 0 : ntohs(static_cast<u_short>(found->s_port));
}

std::vector<uint8_t> RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 generator(seed);
  std::vector<uint8_t> bytes(size);
  for (auto& byte : bytes) byte = static_cast<uint8_t>(generator());
  return bytes;
}

}  // namespace zortcp::testing
