// SPDX-License-Identifier: MIT
#include "core/spin_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "support/wait_until.h"

namespace zortcp {
namespace {

using namespace std::chrono_literals;
using testing::WaitUntil;

TEST(SpinLockTest, FreeLockIsTakenAtOnceAndReleaseChangesOnlyAHeldWord) {
  SpinLock lock;

  // A single failed try would pause for 1 ms on its second attempt; a
  // thousand takes of a free word in well under a second show none failed.
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 1000; ++i) {
    SpinLockAcquire(lock);
    ASSERT_EQ(lock.word.load(), 1);
    SpinLockRelease(lock);
    ASSERT_EQ(lock.word.load(), 0);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);

  SpinLockRelease(lock);
  EXPECT_EQ(lock.word.load(), 0);

  lock.word.store(2);
  SpinLockRelease(lock);
  EXPECT_EQ(lock.word.load(), 2);
}

// Whether another thread got a held lock, and whether it got it once the
// lock was released.
struct TakerOutcome {
  bool tookHeldLock = false;
  bool tookAfterRelease = false;
};

// Holds the lock for the given time while another thread runs take, which
// takes the lock and gives it back (the thread notes that it got the lock
// when take returns), then releases it and waits up to 2 s for the thread.
template <typename Take>
TakerOutcome HoldWhileAnotherThreadTakes(SpinLock& lock, std::chrono::milliseconds hold,
                                         Take take) {
  SpinLockAcquire(lock);
  std::atomic<bool> acquired{false};
  std::thread taker([&] {
    take();
    acquired.store(true);
  });

  std::this_thread::sleep_for(hold);
  TakerOutcome outcome;
  outcome.tookHeldLock = acquired.load();
  SpinLockRelease(lock);
  outcome.tookAfterRelease = WaitUntil([&] { return acquired.load(); }, 2000ms);
  taker.join();
  return outcome;
}

TEST(SpinLockTest, HeldLockIsRetriedUntilAnotherThreadReleasesIt) {
  SpinLock lock;
  const TakerOutcome outcome = HoldWhileAnotherThreadTakes(lock, 50ms, [&] {
    SpinLockAcquire(lock);
    SpinLockRelease(lock);
  });

  EXPECT_FALSE(outcome.tookHeldLock);
  EXPECT_TRUE(outcome.tookAfterRelease);
  EXPECT_EQ(lock.word.load(), 0);
}

TEST(SpinLockTest, YieldingFirstAcquireWaitsPastItsYieldsUntilTheRelease) {
  SpinLock lock;
  // 50 ms is far beyond the yielding tries: the taker is in its 1 ms turns.
  const TakerOutcome outcome = HoldWhileAnotherThreadTakes(
      lock, 50ms, [&] { SpinLockGuard hold(lock, /*yieldFirst=*/true); });

  EXPECT_FALSE(outcome.tookHeldLock);
  EXPECT_TRUE(outcome.tookAfterRelease);
  EXPECT_EQ(lock.word.load(), 0);
}

TEST(SpinLockTest, ContendingThreadsNeverHoldTheLockTogether) {
  constexpr int kRoundsPerThread = 100000;
  SpinLock lock;
  int64_t guarded = 0;  // plain on purpose: only the lock orders the updates
  std::atomic<int32_t> holders{0};
  std::atomic<int32_t> overlaps{0};
  std::atomic<int32_t> ready{0};

  // One side takes the lock as the fast transfer mode's runs do.
  auto work = [&](bool yieldFirst) {
    // Both start together, so that they really contend.
    ready.fetch_add(1);
    while (ready.load() < 2) std::this_thread::yield();
    for (int i = 0; i < kRoundsPerThread; ++i) {
      SpinLockGuard hold(lock, yieldFirst);
      if (holders.fetch_add(1) != 0) overlaps.fetch_add(1);
      ++guarded;
      holders.fetch_sub(1);
    }
  };
  std::thread first(work, false);
  std::thread second(work, true);
  first.join();
  second.join();

  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(guarded, 2 * kRoundsPerThread);
  EXPECT_EQ(lock.word.load(), 0);
}

}  // namespace
}  // namespace zortcp
