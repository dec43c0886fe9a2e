// SPDX-License-Identifier: MIT
#include "support/loopback_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <stdexcept>

namespace zortcp::testing {
namespace {

sockaddr_in LoopbackAddress(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// The descriptor of a peer socket (stored wide enough for a Windows SOCKET).
int Fd(PeerSocket socket) { return static_cast<int>(socket); }

bool WaitFd(PeerSocket fd, short events, milliseconds timeout) {
  pollfd entry{Fd(fd), events, 0};
  int result;
  do {
    result = ::poll(&entry, 1, static_cast<int>(timeout.count()));
  } while (result < 0 && errno == EINTR);
  return result > 0;
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
  socklen_t length = sizeof(address);
  if (::getpeername(Fd(fd_), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

uint16_t PeerConnection::LocalPort() const {
  sockaddr_in address{};
  socklen_t length = sizeof(address);
  if (::getsockname(Fd(fd_), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

bool PeerConnection::SendAll(const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    ssize_t sent = ::send(Fd(fd_), bytes, size, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
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
  uint8_t buffer[65536];
  while (received.size() < size) {
    auto left =
        std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !WaitFd(fd_, POLLIN, left)) break;
    size_t want = std::min(sizeof(buffer), size - received.size());
    ssize_t n = ::recv(Fd(fd_), buffer, want, 0);
    if (n <= 0) break;
    received.insert(received.end(), buffer, buffer + n);
  }
  return received;
}

int64_t PeerConnection::ReceiveOnce(void* data, size_t size) const {
  ssize_t got;
  do {
    got = ::recv(Fd(fd_), data, size, 0);
  } while (got < 0 && errno == EINTR);
  return got;
}

std::vector<uint8_t> PeerConnection::ReceiveSome(size_t max, milliseconds timeout) {
  std::vector<uint8_t> received;
  if (!WaitFd(fd_, POLLIN, timeout)) return received;
  received.resize(max);
  ssize_t n = ::recv(Fd(fd_), received.data(), max, 0);
  received.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return received;
}

bool PeerConnection::WaitForClose(milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  uint8_t buffer[4096];
  for (;;) {
    auto left =
        std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !WaitFd(fd_, POLLIN, left)) return false;
    ssize_t n = ::recv(Fd(fd_), buffer, sizeof(buffer), 0);
    if (n <= 0) return true;
  }
}

void PeerConnection::Close() {
  if (fd_ >= 0) ::close(Fd(fd_));
  fd_ = -1;
}

void PeerConnection::Shutdown() {
  if (fd_ >= 0) ::shutdown(Fd(fd_), SHUT_RDWR);
}

bool PeerConnection::ShutdownSend() { return fd_ >= 0 && ::shutdown(Fd(fd_), SHUT_WR) == 0; }

void PeerConnection::SetReceiveBuffer(int bytes) {
  ::setsockopt(Fd(fd_), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
}

void PeerConnection::Reset() {
  if (fd_ < 0) return;
  linger option{1, 0};
  ::setsockopt(Fd(fd_), SOL_SOCKET, SO_LINGER, &option, sizeof(option));
  Close();
}

LoopbackListener::LoopbackListener(int backlog) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error("socket");
  int on = 1;
  ::setsockopt(Fd(fd_), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in address = LoopbackAddress(0);
  if (::bind(Fd(fd_), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(Fd(fd_), backlog) != 0) {
    throw std::runtime_error("bind/listen");
  }
  socklen_t length = sizeof(address);
  ::getsockname(Fd(fd_), reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
}

LoopbackListener::~LoopbackListener() { Close(); }

std::optional<PeerConnection> LoopbackListener::Accept(milliseconds timeout) {
  if (fd_ < 0 || !WaitFd(fd_, POLLIN, timeout)) return std::nullopt;
  int fd = ::accept4(Fd(fd_), nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return std::nullopt;
  return PeerConnection(fd);
}

void LoopbackListener::Close() {
  if (fd_ >= 0) ::close(Fd(fd_));
  fd_ = -1;
}

PeerConnection ConnectLoopback(uint16_t port, milliseconds timeout, const char* source) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return PeerConnection();
  if (source != nullptr) {
    sockaddr_in local = LoopbackAddress(0);
    local.sin_addr.s_addr = ::inet_addr(source);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
      ::close(fd);
      return PeerConnection();
    }
  }
  sockaddr_in address = LoopbackAddress(port);
  int result = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  if (result != 0 && errno == EINPROGRESS) {
    if (WaitFd(fd, POLLOUT, timeout)) {
      int error = 0;
      socklen_t length = sizeof(error);
      ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
      result = error == 0 ? 0 : -1;
    }
  }
  if (result != 0) {
    ::close(fd);
    return PeerConnection();
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return PeerConnection(fd);
}

PeerConnection StartConnectLoopback(uint16_t port, milliseconds wait, bool* connected) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  PeerConnection connection(fd);
  sockaddr_in address = LoopbackAddress(port);
  *connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 ||
               WaitFd(fd, POLLOUT, wait);
  return connection;
}

uint16_t UnusedLoopbackPort() {
  LoopbackListener listener;
  return listener.port();
}

PeerConnection HoldPortOnEveryAddress() {
  PeerConnection holder(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!holder.IsOpen() ||
      ::bind(Fd(holder.fd()), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    throw std::runtime_error("bind");
  }
  return holder;
}

bool RunningUnderWine() { return false; }

std::string SystemHostName() {
  char name[256] = {};
  return ::gethostname(name, sizeof(name) - 1) == 0 ? std::string(name) : std::string();
}

uint16_t SystemServicePort(const char* name) {
  servent entry{};
  servent* found = nullptr;
  char buffer[4096];
  if (getservbyname_r(name, "tcp", &entry, buffer, sizeof(buffer), &found) != 0 ||
      found == nullptr) {
    return 0;
  }
  return ntohs(static_cast<uint16_t>(found->s_port));
}

std::vector<uint8_t> RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 generator(seed);
  std::vector<uint8_t> bytes(size);
  for (auto& byte : bytes) byte = static_cast<uint8_t>(generator());
  return bytes;
}

}  // namespace zortcp::testing
