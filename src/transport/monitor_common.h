// SPDX-License-Identifier: MIT
// What the two receive monitors share: their failure recording, the
// receive step that they run on a connection, and the turn pacing.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>

#include "core/control_block.h"
#include "platform/platform.h"

namespace zortcp {

inline constexpr uint32_t kTurnMs = 1;
inline constexpr uint32_t kSilenceMs = 1000;
// The most that one receive takes (into the block's recvBuffer) and one send
// gives (from the transmit monitor's chunk).
inline constexpr int32_t kChunkSize = 4096;
static_assert(kChunkSize <= kRecvBufferSize, "a receive must fit the receive buffer");
// The system's buffers of a connected socket, set when it connects.
inline constexpr int32_t kSocketReceiveBufferBytes = 262144;
inline constexpr int32_t kSocketSendBufferBytes = 16384;
// The fast transfer mode gives a connection a send buffer as large as its
// receive buffer: with 16384 bytes the transmit monitor waits for the peer
// after every few chunks, which holds a loopback connection to a fraction
// of what it can carry.
inline constexpr int32_t kFastSocketSendBufferBytes = kSocketReceiveBufferBytes;
// A fast-mode wait returns at least this often to look at the stop flag.
inline constexpr int32_t kFastWaitMs = 100;

// After it has moved bytes, a fast-mode monitor looks for more for this long,
// giving up the processor between looks, before it blocks: a blocked thread
// on an idle processor of a virtual machine takes tens of microseconds to
// wake, several times what the next request of an exchange takes to come.
inline constexpr std::chrono::microseconds kFastSpin{50};

// Looks at ready() until it holds or kFastSpin has passed, yielding the
// processor between looks. True when it held.
template <typename Ready>
bool SpinBriefly(Ready ready) {
  const auto until = std::chrono::steady_clock::now() + kFastSpin;
  do {
    if (ready()) return true;
    platform::Sleep(0);
  } while (std::chrono::steady_clock::now() < until);
  return ready();
}

// Sleeps ms milliseconds in short steps, ending early once stop is raised,
// so that a pause never holds up a close.
inline constexpr uint32_t kPauseStepMs = 10;
inline void PauseUnlessStopped(const std::atomic<int32_t>& stop, uint32_t ms) {
  const uint32_t start = platform::TickCount();
  for (;;) {
    const uint32_t elapsed = platform::TickCount() - start;
    if (stop.load() != 0 || elapsed >= ms) return;
    platform::Sleep(std::min(ms - elapsed, kPauseStepMs));
  }
}

// The block a monitor was started for: its argument is the address of the
// block's thread argument field, which holds the block's address.
inline PortControlBlock& BlockOfArgument(void* argument) {
  return **static_cast<PortControlBlock**>(argument);
}

// The parts of a receive monitor's behaviour in which client and server
// differ.
struct ReceiveRole {
  const char* name;  // "RxMonitorClient" or "RxMonitorServer"
  bool server;
  int32_t pollLocation;
  int32_t pendingBeforeLocation;
  int32_t receiveLocation;
  int32_t pendingAfterLocation;
};

// The connection a receive monitor serves, with the last-activity tick of
// the silence rule.
struct Connection {
  std::atomic<platform::Socket>& socket;
  uint32_t lastActivity = 0;
  bool closedAndQuiet = false;  // readable with nothing waiting, last turn
};

// Records the thread's last socket error at a location, raises 5/4, asks
// the monitor to end and logs "<name>() - Port: %d, <call>() failed. %u".
void FailMonitor(PortControlBlock& block, const ReceiveRole& role, int32_t location,
                 const char* call);

// Records the thread's last socket error at a location and logs
// "<name>() - Port: %d, <call>() failed. %u"; used for failures that leave
// the connection working.
void RecordSetupFailure(PortControlBlock& block, const ReceiveRole& role, int32_t location,
                        const char* call);

// Sets the socket buffer sizes of a new connection, recording failures at
// the role's two locations (receive buffer, then send buffer), and the
// port's keep-alive when it has one.
void SetConnectionBuffers(PortControlBlock& block, const ReceiveRole& role, platform::Socket socket,
                          int32_t receiveLocation, int32_t sendLocation);

// One receive step on a connected socket: poll, count, receive and hand
// over up to a backlog of chunks, 1 ms apart.
void ReceiveStep(PortControlBlock& block, const ReceiveRole& role, Connection& connection);

// The end of a turn: a 1 ms sleep, or in the fast transfer mode a wait for
// the connection to become readable (or its silence deadline).
void EndTurn(PortControlBlock& block, const Connection& connection);

// Copies of the port's memory that keep it valid for the monitor's whole
// life, even if the close gives up on the monitor and frees the block's.
struct MonitorMemory {
  explicit MonitorMemory(PortControlBlock& block)
      : rxMemory(block.rxMemory), recvMemory(block.recvMemory), txMemory(block.txMemory) {}
  platform::MemoryBlock rxMemory;
  platform::MemoryBlock recvMemory;
  platform::MemoryBlock txMemory;
};

}  // namespace zortcp
