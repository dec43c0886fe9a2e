// Closing a client port: while connected, while its monitors wait, and
// while a monitor is stuck in the host's handler (the termination path).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "port/control_block.h"
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
  ASSERT_TRUE(WaitUntil([&] { return block.txSuspended.load() == 1; }, kWait));

  EXPECT_LT(TimeToClose(handle), milliseconds(2000));
  // The closed socket may meet the monitor's poll before the stop request.
  EXPECT_THAT(events.Sequence(), AnyOf(ElementsAre("1", "2/2"), ElementsAre("1", "5/4", "2/2")));
  if (events.Count(ZOR_EVENT_ERROR) != 0) {
    EXPECT_EQ(LastErrorNow().location, 1006);
  }
  EXPECT_TRUE(peer.WaitForClose(kWait));
  EXPECT_EQ(block.inUse.load(), 0);
  EXPECT_EQ(block.rxRunning.load(), 0);
  EXPECT_EQ(block.txRunning.load(), 0);
  EXPECT_EQ(block.signal.load(), 0);
  EXPECT_EQ(block.rxSize.load(), 0);
  EXPECT_EQ(ThreadCount(), threads);
}

// Neither the suspended TxMonitor nor a receive monitor pausing between
// refused attempts holds the close up.
TEST_F(CloseTest, CloseWhileMonitorsWaitIsPrompt) {
  UseService(UnusedLoopbackPort());
  const int32_t handle = OpenClient();
  ASSERT_GE(handle, 0);
  ASSERT_TRUE(WaitForEvent(ZOR_EVENT_ERROR, ZOR_ERROR_RECORDED));
  ASSERT_TRUE(WaitUntil([&] { return BlockOf(handle).txSuspended.load() == 1; }, kWait));
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
  EXPECT_THAT(reopenedEvents.Sequence(), AnyOf(ElementsAre("1", "2/2"), ElementsAre("1", "5/4", "2/2")));
}

}  // namespace
}  // namespace zortcp::testing
