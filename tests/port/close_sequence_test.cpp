// SPDX-License-Identifier: MIT
// Closing a client port: while connected, while its monitors wait, while
// its host has stopped reading and its peer keeps sending, while a monitor
// is stuck in the host's handler (the termination path), and while other
// host threads call the port.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/control_block.h"
#include "diagnostics/config_file.h"
#include "support/client_port.h"

namespace zortcp::testing {
namespace {

using Clock = std::chrono::steady_clock;
using ::testing::AnyOf;
using ::testing::ElementsAre;

class CloseTest : public ClientPortTest {
 protected:
  EventRecorder reopenedEvents;  // for a port opened again on the block
};

const PortControlBlock& BlockOf(int32_t handle) { return PortTable()[static_cast<size_t>(handle)]; }

milliseconds TimeToClose(int32_t handle) {
  const auto start = Clock::now();
  EXPECT_EQ(ZorClosePort(handle), 0);
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

TEST_F(CloseTest, CloseWhileConnectedEndsTheConnectionPromptly) {
  const size_t threads = BaselineThreadCount();
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenConnected(handle, peer));
  const PortControlBlock& block = BlockOf(handle);
  ASSERT_TRUE(WaitUntil([&] { return block.txMonitor.suspended.load() == 1; }, kWait));

  EXPECT_LT(TimeToClose(handle), milliseconds(2000));
  // The closed socket may meet the monitor's poll before the stop request.
  EXPECT_THAT(events.Sequence(), AnyOf(ElementsAre("1", "2/2"), ElementsAre("1", "5/4", "2/2")));
  if (events.Count(ZOR_EVENT_ERROR) != 0) {
    EXPECT_EQ(LastErrorNow().location, 1006);
  }
  EXPECT_TRUE(peer.WaitForClose(kWait));
  EXPECT_EQ(block.inUse.load(), 0);
  EXPECT_EQ(block.rxMonitor.running.load(), 0);
  EXPECT_EQ(block.txMonitor.running.load(), 0);
  EXPECT_EQ(block.signal.load(), 0);
  EXPECT_EQ(block.rx.size.load(), 0);
  EXPECT_EQ(ThreadCount(), threads);
}

// Neither the suspended TxMonitor nor a receive monitor pausing between
// refused attempts holds the close up.
TEST_F(CloseTest, CloseWhileMonitorsWaitIsPrompt) {
  UseService(UnusedLoopbackPort());
  const int32_t handle = OpenClient();
  ASSERT_GE(handle, 0);
  ASSERT_TRUE(WaitForEvent(ZOR_EVENT_ERROR, ZOR_ERROR_RECORDED));
  ASSERT_TRUE(WaitUntil([&] { return BlockOf(handle).txMonitor.suspended.load() == 1; }, kWait));
  EXPECT_LT(TimeToClose(handle), milliseconds(2000));
}

TEST_F(CloseTest, CloseRightAfterOpenStopsMonitorsBeforeTheBlockIsReused) {
  const size_t threads = BaselineThreadCount();
  for (int i = 0; i < 20; ++i) {
    int32_t handle = -1;
    ASSERT_EQ(ZorOpenPort("localhost", 0, 0, nullptr, &handle), 0);
    ASSERT_EQ(handle, 0);
    EXPECT_LT(TimeToClose(handle), milliseconds(2000));
  }
  EXPECT_EQ(ThreadCount(), threads);
}

// A handler that blocks far beyond the stop wait: the close terminates its
// monitor after about 5 s, the block can be opened again at once, and the
// stuck thread exits once the handler returns, doing nothing more.
TEST_F(CloseTest, CloseTerminatesAMonitorStuckInTheHandler) {
  const size_t threads = BaselineThreadCount();
  // Shared with the handler, which outlives this body if an assertion ends
  // it before the release.
  struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool released = false;
    bool returned = false;
  };
  const auto gate = std::make_shared<Gate>();
  events.SetCallback([gate](const RecordedEvent& event) {
    if (event.kind != ZOR_EVENT_CONNECTED) return;
    std::unique_lock lock(gate->mutex);
    gate->changed.wait_for(lock, std::chrono::seconds(30), [&] { return gate->released; });
    gate->returned = true;
    gate->changed.notify_all();
  });
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenConnected(handle, peer));

  const milliseconds closing = TimeToClose(handle);
  EXPECT_GE(closing, milliseconds(4900));
  EXPECT_LT(closing, milliseconds(20000));  // 101 pauses, each longer on a loaded machine
  EXPECT_EQ(BlockOf(handle).inUse.load(), 0);

  reopenedEvents.Register();
  int32_t reopened = -1;
  ASSERT_EQ(ZorOpenPort("localhost", 0, 0, nullptr, &reopened), 0);
  EXPECT_EQ(reopened, handle);
  PeerConnection secondPeer = AcceptPeer();
  ASSERT_TRUE(reopenedEvents.WaitForCount(ZOR_EVENT_CONNECTED, -1, 1, kWait));

  {
    std::lock_guard lock(gate->mutex);
    gate->released = true;
  }
  gate->changed.notify_all();
  {
    std::unique_lock lock(gate->mutex);
    EXPECT_TRUE(gate->changed.wait_for(lock, kWait, [&] { return gate->returned; }));
  }
  EXPECT_EQ(ZorClosePort(reopened), 0);
  EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == threads; }, kWait));
  EXPECT_THAT(events.Sequence(), ElementsAre("1"));
  EXPECT_THAT(reopenedEvents.Sequence(),
              AnyOf(ElementsAre("1", "2/2"), ElementsAre("1", "5/4", "2/2")));
}

// A host that has stopped reading (a full RxRing) while its peer keeps
// sending, and another host thread that keeps releasing signal 1: the close
// is prompt all the same, in both transfer modes, and the port does not
// connect again while it closes.
class PromptCloseTest : public CloseTest, public ::testing::WithParamInterface<bool> {
 protected:
  void TearDown() override {
    CloseTest::TearDown();
    // The library-wide defaults outlive the test within its process.
    const int32_t off = 0;
    ZorChangeDefault(ZOR_DEFAULT_FAST_TRANSFER, &off, sizeof(off));
    ZorChangeBufferSizes(LibraryDefaults{}.defaultRxRingSize, 0xFFFFFFFFu);
  }
};

TEST_P(PromptCloseTest, FullRxRingAndSignalReleasesDoNotHoldUpTheClose) {
  const int32_t fast = GetParam() ? 1 : 0;
  ZorChangeDefault(ZOR_DEFAULT_FAST_TRANSFER, &fast, sizeof(fast));
  ZorChangeBufferSizes(kMinimumRxRingSize, 0xFFFFFFFFu);
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenConnected(handle, peer));
  std::thread sender([&] {
    const std::vector<uint8_t> chunk = RandomBytes(65536, 7);
    for (int i = 0; i < 4096 && peer.SendAll(chunk.data(), chunk.size()); ++i) {
    }
  });
  const auto ringSize = static_cast<int32_t>(kMinimumRxRingSize);
  EXPECT_TRUE(WaitUntil([&] { return ZorAnyToRead(handle) == ringSize; }, kWait));

  std::atomic<bool> closed{false};
  std::atomic<int32_t> releases{0};
  std::thread releaser([&] {
    while (!closed.load()) {
      ZorChangeSignal(handle, 1, 0);
      releases.fetch_add(1);
      std::this_thread::sleep_for(
          std::chrono::microseconds(200));  // leaves the monitors a processor
    }
  });
  EXPECT_TRUE(WaitUntil([&] { return releases.load() > 0; }, kWait));
  const milliseconds closing = TimeToClose(handle);
  closed.store(true);
  releaser.join();
  peer.Shutdown();  // ends a send still blocked at the peer
  sender.join();

  RecordProperty("close_ms", static_cast<int>(closing.count()));
  // Held up, the close waits out its 5 s bound for the monitor.
  EXPECT_LT(closing, milliseconds(2000));
  EXPECT_EQ(events.Count(ZOR_EVENT_CONNECTED), 1u);
  EXPECT_FALSE(listener.Accept(kQuiet).has_value()) << "the port connected again while closing";
}

INSTANTIATE_TEST_SUITE_P(Modes, PromptCloseTest, ::testing::Values(false, true),
                         [](const auto& instance) { return instance.param ? "Fast" : "Default"; });

// Writes racing an open of their handle and reads racing its close and
// reopen, round after round: a write that returns 0 has its byte sent, one
// that fails has not, and a read hands out only bytes that a peer sent.
// Every peer sends 1, 2, ..., 255, 1, ... from the start of its connection.
TEST_F(CloseTest, CallsRacingAnOpenOrACloseNeitherDropNorInventBytes) {
  constexpr int kRounds = 10;
  constexpr size_t kAcceptedWrites = 100;
  std::atomic<uint64_t> bytesRead{0};
  std::atomic<uint64_t> wrongBytes{0};
  std::jthread reader([&](const std::stop_token& stop) {
    uint8_t last = 0;
    while (!stop.stop_requested()) {
      uint8_t buffer[512];
      int32_t count = 0;
      if (ZorReadPort(0, buffer, sizeof buffer, &count) != 0) continue;
      for (int32_t i = 0; i < count; ++i) {
        // The next of the sequence, or the start of a new connection's.
        const uint8_t next = last == 255 ? 1 : static_cast<uint8_t>(last + 1);
        if (buffer[i] != next && buffer[i] != 1) wrongBytes.fetch_add(1);
        last = buffer[i];
      }
      bytesRead.fetch_add(static_cast<uint64_t>(count));
    }
  });
  std::vector<uint8_t> sequence(32768);
  for (size_t i = 0; i < sequence.size(); ++i) sequence[i] = static_cast<uint8_t>(1 + i % 255);

  for (int round = 0; round < kRounds && !HasFailure(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::atomic<int32_t> attempts{0};
    std::vector<uint8_t> accepted;  // the writer's own until it is joined
    std::jthread writer([&] {
      for (uint8_t value = 0; accepted.size() < kAcceptedWrites && attempts.load() < 10000000;
           ++value) {
        attempts.fetch_add(1);
        if (ZorWritePort(0, &value, 1) == 0) accepted.push_back(value);
      }
    });
    EXPECT_TRUE(WaitUntil([&] { return attempts.load() > 0; }, kWait));
    int32_t handle = -1;
    ASSERT_EQ(ZorOpenPort("localhost", 0, 0, nullptr, &handle), 0);
    ASSERT_EQ(handle, 0);
    PeerConnection peer = AcceptPeer();
    ASSERT_TRUE(peer.IsOpen());
    writer.join();
    ASSERT_EQ(accepted.size(), kAcceptedWrites);
    EXPECT_EQ(peer.ReceiveExactly(accepted.size(), kWait), accepted);

    const uint64_t before = bytesRead.load();
    ASSERT_TRUE(peer.SendAll(sequence.data(), sequence.size()));
    EXPECT_TRUE(WaitUntil([&] { return bytesRead.load() > before; }, kWait));
    ASSERT_EQ(ZorClosePort(handle), 0);
  }
  reader.request_stop();
  reader.join();
  EXPECT_EQ(wrongBytes.load(), 0u);
}

}  // namespace
}  // namespace zortcp::testing
