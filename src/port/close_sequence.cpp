// Closing a port: hold it, close its sockets, stop its monitors within a
// bounded wait, and free what the open obtained.
#include <atomic>

#include "diagnostics/debug_log.h"
#include "platform/platform.h"
#include "port/control_block.h"
#include "port/port_calls.h"
#include "port/sequences.h"

namespace zortcp {
namespace {

constexpr uint32_t kStopPollMs = 50;
constexpr uint32_t kStopLimitMs = 5000;  // at most 101 pauses of 50 ms

void CloseSockets(PortControlBlock& block) {
  if ((block.flags & kFlagServer) != 0) {
    platform::CloseSocket(block.acceptedSocket.exchange(platform::kNoSocket));
  }
  platform::CloseSocket(block.socket.exchange(platform::kNoSocket));
}

// Asks a monitor to stop, waits for it in 50 ms polls, and terminates it if
// it is still running after the limit. A monitor that ended by itself is
// neither asked nor waited for.
void StopMonitor(std::atomic<int32_t>& running, std::atomic<int32_t>& stop,
                 platform::ThreadHandle thread) {
  if (running.load() == 0) return;
  int32_t expected = 0;
  stop.compare_exchange_strong(expected, 1);  // a flag already 1 counts as raised
  platform::ResumeThread(thread);  // TxMonitor suspends itself on an empty ring
  for (uint32_t waited = 0; running.load() != 0;) {
    platform::Sleep(kStopPollMs);
    waited += kStopPollMs;
    if (waited > kStopLimitMs) break;
  }
  if (running.load() != 0) platform::TerminateThread(thread);
}

// Storage goes under each ring's lock, so that a data call that a host
// makes against the rules during the close finds no storage rather than
// freed memory.
void ReleaseRing(SpinLock& lock, std::atomic<int32_t>& size, std::atomic<uint8_t*>& buffer,
                 platform::MemoryBlock& memory) {
  SpinLockGuard guard(lock);
  size.store(0);
  buffer.store(nullptr);
  memory.reset();
}

}  // namespace

void CloseSequence(PortControlBlock& block) {
  block.signal.store(1);
  // The sockets are closed before the stop requests so that a monitor
  // blocked in a socket call returns.
  CloseSockets(block);
  StopMonitor(block.txRunning, block.txStop, block.txThread.load());
  StopMonitor(block.rxRunning, block.rxStop, block.rxThread.load());
  // A socket that a monitor made while the close began, or left behind when
  // it was terminated, goes too.
  CloseSockets(block);
  platform::CloseThreadHandle(block.rxThread.exchange(nullptr));
  platform::CloseThreadHandle(block.txThread.exchange(nullptr));

  block.recvBuffer = nullptr;
  block.recvMemory.reset();
  ReleaseRing(block.rxLock, block.rxSize, block.rxBuffer, block.rxMemory);
  ReleaseRing(block.txLock, block.txSize, block.txBuffer, block.txMemory);
  block.signal.store(0);
}

int32_t ClosePort(int32_t handle) {
  int32_t result = 0;
  PortControlBlock* block = TestHandle(handle, CallNumber::kClosePort, &result);
  if (block == nullptr) return result;
  CloseDebugLog(*block);
  CloseSequence(*block);
  block->inUse.store(0, std::memory_order_release);
  return 0;
}

}  // namespace zortcp
