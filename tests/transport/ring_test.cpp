// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "core/control_block.h"
#include "core/spin_lock.h"
#include "platform/platform.h"
#include "support/library_fixture.h"
#include "support/wait_until.h"
#include "transport/rings.h"

namespace zortcp {
namespace {

using namespace std::chrono_literals;
using testing::WaitUntil;

// Long enough for a put that should be waiting to have gone wrong if it
// were going to.
constexpr auto kStillWaiting = 50ms;
constexpr auto kFinishWithin = 5000ms;

// A library thread running one function. One still running when the test
// ends is terminated, which ends its ring waits, so that a put that never
// returns fails a check instead of hanging the test.
class Worker {
 public:
  explicit Worker(std::function<void()> body) : body_(std::move(body)) {
    thread_ = platform::CreateSuspendedThread(&Run, this);
    if (thread_ != nullptr) platform::ResumeThread(thread_);
  }
  ~Worker() {
    if (!Finished()) platform::TerminateThread(thread_);
    platform::CloseThreadHandle(thread_);
  }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  bool Started() const { return thread_ != nullptr; }
  platform::ThreadHandle Handle() const { return thread_; }
  bool Finished() const { return finished_.load(std::memory_order_acquire); }
  bool WaitFinished(std::chrono::milliseconds timeout = kFinishWithin) const {
    return WaitUntil([this] { return Finished(); }, timeout);
  }
  bool StillRunningAfter(std::chrono::milliseconds pause) const {
    std::this_thread::sleep_for(pause);
    return !Finished();
  }

 private:
  static void Run(void* argument) {
    auto* self = static_cast<Worker*>(argument);
    self->body_();
    self->finished_.store(true, std::memory_order_release);
  }

  std::function<void()> body_;
  platform::ThreadHandle thread_ = nullptr;
  std::atomic<bool> finished_{false};
};

// Runs puts that must not wait on a library thread, so that a ring that
// wrongly makes them wait fails the test instead of hanging it.
bool FinishesPromptly(std::function<void()> body) {
  Worker worker(std::move(body));
  return worker.WaitFinished();
}

// The positions of a ring, read under its lock so that they belong together.
struct RingState {
  int32_t read;
  int32_t write;
  int32_t count;
};

RingState RxState(PortControlBlock& block) {
  SpinLockGuard hold(block.rx.lock);
  return {block.rx.readIndex.load(), block.rx.writeIndex.load(), block.rx.count.load()};
}

RingState TxState(PortControlBlock& block) {
  SpinLockGuard hold(block.tx.lock);
  return {block.tx.readIndex.load(), block.tx.writeIndex.load(), block.tx.count.load()};
}

bool Consistent(const RingState& state, int32_t size) {
  return state.read >= 0 && state.read < size && state.write >= 0 && state.write < size &&
         state.count >= 0 && state.count <= size &&
         state.write == (state.read + state.count) % size;
}

// A reproducible byte sequence for both ends of a transfer.
class ByteSequence {
 public:
  explicit ByteSequence(uint32_t seed) : state_(seed) {}
  uint8_t Next() {
    state_ = state_ * 1664525u + 1013904223u;
    return static_cast<uint8_t>(state_ >> 24);
  }
  // Lengths of runs, 1 to limit.
  int32_t NextLength(int32_t limit) {
    state_ = state_ * 1664525u + 1013904223u;
    return 1 + static_cast<int32_t>((state_ >> 8) % static_cast<uint32_t>(limit));
  }

 private:
  uint32_t state_;
};

class RingTest : public testing::LoadedLibrary {
 protected:
  PortControlBlock& block = PortTable()[0];

  static void GiveStorage(ByteRing& ring, int32_t size) {
    ring.memory = platform::AllocateZeroed(static_cast<size_t>(size));
    ASSERT_NE(ring.memory, nullptr);
    ring.buffer = ring.memory.get();
    ring.readIndex = 0;
    ring.writeIndex = 0;
    ring.count = 0;
    SpinLockReset(ring.lock);
    ring.size = size;
  }
  void GiveRxStorage(int32_t size) { GiveStorage(block.rx, size); }
  void GiveTxStorage(int32_t size) { GiveStorage(block.tx, size); }

  // Stands in for TxMonitor: it suspends itself, with the flag set, until it
  // is woken, and counts the wake-ups. A writer's wait on a full TxRing is
  // seen by these.
  std::atomic<int32_t> monitorWakes{0};
  std::unique_ptr<Worker> StartStandInMonitor() {
    auto monitor = std::make_unique<Worker>([this] {
      for (;;) {
        block.txMonitor.suspended = 1;
        platform::SuspendCurrentThread();
        block.txMonitor.suspended = 0;
        monitorWakes.fetch_add(1);
      }
    });
    block.txMonitor.thread = monitor->Handle();
    return monitor;
  }
  bool MonitorWokenAtLeast(int32_t wakes) {
    return WaitUntil([&] { return monitorWakes.load() >= wakes; }, kFinishWithin);
  }

  // As the close does it: the capacity goes to 0 before the storage.
  void TakeRxStorage() {
    block.rx.size = 0;
    block.rx.buffer = nullptr;
  }
  void TakeTxStorage() {
    block.tx.size = 0;
    block.tx.buffer = nullptr;
  }
};

TEST_F(RingTest, RxRingOf65536HoldsEveryByteAndItsNextPutWaitsForOneFreeSlot) {
  constexpr int32_t kSize = 65536;
  GiveRxStorage(kSize);
  auto byteAt = [](int32_t i) { return static_cast<uint8_t>(i * 7 + 3); };

  ASSERT_TRUE(FinishesPromptly([&] {
    for (int32_t i = 0; i < kSize; ++i) RxRingPut(block, byteAt(i));
  })) << "an empty ring takes as many bytes as its capacity";
  RingState full = RxState(block);
  EXPECT_EQ(full.count, kSize);
  EXPECT_EQ(full.write, 0);
  EXPECT_EQ(full.read, 0);

  Worker putter([&] { RxRingPut(block, 0xAB); });
  ASSERT_TRUE(putter.Started());
  EXPECT_TRUE(putter.StillRunningAfter(kStillWaiting));
  EXPECT_EQ(block.rx.count.load(), kSize);
  EXPECT_EQ(block.rx.buffer.load()[0], byteAt(0));

  EXPECT_EQ(RxRingGet(block), byteAt(0));
  ASSERT_TRUE(putter.WaitFinished());
  EXPECT_EQ(block.rx.buffer.load()[0], 0xAB);
  full = RxState(block);
  EXPECT_EQ(full.count, kSize);
  EXPECT_EQ(full.read, 1);
  EXPECT_EQ(full.write, 1);

  int32_t outOfOrder = 0;
  for (int32_t i = 1; i < kSize; ++i) {
    if (RxRingGet(block) != byteAt(i)) ++outOfOrder;
  }
  EXPECT_EQ(outOfOrder, 0);
  EXPECT_EQ(RxRingGet(block), 0xAB);
  const RingState empty = RxState(block);
  EXPECT_EQ(empty.count, 0);
  EXPECT_EQ(empty.read, 1);
  EXPECT_EQ(empty.write, 1);
}

TEST_F(RingTest, FullTxRingTakesItsNextByteOnlyWhenEmptyAndWakesASuspendedMonitor) {
  constexpr int32_t kSize = 8192;
  GiveTxStorage(kSize);
  ASSERT_TRUE(FinishesPromptly([&] {
    for (int32_t i = 0; i < kSize; ++i) TxRingPut(block, static_cast<uint8_t>(i));
  })) << "an empty ring takes as many bytes as its capacity";
  ASSERT_EQ(TxState(block).count, kSize);

  const auto monitor = StartStandInMonitor();
  ASSERT_TRUE(monitor->Started());
  Worker writer([&] { TxRingPut(block, 0x5A); });
  ASSERT_TRUE(writer.Started());
  EXPECT_TRUE(MonitorWokenAtLeast(3))
      << "a waiting writer wakes the suspended monitor on every turn; wakes: "
      << monitorWakes.load();

  // One free slot is not enough: the writer waits for the last byte.
  for (int32_t i = 0; i < kSize - 1; ++i) ASSERT_EQ(TxRingGet(block), static_cast<uint8_t>(i));
  EXPECT_TRUE(writer.StillRunningAfter(kStillWaiting));
  EXPECT_EQ(TxState(block).count, 1);

  EXPECT_EQ(TxRingGet(block), static_cast<uint8_t>(kSize - 1));
  ASSERT_TRUE(writer.WaitFinished());
  const RingState after = TxState(block);
  EXPECT_EQ(after.count, 1);
  EXPECT_EQ(after.read, 0);
  EXPECT_EQ(after.write, 1);
  EXPECT_EQ(TxRingGet(block), 0x5A);
}

TEST_F(RingTest, RunsFillEverySlotAndCopyAcrossTheWrap) {
  GiveRxStorage(7);
  const uint8_t first[] = {1, 2, 3, 4, 5};
  const uint8_t second[] = {6, 7, 8, 9, 10};
  uint8_t taken[16] = {};

  ASSERT_TRUE(FinishesPromptly([&] { RxRingPutRun(block, first, 5); }));
  EXPECT_EQ(RxRingGetRun(block, taken, 3), 3);
  EXPECT_EQ(std::vector<uint8_t>(taken, taken + 3), (std::vector<uint8_t>{1, 2, 3}));

  // Slots 5, 6, 0, 1, 2: full, across the wrap.
  ASSERT_TRUE(FinishesPromptly([&] { RxRingPutRun(block, second, 5); }));
  RingState state = RxState(block);
  EXPECT_EQ(state.count, 7);
  EXPECT_EQ(state.read, 3);
  EXPECT_EQ(state.write, 3);
  EXPECT_EQ(block.rx.buffer.load()[0], 8);

  EXPECT_EQ(RxRingGetRun(block, taken, 16), 7);
  EXPECT_EQ(std::vector<uint8_t>(taken, taken + 7), (std::vector<uint8_t>{4, 5, 6, 7, 8, 9, 10}));
  state = RxState(block);
  EXPECT_EQ(state.count, 0);
  EXPECT_EQ(state.read, 3);

  // The TxRing's runs; a run into a full TxRing waits until it is empty.
  GiveTxStorage(5);
  const uint8_t third[] = {20, 21, 22, 23, 24};
  const uint8_t fourth[] = {25, 26};
  ASSERT_TRUE(FinishesPromptly([&] { TxRingPutRun(block, third, 5); }));
  const auto monitor = StartStandInMonitor();
  Worker writer([&] { TxRingPutRun(block, fourth, 2); });
  ASSERT_TRUE(MonitorWokenAtLeast(1)) << "the writer waits";
  EXPECT_EQ(TxRingGetRun(block, taken, 4), 4);
  EXPECT_TRUE(writer.StillRunningAfter(kStillWaiting));
  EXPECT_EQ(TxRingGetRun(block, taken + 4, 16), 1);
  ASSERT_TRUE(writer.WaitFinished());
  state = TxState(block);
  EXPECT_EQ(state.count, 2);
  EXPECT_EQ(state.read, 0);
  EXPECT_EQ(state.write, 2);
  EXPECT_EQ(TxRingGetRun(block, taken + 5, 16), 2);
  EXPECT_EQ(std::vector<uint8_t>(taken, taken + 7),
            (std::vector<uint8_t>{20, 21, 22, 23, 24, 25, 26}));
}

// A fast-mode run into a full RxRing sleeps (its flag raised) until a take
// wakes it, goes on with the room each take makes, and keeps the order.
TEST_F(RingTest, RunWaitingForRxRoomSleepsUntilTakesMakeRoom) {
  GiveRxStorage(4);
  const uint8_t first[] = {1, 2, 3, 4};
  const uint8_t second[] = {5, 6, 7};
  uint8_t taken[8] = {};
  ASSERT_TRUE(FinishesPromptly([&] { RxRingPutRun(block, first, 4); }));

  Worker producer([&] { RxRingPutRun(block, second, 3); });
  block.rxMonitor.thread.store(producer.Handle());
  ASSERT_TRUE(WaitUntil([&] { return block.rxRoomWanted.load() == 1; }, kFinishWithin))
      << "the producer sleeps for room";
  EXPECT_EQ(RxRingGetRun(block, taken, 2), 2);
  ASSERT_TRUE(WaitUntil([&] { return block.rx.count.load() == 4; }, kFinishWithin));
  EXPECT_FALSE(producer.Finished()) << "one byte still waits for room";
  EXPECT_EQ(RxRingGetRun(block, taken + 2, 8), 4);
  ASSERT_TRUE(producer.WaitFinished());
  EXPECT_EQ(RxRingGetRun(block, taken + 6, 8), 1);
  EXPECT_EQ(std::vector<uint8_t>(taken, taken + 7), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(block.rxRoomWanted.load(), 0);
  block.rxMonitor.thread.store(nullptr);
}

TEST_F(RingTest, RingWithoutStorageTakesNothingAndGetsFromEmptyRingsGiveZero) {
  uint8_t taken[4] = {9, 9, 9, 9};
  auto everyOperation = [&] {
    RxRingPut(block, 1);
    TxRingPut(block, 2);
    RxRingPutRun(block, taken, 4);
    EXPECT_EQ(RxRingGet(block), 0);
    EXPECT_EQ(TxRingGet(block), 0);
    EXPECT_EQ(RxRingGetRun(block, taken, 4), 0);
    EXPECT_EQ(TxRingGetRun(block, taken, 4), 0);
  };
  auto untouched = [&] {
    for (const RingState& state : {RxState(block), TxState(block)}) {
      EXPECT_EQ(state.count, 0);
      EXPECT_EQ(state.read, 0);
      EXPECT_EQ(state.write, 0);
    }
    EXPECT_EQ(block.rx.lock.word.load(), 0);
    EXPECT_EQ(block.tx.lock.word.load(), 0);
    EXPECT_EQ(std::vector<uint8_t>(taken, taken + 4), (std::vector<uint8_t>{9, 9, 9, 9}));
  };

  {
    SCOPED_TRACE("fresh block: no capacity, no storage");
    EXPECT_TRUE(FinishesPromptly(everyOperation));
    untouched();
  }
  {
    SCOPED_TRACE("capacity without storage");
    block.rx.size = 16;
    block.tx.size = 16;
    EXPECT_TRUE(FinishesPromptly(everyOperation));
    untouched();
  }
  {
    SCOPED_TRACE("empty rings with storage");
    GiveRxStorage(16);
    GiveTxStorage(16);
    EXPECT_EQ(RxRingGet(block), 0);
    EXPECT_EQ(TxRingGet(block), 0);
    EXPECT_EQ(RxRingGetRun(block, taken, 4), 0);
    EXPECT_EQ(TxRingGetRun(block, taken, 4), 0);
    untouched();
  }
}

TEST_F(RingTest, PutsWaitingOnAFullRingDropTheirBytesWhenTheStorageGoes) {
  GiveRxStorage(3);
  GiveTxStorage(3);
  const uint8_t bytes[] = {1, 2, 3, 4, 5, 6};
  ASSERT_TRUE(FinishesPromptly([&] {
    RxRingPutRun(block, bytes, 3);
    for (int i = 0; i < 3; ++i) TxRingPut(block, bytes[i]);
  }));

  Worker rxPut([&] { RxRingPut(block, 7); });
  Worker rxRun([&] { RxRingPutRun(block, bytes, 6); });
  Worker txPut([&] { TxRingPut(block, 7); });
  EXPECT_TRUE(rxPut.StillRunningAfter(kStillWaiting));
  EXPECT_FALSE(rxRun.Finished());
  EXPECT_FALSE(txPut.Finished());

  TakeRxStorage();
  TakeTxStorage();
  EXPECT_TRUE(rxPut.WaitFinished());
  EXPECT_TRUE(rxRun.WaitFinished());
  EXPECT_TRUE(txPut.WaitFinished());
  EXPECT_EQ(block.rx.count.load(), 3);
  EXPECT_EQ(block.tx.count.load(), 3);
}

// Producer and consumer on two threads, a known sequence through a small
// ring that wraps a thousand times, for each ring and each way of moving
// the bytes. The consumer checks the order, reads the count without the
// lock, and now and then checks the positions under the lock.
enum class Mode { kRxBytes, kRxRuns, kTxBytes, kTxRuns };

std::string ModeName(Mode mode) {
  switch (mode) {
    case Mode::kRxBytes:
      return "RxBytes";
    case Mode::kRxRuns:
      return "RxRuns";
    case Mode::kTxBytes:
      return "TxBytes";
    case Mode::kTxRuns:
      return "TxRuns";
  }
  return "";
}

class RingTransferTest : public RingTest,
                         public ::testing::WithParamInterface<std::tuple<Mode, int32_t>> {};

TEST_P(RingTransferTest, BytesArriveInOrderAndPositionsStayConsistent) {
  constexpr uint32_t kSeed = 0x2545F491;
  constexpr int32_t kMaxBytes = 2 << 20;
  constexpr int32_t kWraps = 1000;
  constexpr int32_t kCheckEvery = 64;
  const auto [mode, size] = GetParam();
  const int32_t total = std::min(kMaxBytes, size * kWraps);
  const bool rx = mode == Mode::kRxBytes || mode == Mode::kRxRuns;
  const bool runs = mode == Mode::kRxRuns || mode == Mode::kTxRuns;
  if (rx) {
    GiveRxStorage(size);
  } else {
    GiveTxStorage(size);
  }
  std::atomic<int32_t>& count = rx ? block.rx.count : block.tx.count;

  Worker producer([&] {
    ByteSequence sequence(kSeed);
    ByteSequence lengths(~kSeed);
    std::vector<uint8_t> run(static_cast<size_t>(2 * size + 1));
    for (int32_t sent = 0; sent < total;) {
      if (runs) {
        const int32_t n = std::min(total - sent, lengths.NextLength(2 * size + 1));
        for (int32_t i = 0; i < n; ++i) run[static_cast<size_t>(i)] = sequence.Next();
        if (rx) {
          RxRingPutRun(block, run.data(), n);
        } else {
          TxRingPutRun(block, run.data(), n);
        }
        sent += n;
      } else {
        if (rx) {
          RxRingPut(block, sequence.Next());
        } else {
          TxRingPut(block, sequence.Next());
        }
        ++sent;
      }
    }
  });
  ASSERT_TRUE(producer.Started());
  // A run waiting for room in the RxRing sleeps until a take wakes it.
  if (rx) block.rxMonitor.thread.store(producer.Handle());

  ByteSequence expected(kSeed);
  ByteSequence lengths(kSeed + 1);
  std::vector<uint8_t> taken(static_cast<size_t>(size) + 1);
  int32_t received = 0;
  int32_t outOfOrder = 0;
  int32_t badCounts = 0;
  int32_t inconsistent = 0;
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  for (int32_t turn = 0; received < total; ++turn) {
    if (std::chrono::steady_clock::now() > deadline) break;
    const int32_t seen = count.load();
    if (seen < 0 || seen > size) ++badCounts;
    if (turn % kCheckEvery == 0 && !Consistent(rx ? RxState(block) : TxState(block), size)) {
      ++inconsistent;
    }
    if (seen == 0) {
      std::this_thread::yield();
      continue;
    }
    int32_t n = 1;
    if (runs) {
      const int32_t want = lengths.NextLength(size + 1);
      n = rx ? RxRingGetRun(block, taken.data(), want) : TxRingGetRun(block, taken.data(), want);
      EXPECT_GE(n, std::min(want, seen));
    } else {
      taken[0] = rx ? RxRingGet(block) : TxRingGet(block);
    }
    for (int32_t i = 0; i < n; ++i) {
      if (taken[static_cast<size_t>(i)] != expected.Next()) ++outOfOrder;
    }
    received += n;
  }

  EXPECT_EQ(received, total);
  EXPECT_TRUE(producer.WaitFinished());
  block.rxMonitor.thread.store(nullptr);
  EXPECT_EQ(outOfOrder, 0);
  EXPECT_EQ(badCounts, 0);
  EXPECT_EQ(inconsistent, 0);
  const RingState end = rx ? RxState(block) : TxState(block);
  EXPECT_EQ(end.count, 0);
  EXPECT_EQ(end.write, total % size);
  EXPECT_EQ(end.read, total % size);
}

INSTANTIATE_TEST_SUITE_P(SmallOddCapacities, RingTransferTest,
                         ::testing::Combine(::testing::Values(Mode::kRxBytes, Mode::kRxRuns,
                                                              Mode::kTxBytes, Mode::kTxRuns),
                                            ::testing::Values(1, 7, 61, 4093)),
                         [](const auto& instance) {
                           return ModeName(std::get<0>(instance.param)) + "Capacity" +
                                  std::to_string(std::get<1>(instance.param));
                         });

}  // namespace
}  // namespace zortcp
