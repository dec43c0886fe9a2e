// SPDX-License-Identifier: MIT
// What the command line asks of zorcat.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zorcat {

enum class Command { kDemo, kConnect, kListen };

// Everything about opening one port and running data through it.
struct PortOptions {
  bool server = false;
  std::string host;     // connect: the remote host; listen: the local address, or empty
  std::string service;  // empty: the library's default service
  std::string configFile;
  std::optional<int32_t> retry;  // failed connect attempts before giving up; 0 never
  std::string logFile;
  int32_t level = 1;
  std::optional<uint32_t> rxRing;
  std::optional<uint32_t> txRing;
  bool lookup = false;
  bool blocking = false;
  // The fast transfer mode: on for connect and listen unless --paced asks
  // for the default pacing; the demo shows the default pacing.
  bool fastTransfer = false;
  bool hex = false;
  bool stats = false;
  bool quiet = false;
  bool verbose = false;  // a line for every chunk received or sent
  bool crlf = false;     // line ends of the input are sent as CR LF
  // After the end of input: the silence that ends the session. Longer than
  // the second of silence after which a port notices that its peer closed.
  int32_t idleMs = 2000;
  // The library's "Keep Alive" (seconds, 0 off) and "Connect Timeout"
  // (milliseconds, 0 the system's own) for the port; unset keeps the
  // library's defaults.
  std::optional<uint32_t> keepAlive;
  std::optional<uint32_t> connectTimeout;
  // listen: the library's "Allowed Peers" list, as given; empty serves
  // every peer.
  std::string allowedPeers;
};

// A connect port gives up after this many failed attempts unless --retry
// says otherwise; the library on its own retries for ever.
constexpr int32_t kDefaultConnectRetries = 5;
// A tool on a terminal should notice a peer that has gone silent, so its
// ports keep their connections alive unless --keepalive 0 says otherwise.
constexpr uint32_t kDefaultKeepAliveSeconds = 5;
constexpr uint32_t kMaxKeepAliveSeconds = 7200;
constexpr uint32_t kMaxConnectTimeoutMs = 600000;

// The library's limits for what the tool passes on.
constexpr uint32_t kMinRxRing = 20480;
constexpr uint32_t kMinTxRing = 4096;
constexpr uint32_t kDefaultTxRing = 8192;
constexpr uint32_t kMaxRingSize = 0x7FFFFFFF;  // the library ignores larger sizes
constexpr uint32_t kMaxServicePort = 65535;
constexpr size_t kMaxHostLength = 129;
constexpr size_t kMaxPathLength = 129;
constexpr size_t kMaxLogPathLength = 131;
constexpr size_t kMaxServiceLength = 32;

}  // namespace zorcat
