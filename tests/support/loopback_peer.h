// SPDX-License-Identifier: MIT
// Plain-socket peers on 127.0.0.1 for the tests: a listener on a port the
// system chooses, and connections with bounded waits.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zortcp::testing {

using std::chrono::milliseconds;

// The system's socket: a descriptor on Linux, a SOCKET on Windows; -1 when
// there is none on both.
using PeerSocket = std::intptr_t;

class PeerConnection {
 public:
  PeerConnection() = default;
  explicit PeerConnection(PeerSocket fd) : fd_(fd) {}
  ~PeerConnection();
  PeerConnection(PeerConnection&& other) noexcept;
  PeerConnection& operator=(PeerConnection&& other) noexcept;
  PeerConnection(const PeerConnection&) = delete;
  PeerConnection& operator=(const PeerConnection&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  PeerSocket fd() const { return fd_; }
  uint16_t LocalPort() const;
  uint16_t RemotePort() const;

  // Sends every byte (blocking); false on failure.
  bool SendAll(const void* data, size_t size);
  bool SendAll(const std::string& text) { return SendAll(text.data(), text.size()); }
  // Receives exactly size bytes within the time-out; returns what arrived.
  std::vector<uint8_t> ReceiveExactly(size_t size, milliseconds timeout);
  // One blocking receive of at most size bytes: the count, 0 at the end
  // of the stream, negative on failure.
  int64_t ReceiveOnce(void* data, size_t size) const;
  // Receives whatever arrives within the time-out (at most max bytes).
  std::vector<uint8_t> ReceiveSome(size_t max, milliseconds timeout);
  // Waits until the other side has closed (receive returns 0 or fails).
  bool WaitForClose(milliseconds timeout);
  void Close();
  // Ends both directions, so that a thread blocked on the connection returns;
  // the descriptor stays open until Close.
  void Shutdown();
  // Ends the sending direction only (a FIN to the other side).
  bool ShutdownSend();
  // Sets the receive buffer, which bounds the window offered to the sender.
  void SetReceiveBuffer(int bytes);
  // Closes with an RST instead of a FIN.
  void Reset();

 private:
  PeerSocket fd_ = -1;
};

class LoopbackListener {
 public:
  explicit LoopbackListener(int backlog = 8);
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  uint16_t port() const { return port_; }
  std::string PortText() const { return std::to_string(port_); }
  std::optional<PeerConnection> Accept(milliseconds timeout);
  void Close();

 private:
  PeerSocket fd_ = -1;
  uint16_t port_ = 0;
};

// Connects to 127.0.0.1:port; an unopened connection on failure. A source
// address (another loopback address, 127.0.0.2) is bound before the
// connect, so that the peer comes from there.
PeerConnection ConnectLoopback(uint16_t port, milliseconds timeout = milliseconds(2000),
                               const char* source = nullptr);

// Starts a connect to 127.0.0.1:port and waits at most wait for it to be
// made; connected says whether it was. The connection stays open either way.
PeerConnection StartConnectLoopback(uint16_t port, milliseconds wait, bool* connected);

// A port on 127.0.0.1 where nothing listens (bound once, then closed).
uint16_t UnusedLoopbackPort();

// A socket that holds a port the system chooses on every address of this
// host, as a program that keeps a port to itself binds it: exclusively on
// Windows (SO_EXCLUSIVEADDRUSE), without SO_REUSEADDR on Linux. It only
// binds, so nothing can reach it; LocalPort() is the port.
PeerConnection HoldPortOnEveryAddress();

// The system's own answers, to compare the library's with: this machine's
// name, and a TCP service's port from the services database (0 when it is
// not listed).
std::string SystemHostName();
uint16_t SystemServicePort(const char* name);

// Whether this is a Windows program that Wine runs (its ntdll exports
// wine_get_version); false on Linux. For the few tests that meet a
// difference of Wine's that the library cannot see past: each skips there
// and says which.
bool RunningUnderWine();

// A peer's reset (a close with a zero linger time) sends a reset under Wine
// 8, but Wine's own receive reads a reset from its peer as an end of stream:
// recv returns 0 and FD_CLOSE carries no error, where Windows reports 10054.
inline constexpr const char* kWineReadsResetAsEnd =
    "Wine reads a peer's reset as an end of stream, not as 10054";

// Random bytes for data-integrity checks.
std::vector<uint8_t> RandomBytes(size_t size, uint32_t seed);

// Bytes as a string, to compare received data with a text.
inline std::string Text(const std::vector<uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

// Polls a condition every millisecond until it holds or the time-out ends.
template <typename Condition>
bool WaitUntil(Condition condition, milliseconds timeout);

}  // namespace zortcp::testing

#include "support/wait_until.h"
