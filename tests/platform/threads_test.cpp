// SPDX-License-Identifier: MIT
// Library threads: the start gate, self-suspension without lost wake-ups,
// and cooperative termination from every kind of wait.
#include <thread>

#include "platform/platform_test_support.h"

namespace zortcp::testing {
namespace {

constexpr milliseconds kForever{60000};

// Spins (yielding) until the condition holds or the bound ends; for waits
// too short and too many for a millisecond poll.
template <typename Condition>
bool SpinUntil(Condition condition, milliseconds bound) {
  const auto deadline = Clock::now() + bound;
  while (!condition()) {
    if (Clock::now() >= deadline) return condition();
    std::this_thread::yield();
  }
  return true;
}

// Takes its time to unwind, as a thread's own clean-up may.
class SlowUnwind {
 public:
  SlowUnwind() = default;
  ~SlowUnwind() { std::this_thread::sleep_for(milliseconds(100)); }
  SlowUnwind(const SlowUnwind&) = delete;
  SlowUnwind& operator=(const SlowUnwind&) = delete;
};

using ThreadTest = PlatformTest;

TEST_F(ThreadTest, ACreatedThreadRunsOnlyOnceResumed) {
  std::atomic<bool> ran{false};
  LibraryThread thread([&] { ran.store(true); });
  ASSERT_NE(thread.handle(), nullptr);
  std::this_thread::sleep_for(kStillBlocked);
  EXPECT_FALSE(ran.load());
  thread.Resume();
  EXPECT_TRUE(WaitUntil([&] { return ran.load(); }, kPrompt));
}

TEST_F(ThreadTest, AResumeBeforeTheSuspensionIsKept) {
  std::atomic<bool> tokenGiven{false};
  std::atomic<bool> suspensionReturned{false};
  LibraryThread thread([&] {
    SpinUntil([&] { return tokenGiven.load(); }, kForever);
    platform::SuspendCurrentThread();
    suspensionReturned.store(true);
  });
  thread.Resume();  // opens the start gate
  thread.Resume();  // arrives while the thread runs: kept for its suspension
  tokenGiven.store(true);
  EXPECT_TRUE(WaitUntil([&] { return suspensionReturned.load(); }, kPrompt));
}

TEST_F(ThreadTest, ManyResumeSuspendCyclesLoseNoWakeUp) {
  constexpr int kCycles = 20000;
  std::atomic<int> woken{0};
  LibraryThread thread([&] {
    for (int cycle = 0; cycle < kCycles; ++cycle) {
      platform::SuspendCurrentThread();
      woken.store(cycle + 1, std::memory_order_release);
    }
  });
  thread.Resume();
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    // Sometimes before the thread suspends, sometimes after: each resume
    // must be counted exactly once either way.
    thread.Resume();
    ASSERT_TRUE(
        SpinUntil([&] { return woken.load(std::memory_order_acquire) == cycle + 1; }, kPrompt))
        << "wake-up " << cycle + 1 << " lost";
  }
}

// A timed suspension ends at its time-out without a resume, at once with a
// kept resume, and on a resume that comes while it sleeps.
TEST_F(ThreadTest, TimedSuspensionEndsAtItsTimeOutOrOnAResume) {
  std::atomic<int> stage{0};
  std::atomic<bool> resumeGiven{false};
  Clock::duration unresumed{};
  Clock::duration withKeptResume{};
  LibraryThread thread([&] {
    auto start = Clock::now();
    EXPECT_TRUE(platform::SuspendCurrentThreadFor(30));
    unresumed = Clock::now() - start;
    stage.store(1);
    // Ends with this body's frame if an assertion below gives up first.
    SpinUntil(
        [&] {
          platform::TerminationPoint();
          return resumeGiven.load();
        },
        kForever);
    start = Clock::now();
    EXPECT_TRUE(platform::SuspendCurrentThreadFor(static_cast<uint32_t>(kForever.count())));
    withKeptResume = Clock::now() - start;
    stage.store(2);
    EXPECT_TRUE(platform::SuspendCurrentThreadFor(static_cast<uint32_t>(kForever.count())));
    stage.store(3);
  });
  thread.Resume();
  ASSERT_TRUE(WaitUntil([&] { return stage.load() == 1; }, kPrompt));
  EXPECT_GE(unresumed, milliseconds(30));
  thread.Resume();  // arrives while the thread runs: kept
  resumeGiven.store(true);
  ASSERT_TRUE(WaitUntil([&] { return stage.load() == 2; }, kPrompt));
  EXPECT_LT(withKeptResume, kPrompt);
  ASSERT_TRUE(LibraryThreadsWaiting());
  EXPECT_EQ(stage.load(), 2);
  thread.Resume();
  EXPECT_TRUE(WaitUntil([&] { return stage.load() == 3; }, kPrompt));
}

TEST_F(ThreadTest, TerminationEndsSleepAndSuspensionAtOnce) {
  std::atomic<bool> sleeperUnwound{false};
  std::atomic<bool> sleepReturned{false};
  LibraryThread sleeper([&] {
    UnwindWitness witness(sleeperUnwound);
    const SlowUnwind slow;
    platform::Sleep(static_cast<uint32_t>(kForever.count()));
    sleepReturned.store(true);
  });
  std::atomic<bool> suspendedUnwound{false};
  std::atomic<bool> suspendReturned{false};
  LibraryThread suspended([&] {
    UnwindWitness witness(suspendedUnwound);
    platform::SuspendCurrentThread();
    suspendReturned.store(true);
  });
  sleeper.Resume();
  suspended.Resume();
  ASSERT_TRUE(LibraryThreadsWaiting(2));

  const auto start = Clock::now();
  sleeper.Terminate();
  suspended.Terminate();
  // Closing the handle waits for the unwind, slow as it is.
  sleeper.Close();
  EXPECT_TRUE(sleeperUnwound.load());
  EXPECT_TRUE(WaitUntil([&] { return suspendedUnwound.load(); }, kPrompt));
  EXPECT_LT(Clock::now() - start, kPrompt);
  suspended.Close();
  EXPECT_FALSE(sleepReturned.load());
  EXPECT_FALSE(suspendReturned.load());
}

TEST_F(ThreadTest, TerminationEndsABlockedReceiveAndLaterTerminationPoints) {
  LoopbackListener listener;
  ConnectedPair pair = Connect(listener);
  std::atomic<bool> unwound{false};
  std::atomic<bool> receiveReturned{false};
  LibraryThread receiver([&] {
    UnwindWitness witness(unwound);
    uint8_t buffer[16];
    platform::Receive(pair.socket, buffer, sizeof(buffer));
    receiveReturned.store(true);
  });
  receiver.Resume();
  ASSERT_TRUE(SocketCallsBlocked());
  receiver.Terminate();
  EXPECT_TRUE(WaitUntil([&] { return unwound.load(); }, kPrompt));
  receiver.Close();
  EXPECT_FALSE(receiveReturned.load());

  // The socket is untouched by the termination of a thread that used it.
  ASSERT_TRUE(pair.peer.SendAll("ok"));
  EXPECT_EQ(platform::WaitReadable(pair.socket, static_cast<int32_t>(kPrompt.count())), 1);

  std::atomic<int> pointsPassed{0};
  std::atomic<bool> busyUnwound{false};
  LibraryThread busy([&] {
    UnwindWitness witness(busyUnwound);
    for (;;) {
      platform::TerminationPoint();
      pointsPassed.fetch_add(1);
      std::this_thread::yield();
    }
  });
  busy.Resume();
  ASSERT_TRUE(WaitUntil([&] { return pointsPassed.load() > 0; }, kPrompt));
  busy.Terminate();
  EXPECT_TRUE(WaitUntil([&] { return busyUnwound.load(); }, kPrompt));
}

TEST_F(ThreadTest, AThreadNeverResumedExitsWithoutRunningItsRoutine) {
  std::atomic<bool> ran{false};
  LibraryThread terminated([&] { ran.store(true); });
  terminated.Terminate();
  terminated.Resume();
  terminated.Close();

  // Closing the handle alone lets a never-resumed thread go too.
  LibraryThread abandoned([&] { ran.store(true); });
  const auto start = Clock::now();
  abandoned.Close();
  EXPECT_LT(Clock::now() - start, kPrompt);
  EXPECT_FALSE(ran.load());
}

TEST_F(ThreadTest, AThreadStuckOutsideTheLibraryIsLeftToFinishOnItsOwn) {
  std::atomic<bool> release{false};
  std::atomic<bool> unwound{false};
  std::atomic<bool> afterPoint{false};
  std::atomic<bool> running{false};
  LibraryThread stuck([&] {
    UnwindWitness witness(unwound);
    running.store(true);
    // Stands for host code that ignores the termination for a while.
    SpinUntil([&] { return release.load(); }, kForever);
    platform::TerminationPoint();
    afterPoint.store(true);
  });
  stuck.Resume();
  ASSERT_TRUE(WaitUntil([&] { return running.load(); }, kPrompt));
  stuck.Terminate();
  const auto start = Clock::now();
  stuck.Close();  // detaches after a short grace
  EXPECT_LT(Clock::now() - start, kPrompt);
  EXPECT_FALSE(unwound.load());
  release.store(true);
  EXPECT_TRUE(WaitUntil([&] { return unwound.load(); }, kPrompt));
  EXPECT_FALSE(afterPoint.load());
}

TEST_F(ThreadTest, HostThreadsSleepPlainlyAndPassTerminationPoints) {
  EXPECT_NO_THROW(platform::TerminationPoint());
  EXPECT_NO_THROW(platform::SuspendCurrentThread());
  EXPECT_FALSE(platform::SuspendCurrentThreadFor(1000));
  EXPECT_NO_THROW(platform::Sleep(0));
  const auto start = Clock::now();
  platform::Sleep(20);
  EXPECT_GE(Clock::now() - start, milliseconds(20));
  // Refusals of a priority change are ignored.
  platform::SetCurrentThreadPriority(platform::ThreadPriority::kTimeCritical);
  platform::SetCurrentThreadPriority(platform::ThreadPriority::kNormal);
}

TEST_F(ThreadTest, MillisecondSleepsOfALibraryThreadStayNearOneMillisecond) {
  constexpr int kSleeps = 100;
  std::atomic<int64_t> elapsedUs{0};
  Clock::duration longSleep{};
  LibraryThread sleeper([&] {
    // A longer sleep lasts its time too, where the system's timer is too
    // coarse to tell a short one's unit (Wine's, at 1 ms).
    auto start = Clock::now();
    platform::Sleep(20);
    longSleep = Clock::now() - start;
    start = Clock::now();
    for (int i = 0; i < kSleeps; ++i) platform::Sleep(1);
    elapsedUs.store(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count());
  });
  sleeper.Resume();
  ASSERT_TRUE(WaitUntil([&] { return elapsedUs.load() != 0; }, milliseconds(10000)));
  EXPECT_GE(longSleep, milliseconds(20));
  EXPECT_GE(elapsedUs.load(), kSleeps * 1000);
  // Typically 1.03 ms each; the bound only rules out a sleep in the wrong
  // unit, with room for a machine that is busy with other work.
  EXPECT_LT(elapsedUs.load(), kSleeps * 50000);
}

}  // namespace
}  // namespace zortcp::testing
