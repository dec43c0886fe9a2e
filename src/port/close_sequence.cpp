// SPDX-License-Identifier: MIT
// Closing a port: mark it closing, hold it, close its sockets, stop its
// monitors within a bounded wait, and free what the open obtained.
#include <atomic>

#include "diagnostics/debug_log.h"
#include "platform/platform.h"
#include "port/port_calls.h"
#include "port/port_table.h"
#include "port/sequences.h"
#include "transport/rings.h"

namespace zortcp {
namespace {

// A monitor asked to stop is usually gone within a few milliseconds; the
// close looks that often, so that a host closing its ports (in its exit
// handler, say) waits for them, not for the polls.
constexpr uint32_t kStopPollMs = 1;
constexpr uint32_t kStopLimitMs = 5000;
constexpr uint32_t kCallPollMs = 1;

void CloseSockets(PortControlBlock& block) {
  if ((block.flags & ZOR_OPEN_SERVER) != 0) {
    platform::CloseSocket(block.peer.acceptedSocket.exchange(platform::kNoSocket));
  }
  platform::CloseSocket(block.peer.socket.exchange(platform::kNoSocket));
}

// A call finds the port closing and leaves at once (a write waiting for
// room in a full TxRing gives up), so this wait is short; it is bounded all
// the same, since the host may have stopped a thread in the middle of a call.
void WaitForCallsToLeave(const PortControlBlock& block) {
  const uint32_t begun = platform::TickCount();
  while (block.callsInside.load() != 0 && platform::TickCount() - begun <= kStopLimitMs) {
    platform::Sleep(kCallPollMs);
  }
}

// A monitor that ended by itself is neither asked nor waited for.
void AskToStop(MonitorControl& monitor) {
  if (monitor.running.load() == 0) return;
  int32_t expected = 0;
  monitor.stop.compare_exchange_strong(expected, 1);  // a flag already 1 counts as raised
  // TxMonitor suspends itself on an empty TxRing, a fast-mode receive
  // monitor on a full RxRing: either looks at its stop flag once resumed.
  platform::ResumeThread(monitor.thread.load());
}

// Waits in 1 ms polls until the monitor has stopped or the limit after the
// begin has passed, and terminates it if it is still running then. A
// handler that calls exit() runs the exit's unload on its monitor's own
// thread, which never comes back to the monitor: that one is neither
// waited for nor terminated.
void WaitForMonitor(const MonitorControl& monitor, uint32_t begunAt) {
  if (platform::ProcessExiting() && platform::CurrentThreadArgument() == &monitor.threadArg) return;
  while (monitor.running.load() != 0 && platform::TickCount() - begunAt <= kStopLimitMs) {
    platform::Sleep(kStopPollMs);
  }
  if (monitor.running.load() != 0) platform::TerminateThread(monitor.thread.load());
}

}  // namespace

void CloseBegin(PortControlBlock& block) {
  block.life.store(PortLife::kClosing);
  // No call that was inside before the hold can release it afterwards.
  WaitForCallsToLeave(block);
  block.signal.store(1);
  // The sockets are closed before the stop requests so that a monitor
  // blocked in a socket call returns.
  CloseSockets(block);
  AskToStop(block.txMonitor);
  AskToStop(block.rxMonitor);
}

void CloseFinish(PortControlBlock& block, uint32_t begunAt) {
  WaitForMonitor(block.txMonitor, begunAt);
  WaitForMonitor(block.rxMonitor, begunAt);
  // A socket that a monitor made while the close began, or left behind when
  // it was terminated, goes too.
  CloseSockets(block);
  platform::CloseThreadHandle(block.rxMonitor.thread.exchange(nullptr));
  platform::CloseThreadHandle(block.txMonitor.thread.exchange(nullptr));

  block.recvBuffer = nullptr;
  block.recvBufferSize = 0;
  block.recvMemory.reset();
  ReleaseRings(block);
  platform::StopNetwork();
  block.signal.store(0);
}

void CloseSequence(PortControlBlock& block) {
  const uint32_t begunAt = platform::TickCount();
  CloseBegin(block);
  CloseFinish(block, begunAt);
}

int32_t ClosePort(int32_t handle) {
  int32_t result = 0;
  PortControlBlock* block = TestHandle(handle, CallNumber::kClosePort, &result);
  if (block == nullptr) return result;
  // Of two closes of one port made at once, one closes it; the other finds
  // it not in use.
  PortLife open = PortLife::kOpen;
  if (!block->life.compare_exchange_strong(open, PortLife::kClosing)) {
    return NotInUse(CallNumber::kClosePort);
  }
  CloseDebugLog(*block);
  CloseSequence(*block);
  if (block->eventHandler != nullptr) platform::ReleaseLibrary();
  block->life.store(PortLife::kFree);
  block->inUse.store(0, std::memory_order_release);
  return 0;
}

}  // namespace zortcp
