#include "transport/spin_lock.h"

#include "platform/platform.h"

namespace zortcp {

void SpinLockAcquire(SpinLock& lock) {
  // Every failed try gives up the processor, for 0 ms and 1 ms in turn, so
  // that a time-critical receive monitor never starves the holder. Acquire
  // order: what the last holder wrote under the lock is visible from here on.
  for (uint32_t tries = 0;; ++tries) {
    int32_t expected = 0;
    if (lock.word.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                          std::memory_order_relaxed)) {
      return;
    }
    platform::Sleep(tries % 2);
  }
}

void SpinLockRelease(SpinLock& lock) {
  // Release order publishes everything written under the lock to the next
  // holder. Only a held word is changed; a free one stays free.
  int32_t expected = 1;
  lock.word.compare_exchange_strong(expected, 0, std::memory_order_release,
                                    std::memory_order_relaxed);
}

}  // namespace zortcp
