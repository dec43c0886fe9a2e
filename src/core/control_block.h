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

struct PortControlBlock {
  std::atomic<int32_t> inUse{0};
  std::atomic<PortLife> life{PortLife::kFree};
  // Host calls inside the port (see PortCall); the close waits for them to
  // leave before it touches anything that they use.
  std::atomic<int32_t> callsInside{0};
  int32_t portNumber = 0;  // handle + 1, printed by the monitors' log lines
  char hostName[kHostNameSize] = {};
  char serviceName[kServiceTextSize] = {};
  char serviceType[kServiceTextSize] = {};
  char configFileName[kConfigFileNameSize] = {};
  // Client: set by the open. Server: set by the receive monitor at each
  // accepted peer while the host may read it, so guarded by nameLock.
  char remoteHostName[kRemoteHostNameSize] = {};
  SpinLock nameLock;
  uint32_t flags = 0;
  std::atomic<int32_t> connected{0};
  int32_t connectRetryCount = 0;
  std::atomic<int32_t> connectAttempts{0};
  // Client: 1 while the receive monitor is between the socket of one
  // attempt, which it has closed, and the socket of the next, which it has
  // not made yet; TxMonitor then waits instead of dropping its chunk.
  std::atomic<int32_t> replacingSocket{0};
  std::atomic<int32_t> signal{0};
  std::atomic<platform::Socket> socket{platform::kNoSocket};
  std::atomic<platform::Socket> acceptedSocket{platform::kNoSocket};
  platform::SocketAddress peerAddress;
  int32_t peerAddressLength = 0;
  std::atomic<uint32_t> peerPort{0};
  // The served (server) or resolved (client) peer's IPv4 address in network
  // order, for ZorGetConfig item 2; 0 when none.
  std::atomic<uint32_t> peerIpAddress{0};
  platform::SocketAddress localAddress;
  platform::SocketAddress remoteAddress;
  int32_t addressLength = 0;
  uint32_t port = 0;  // resolved service port, host byte order

  // Statistics: one writing thread each, read by ZorGetStatistics.
  std::atomic<uint32_t> rxBytes{0};
  std::atomic<uint32_t> txBytes{0};
  std::atomic<uint32_t> rxErrors{0};
  std::atomic<uint32_t> txErrors{0};
  std::atomic<uint32_t> connectErrors{0};

  // Receive side.
  std::atomic<platform::ThreadHandle> rxThread{nullptr};
  void* rxThreadArg = nullptr;
  uint32_t rxThreadId = 0;
  platform::MemoryBlock rxMemory;
  std::atomic<uint8_t*> rxBuffer{nullptr};
  std::atomic<int32_t> rxReadIndex{0};
  std::atomic<int32_t> rxWriteIndex{0};
  std::atomic<int32_t> rxCount{0};
  SpinLock rxLock;
  std::atomic<int32_t> rxSize{0};
  std::atomic<int32_t> rxRunning{0};
  std::atomic<int32_t> rxStop{0};
  platform::MemoryBlock recvMemory;
  uint8_t* recvBuffer = nullptr;

  // Transmit side.
  std::atomic<platform::ThreadHandle> txThread{nullptr};
  void* txThreadArg = nullptr;
  uint32_t txThreadId = 0;
  platform::MemoryBlock txMemory;
  std::atomic<uint8_t*> txBuffer{nullptr};
  std::atomic<int32_t> txReadIndex{0};
  std::atomic<int32_t> txWriteIndex{0};
  std::atomic<int32_t> txCount{0};
  SpinLock txLock;
  std::atomic<int32_t> txSuspended{0};
  std::atomic<int32_t> txSize{0};
  std::atomic<int32_t> txRunning{0};
  std::atomic<int32_t> txStop{0};

  // Events: bound by the open before the monitors run.
  ZorEventHandler eventHandler = nullptr;
  uint32_t eventUserData = 0;

  // Debug log.
  std::atomic<int32_t> debugLevel{0};
  SpinLock logLock;
  char debugOutputFile[kDebugOutputFileSize] = {};
  std::atomic<std::FILE*> logFile{nullptr};

  // Opt-in fast transfer mode ("Fast Transfer"): set by the open, which
  // then chooses the port's pacing from it before the monitors run.
  bool fastTransfer = false;
  const Pacing* pacing = &kDefaultPacing;
  // Opt-in dead-peer settings, set by the open: "Keep Alive" in seconds for
  // every connection made or accepted, "Connect Timeout" in milliseconds for
  // each connect attempt; 0 leaves either to the system.
  uint32_t keepAliveSeconds = 0;
  uint32_t connectTimeoutMs = 0;
  // Fast transfer mode: 1 while the receive monitor sleeps until the host
  // takes bytes out of its full RxRing; RxRingGetRun then wakes it.
  std::atomic<int32_t> rxRoomWanted{0};
  // Fast transfer mode: 1 while a writer waits for TxMonitor to empty the
  // full TxRing; TxRingGetRun then wakes it.
  std::atomic<int32_t> txRoomWanted{0};
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
