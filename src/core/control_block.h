// SPDX-License-Identifier: MIT
// The table of 32 port control blocks and the library-wide values beside it.
// A port handle is the index of its block. Fields that more than one thread
// touches while the port is open are atomic; the others are written by the
// open (before the monitors run) or by one monitor only.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>

#include "core/allowed_peers.h"
#include "core/pacing.h"
#include "core/spin_lock.h"
#include "platform/platform.h"
#include "zortcp.h"

namespace zortcp {

inline constexpr int32_t kPortCount = 32;
inline constexpr int32_t kHostNameSize = 130;
inline constexpr int32_t kServiceTextSize = 33;
inline constexpr int32_t kConfigFileNameSize = 130;
inline constexpr int32_t kRemoteHostNameSize = 130;
inline constexpr int32_t kDebugOutputFileSize = 132;
inline constexpr int32_t kRecvBufferSize = 4096;

// Where a block is in its port's life. A port is open from the moment its
// rings are ready and its monitors may run (a handler may call it before
// ZorOpenPort has returned) until its close begins.
enum class PortLife : int32_t { kFree, kOpening, kOpen, kClosing };

// One byte ring: the RxRing or the TxRing of a port. The open gives it its
// storage and publishes the size once the storage exists; indexes, count and
// storage then change only under the lock, and the count is also read
// without it (see transport/rings.h).
struct ByteRing {
  platform::MemoryBlock memory;
  std::atomic<uint8_t*> buffer{nullptr};
  std::atomic<int32_t> readIndex{0};
  std::atomic<int32_t> writeIndex{0};
  std::atomic<int32_t> count{0};
  SpinLock lock;
  std::atomic<int32_t> size{0};
};

// The control of one monitor thread. The open creates the thread and sets
// the argument; the monitor raises running at its start and lowers it as its
// last act; the close raises stop.
struct MonitorControl {
  std::atomic<platform::ThreadHandle> thread{nullptr};
  // The thread's argument points here; this holds the block's address.
  void* threadArg = nullptr;
  std::atomic<int32_t> running{0};
  std::atomic<int32_t> stop{0};
  // Transmit monitor only: 1 while it suspends itself on an empty TxRing,
  // so that writers know to resume it.
  std::atomic<int32_t> suspended{0};
};

// The port's debug log. The level is read without the lock by every log
// site; the stream is opened, written and closed under the lock.
struct PortLog {
  std::atomic<int32_t> level{0};
  SpinLock lock;
  // Kept from one port on the block to the next: a configuration that sets
  // only a level logs under the earlier port's file name.
  char fileName[kDebugOutputFileSize] = {};
  std::atomic<std::FILE*> file{nullptr};
};

// The settings of a port, as the open takes them from the library defaults
// and the configuration file then changes them. Written by the open only.
struct PortSettings {
  char serviceName[kServiceTextSize] = {};
  char serviceType[kServiceTextSize] = {};
  int32_t connectRetryCount = 0;
  bool lookupHostName = false;
  int32_t debugLevel = 0;
  char debugOutputFile[kDebugOutputFileSize] = {};
  // Opt-in fast transfer mode ("Fast Transfer").
  bool fastTransfer = false;
  // Opt-in dead-peer settings: "Keep Alive" in seconds for every connection
  // made or accepted, "Connect Timeout" in milliseconds for each connect
  // attempt; 0 leaves either to the system.
  uint32_t keepAliveSeconds = 0;
  uint32_t connectTimeoutMs = 0;
  // "Allowed Peers": the peers a server serves; read by its receive monitor.
  AllowedPeers allowedPeers;
};

// The port's sockets and what is known of the other end.
struct PortPeer {
  std::atomic<platform::Socket> socket{platform::kNoSocket};
  std::atomic<platform::Socket> acceptedSocket{platform::kNoSocket};
  // Client: 1 while the receive monitor is between the socket of one
  // attempt, which it has closed, and the socket of the next, which it has
  // not made yet; TxMonitor then waits instead of dropping its chunk.
  std::atomic<int32_t> replacingSocket{0};
  // 1 while the receive monitor reports a lost connection, from just before
  // it closes the connection's socket until its last event of the loss;
  // TxMonitor holds back the failure of a chunk that the close cut short
  // until then, so that the loss is reported first, whichever thread
  // noticed it first.
  std::atomic<int32_t> reportingLoss{0};
  // Server: the accepted peer's address, written by the receive monitor.
  platform::SocketAddress address;
  std::atomic<uint32_t> port{0};
  // The served (server) or resolved (client) peer's IPv4 address in network
  // order, for ZorGetConfig item 2; 0 when none.
  std::atomic<uint32_t> ipAddress{0};
  // Client: the resolved remote host at the service port, which every
  // connect attempt goes to.
  platform::SocketAddress remoteAddress;
  // Client: set by the open. Server: set by the receive monitor at each
  // accepted peer while the host may read it, so guarded by nameLock.
  char remoteHostName[kRemoteHostNameSize] = {};
  SpinLock nameLock;
};

// A port: its life and open arguments, its connection state and counts, and
// the parts above, so that a reader of one side or one concern reads one
// part.
struct PortControlBlock {
  std::atomic<int32_t> inUse{0};
  std::atomic<PortLife> life{PortLife::kFree};
  // Host calls inside the port (see PortCall); the close waits for them to
  // leave before it touches anything that they use.
  std::atomic<int32_t> callsInside{0};
  int32_t portNumber = 0;  // handle + 1, printed by the monitors' log lines
  // What the host's open named.
  char hostName[kHostNameSize] = {};
  char configFileName[kConfigFileNameSize] = {};
  uint32_t flags = 0;
  PortSettings settings;
  // How the engine paces itself, chosen by the open from
  // settings.fastTransfer before the monitors run.
  const Pacing* pacing = &kDefaultPacing;
  uint32_t port = 0;  // resolved service port, host byte order

  PortPeer peer;
  std::atomic<int32_t> connected{0};
  std::atomic<int32_t> connectAttempts{0};
  std::atomic<int32_t> signal{0};

  // Statistics: one writing thread each, read by ZorGetStatistics.
  std::atomic<uint32_t> rxBytes{0};
  std::atomic<uint32_t> txBytes{0};
  std::atomic<uint32_t> rxErrors{0};
  std::atomic<uint32_t> txErrors{0};
  std::atomic<uint32_t> connectErrors{0};

  ByteRing rx;
  ByteRing tx;
  MonitorControl rxMonitor;
  MonitorControl txMonitor;
  // The receive monitor's scratch buffer for one receive, of recvBufferSize
  // bytes: kRecvBufferSize, or as many chunks as the pacing receives at once.
  platform::MemoryBlock recvMemory;
  uint8_t* recvBuffer = nullptr;
  int32_t recvBufferSize = 0;
  // Fast transfer mode: 1 while the receive monitor sleeps until the host
  // takes bytes out of its full RxRing; RxRingGetRun then wakes it.
  std::atomic<int32_t> rxRoomWanted{0};
  // Fast transfer mode: 1 while a writer waits for TxMonitor to empty the
  // full TxRing; TxRingGetRun then wakes it.
  std::atomic<int32_t> txRoomWanted{0};

  // Events: bound by the open before the monitors run.
  ZorEventHandler eventHandler = nullptr;
  uint32_t eventUserData = 0;

  PortLog log;
};

// Library-wide values.
struct LibraryState {
  std::atomic<int32_t> libraryInitialised{0};
  ZorEventHandler pendingEventHandler = nullptr;
  uint32_t pendingEventUserData = 0;
};

std::array<PortControlBlock, kPortCount>& PortTable();
LibraryState& Library();

}  // namespace zortcp
