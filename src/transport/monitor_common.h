// SPDX-License-Identifier: MIT
// What the monitors share: their start and end, their log lines and failure
// reports, and for the two receive monitors the receive step that they run
// on a connection and the turn pacing.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>

#include "core/control_block.h"
#include "core/pacing.h"
#include "diagnostics/error_texts.h"
#include "platform/platform.h"
#include "transport/events.h"
#include "zortcp.h"

namespace zortcp {

inline constexpr uint32_t kTurnMs = 1;
inline constexpr uint32_t kSilenceMs = 1000;
// The most that one receive takes (into the block's recvBuffer) and one send
// gives (from the transmit monitor's chunk).
inline constexpr int32_t kChunkSize = 4096;
static_assert(kChunkSize <= kRecvBufferSize, "a receive must fit the receive buffer");
// The system's receive buffer of a connected socket, set when it connects;
// its send buffer is the pacing's.
inline constexpr int32_t kSocketReceiveBufferBytes = 262144;

// Looks at ready() until it holds or the pacing's look before blocking has
// passed, yielding the processor between looks. True when it held; false at
// once when the pacing does not look.
template <typename Ready>
bool LookBriefly(const Pacing& pacing, Ready ready) {
  if (pacing.lookBeforeBlocking.count() == 0) return false;
  const auto until = std::chrono::steady_clock::now() + pacing.lookBeforeBlocking;
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

// The lines every monitor writes: "<monitor>() - Port: <n>, <text>".
void LogMonitorLine(PortControlBlock& block, const char* monitor, const char* text);

// "<monitor>() - Port: <n>, <call>() failed. <code>".
void LogCallFailed(PortControlBlock& block, const char* monitor, const char* call, int32_t code);

// A monitor's socket call failed: the thread's last socket error is recorded
// at the location and 5/4 raised; then comes what the caller must do before
// the failure is logged with LogCallFailed (nothing, by default).
template <typename BeforeLine>
void ReportFailure(PortControlBlock& block, const char* monitor, int32_t location, const char* call,
                   BeforeLine beforeLine) {
  const int32_t code = RecordSocketFailure(location);
  RaiseEvent(block, ZOR_EVENT_ERROR, ZOR_ERROR_RECORDED);
  beforeLine();
  LogCallFailed(block, monitor, call, code);
}
inline void ReportFailure(PortControlBlock& block, const char* monitor, int32_t location,
                          const char* call) {
  ReportFailure(block, monitor, location, call, [] {});
}

// A receive monitor (of a client or a server port) or the transmit monitor.
enum class MonitorSide { kReceive, kTransmit };

// One run of a monitor thread, from its start to its end. It keeps copies of
// the port's memory, so that the memory stays valid for the whole run even
// if the close gives up on the monitor and frees the block's. At the start
// the side's running flag is raised and its state flag lowered: the
// connected flag of a receive monitor, the suspended flag of the transmit
// monitor.
class MonitorRun {
 public:
  MonitorRun(PortControlBlock& block, MonitorSide side, const char* monitor);
  MonitorRun(const MonitorRun&) = delete;
  MonitorRun& operator=(const MonitorRun&) = delete;

  // Logs "Thread started".
  void Started() const;
  // The monitor's last act: logs the line and lowers the running flag.
  void End(const char* line) const;

 private:
  PortControlBlock& block_;
  std::atomic<int32_t>& running_;
  const char* monitor_;
  const platform::MemoryBlock rxMemory_;
  const platform::MemoryBlock recvMemory_;
  const platform::MemoryBlock txMemory_;
};

// The parts of a receive monitor's behaviour in which client and server
// differ.
struct ReceiveRole {
  const char* name;            // "RxMonitorClient" or "RxMonitorServer"
  const char* packetSizeMark;  // after "Packet size" in the recv() line: ":" or none
  int32_t pollLocation;
  int32_t pendingBeforeLocation;
  int32_t receiveLocation;
  int32_t pendingAfterLocation;
};

// The connection a receive monitor serves, with the last-activity tick of
// the silence rule and the tick when "Keep Alive" last looked at whether
// the peer answers. While another peer waits to be served, a connection
// that is readable with nothing to read is taken as closed at once, without
// the second of silence.
struct Connection {
  std::atomic<platform::Socket>& socket;
  uint32_t lastActivity = 0;
  uint32_t lastAnswerCheck = 0;
  bool newcomerWaiting = false;
};

// What a receive monitor's step came to. A lost connection (the peer closed
// it, or a receive failed) is for the monitor to handle, in its own order.
enum class StepOutcome {
  kDone,            // the turn ends as usual
  kClosedAndQuiet,  // readable with nothing waiting: the step has slept 1 ms
  kPeerClosed,      // a receive returned no bytes
  kReceiveFailed,   // a receive failed with StepResult::error
  kPaused,          // the step paused in place of the turn's sleep
};

struct StepResult {
  StepOutcome outcome = StepOutcome::kDone;
  int32_t error = 0;
};

// Records the thread's last socket error at a location, raises 5/4, asks
// the monitor to end and logs "<name>() - Port: %d, <call>() failed. %u".
void FailMonitor(PortControlBlock& block, const ReceiveRole& role, int32_t location,
                 const char* call);

// Closes the connection's socket; the monitor goes on without it.
void CloseConnectionSocket(Connection& connection);

// The receive monitor's report of a lost connection, from before it closes
// the socket to its last event: TxMonitor's failures that the close causes
// wait for it (peer.reportingLoss).
class LossReport {
 public:
  explicit LossReport(PortControlBlock& block) : flag_(block.peer.reportingLoss) { flag_.store(1); }
  ~LossReport() { flag_.store(0); }
  LossReport(const LossReport&) = delete;
  LossReport& operator=(const LossReport&) = delete;

 private:
  std::atomic<int32_t>& flag_;
};

// At the monitor's end, a connection still held is given up: 2/2.
void EndConnection(PortControlBlock& block);

// Sets the socket buffer sizes of a new connection, recording failures at
// the role's two locations (receive buffer, then send buffer), and the
// port's keep-alive when it has one.
void SetConnectionBuffers(PortControlBlock& block, const ReceiveRole& role, platform::Socket socket,
                          int32_t receiveLocation, int32_t sendLocation);

// One receive step on a connected socket: poll, count, receive and hand
// over up to a backlog of chunks, the pacing's pause apart.
StepResult ReceiveStep(PortControlBlock& block, const ReceiveRole& role, Connection& connection);

// The end of a turn: a 1 ms sleep, or under a pacing that waits on its
// sockets a wait for the connection to become readable (or its silence
// deadline); nothing after a step that paused already.
void EndTurn(PortControlBlock& block, const Connection& connection, StepResult step);

}  // namespace zortcp
