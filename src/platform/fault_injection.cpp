// SPDX-License-Identifier: MIT
// The fault-injection seam. Disarmed, a check costs one atomic load, since
// the monitors pass through it on every poll.
#include "platform/fault_injection.h"

#include <array>
#include <atomic>
#include <mutex>
#include <type_traits>

#include "platform/never_destroyed.h"

namespace zortcp::platform::faults {
namespace {

struct ArmedFault {
  bool armed = false;
  Fault fault;
  int32_t skipped = 0;   // matching calls let through so far
  int32_t failures = 0;  // matching calls made to fail so far
};

constexpr size_t kOperations = static_cast<size_t>(Operation::kCount);

// Nothing here is destroyed at exit before the library's unload, which may
// still pass through ShouldFail (a mutex is not trivially destructible
// everywhere).
NeverDestroyed<std::mutex> faultsMutex;
std::array<ArmedFault, kOperations> armedFaults;  // guarded by faultsMutex
std::atomic<int32_t> armedCount{0};               // faults armed; written under faultsMutex
static_assert(std::is_trivially_destructible_v<decltype(armedFaults)>);
std::atomic<uint32_t> socketWaitWakeUps{0};  // wraps: read differences

std::atomic<uint32_t> keepAliveIdleMs{0};
std::atomic<uint32_t> keepAliveIntervalMs{0};

size_t IndexOf(Operation operation) { return static_cast<size_t>(operation); }

bool Exhausted(const ArmedFault& entry) {
  return entry.fault.count >= 0 && entry.failures >= entry.fault.count;
}

}  // namespace

void Inject(Operation operation, const Fault& fault) {
  if (IndexOf(operation) >= kOperations) return;
  std::lock_guard lock(*faultsMutex);
  ArmedFault& entry = armedFaults[IndexOf(operation)];
  if (!entry.armed) armedCount.fetch_add(1, std::memory_order_release);
  entry = ArmedFault{true, fault, 0, 0};
}

void ClearAll() {
  std::lock_guard lock(*faultsMutex);
  armedFaults.fill(ArmedFault{});
  armedCount.store(0, std::memory_order_release);
}

int32_t FailuresMade(Operation operation) {
  if (IndexOf(operation) >= kOperations) return 0;
  std::lock_guard lock(*faultsMutex);
  return armedFaults[IndexOf(operation)].failures;
}

uint32_t SocketWaitWakeUps() { return socketWaitWakeUps.load(std::memory_order_relaxed); }

void CountSocketWaitWakeUp() { socketWaitWakeUps.fetch_add(1, std::memory_order_relaxed); }

void NoteKeepAliveTimes(const KeepAliveTimes& times) {
  keepAliveIdleMs.store(times.idleMs, std::memory_order_relaxed);
  keepAliveIntervalMs.store(times.intervalMs, std::memory_order_relaxed);
}

KeepAliveTimes LastKeepAliveTimes() {
  return {keepAliveIdleMs.load(std::memory_order_relaxed),
          keepAliveIntervalMs.load(std::memory_order_relaxed)};
}

void HoldForFork() { faultsMutex->lock(); }
void ReleaseAfterFork() { faultsMutex->unlock(); }

bool ShouldFail(Operation operation, Socket socket, int32_t* error) {
  if (armedCount.load(std::memory_order_acquire) == 0) return false;
  if (IndexOf(operation) >= kOperations) return false;
  std::lock_guard lock(*faultsMutex);
  ArmedFault& entry = armedFaults[IndexOf(operation)];
  if (!entry.armed || Exhausted(entry)) return false;
  if (entry.fault.socket != kNoSocket && entry.fault.socket != socket) return false;
  if (entry.skipped < entry.fault.skip) {
    ++entry.skipped;
    return false;
  }
  ++entry.failures;
  if (error != nullptr) *error = entry.fault.error;
  return true;
}

}  // namespace zortcp::platform::faults
