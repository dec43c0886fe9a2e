// SPDX-License-Identifier: MIT
#include "core/spin_lock.h"

#include "platform/platform.h"

namespace zortcp {

namespace {

// Enough for a holder that copies a few kilobytes and was not preempted;
// one that was is waited for in the 1 ms turns.
constexpr uint32_t kYieldingTries = 64;

// Acquire order: what the last holder wrote under the lock is visible from
// here on.
bool TryAcquire(SpinLock& lock) {
  int32_t expected = 0;
  return lock.word.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                           std::memory_order_relaxed);
}

}  // namespace

void SpinLockAcquire(SpinLock& lock) {
  // Every failed try gives up the processor, for 0 ms and 1 ms in turn, so
  // that a time-critical receive monitor never starves the holder.
  for (uint32_t tries = 0; !TryAcquire(lock); ++tries) platform::Sleep(tries % 2);
}

void SpinLockAcquireYieldingFirst(SpinLock& lock) {
  for (uint32_t tries = 0; tries < kYieldingTries; ++tries) {
    if (TryAcquire(lock)) return;
    platform::Sleep(0);
  }
  SpinLockAcquire(lock);
}

void SpinLockRelease(SpinLock& lock) {
  // Release order publishes everything written under the lock to the next
  // holder. Only a held word is changed; a free one stays free. While the
  // word holds 1 no other thread can change it (a try fails, and only the
  // holder releases), so a plain store does what a compare-exchange would,
  // without a second locked instruction for every byte a ring moves.
  if (lock.word.load(std::memory_order_relaxed) == 1) lock.word.store(0, std::memory_order_release);
}

}  // namespace zortcp
