// SPDX-License-Identifier: MIT
// A 32-bit lock word taken with a compare-exchange: 0 free, 1 held. It has no
// owner and no depth, so a thread never takes a lock it already holds, and
// never holds two at once. Failed tries give up the processor for 0 ms and
// 1 ms in turn.
#pragma once

#include <atomic>
#include <cstdint>

namespace zortcp {

struct SpinLock {
  std::atomic<int32_t> word{0};
};

void SpinLockAcquire(SpinLock& lock);
// The fast transfer mode's acquire, for the rings' runs: a holder lets go
// within microseconds, so failed tries first give up the processor (0 ms)
// a number of times before they fall back to the 0 ms and 1 ms turns above,
// which would otherwise cost a millisecond whenever the two sides meet.
void SpinLockAcquireYieldingFirst(SpinLock& lock);
// Replaces 1 by 0; a word holding anything else is left as it is.
void SpinLockRelease(SpinLock& lock);
// Sets the word back to free, as the open does for a block it reuses.
inline void SpinLockReset(SpinLock& lock) { lock.word.store(0, std::memory_order_release); }

// Holds a lock for one scope; yieldFirst takes it with
// SpinLockAcquireYieldingFirst.
class SpinLockGuard {
 public:
  explicit SpinLockGuard(SpinLock& lock, bool yieldFirst = false) : lock_(lock) {
    if (yieldFirst) {
      SpinLockAcquireYieldingFirst(lock_);
    } else {
      SpinLockAcquire(lock_);
    }
  }
  ~SpinLockGuard() { SpinLockRelease(lock_); }
  SpinLockGuard(const SpinLockGuard&) = delete;
  SpinLockGuard& operator=(const SpinLockGuard&) = delete;

 private:
  SpinLock& lock_;
};

}  // namespace zortcp
