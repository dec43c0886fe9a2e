// SPDX-License-Identifier: MIT
// A client port against peers that misbehave: one that half-closes, one
// that stays silent while the port's socket blocks, one that sends faster
// than the host reads; and a host that passes sizes out of range.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/control_block.h"
#include "support/client_port.h"

namespace zortcp::testing {
namespace {

using Clock = std::chrono::steady_clock;
using ::testing::ElementsAre;

using ClientPeerTest = ClientPortTest;

std::string ReadAll(int32_t handle) {
  std::vector<char> buffer(65536);
  int32_t count = 0;
  EXPECT_EQ(ZorReadPort(handle, buffer.data(), static_cast<int32_t>(buffer.size()), &count), 0);
  return std::string(buffer.data(), static_cast<size_t>(count));
}

// A peer that shuts down only its sending side: the port takes its last
// bytes, counts the connection as closed by the peer (once a second of
// silence has passed), closes its own side and connects again. Bytes the
// host writes meanwhile still reach the half-closed peer.
TEST_F(ClientPeerTest, HalfClosedPeerHasItsBytesDeliveredThenCountsAsClosed) {
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenConnected(handle, peer));
  ASSERT_TRUE(peer.SendAll("last words"));
  ASSERT_TRUE(peer.ShutdownSend());
  ASSERT_TRUE(WaitForEvent(ZOR_EVENT_RECEIVED));
  ASSERT_EQ(ZorAnyToRead(handle), 10);
  ASSERT_EQ(ZorWritePort(handle, "reply", 5), 0);
  const std::vector<uint8_t> reply = peer.ReceiveExactly(5, kWait);
  EXPECT_EQ(std::string(reply.begin(), reply.end()), "reply");

  ASSERT_TRUE(WaitForEvent(ZOR_EVENT_DISCONNECTED));
  // The port may already have connected again.
  EXPECT_THAT(FirstEvents(4), ElementsAre("1", "3", "4", "2/0"));
  EXPECT_EQ(ReadAll(handle), "last words");
  EXPECT_TRUE(peer.WaitForClose(kWait));
  ASSERT_TRUE(AcceptPeer().IsOpen());
  EXPECT_TRUE(WaitForEvent(ZOR_EVENT_CONNECTED, -1, 2));
}

// With flag bit 2 the connected socket blocks: after a second of silence
// the monitor waits in its receive. The connection stands, nothing is
// raised, bytes that come later are delivered, and the close still ends
// the wait at once.
TEST_F(ClientPeerTest, SilentPeerOfABlockingPortKeepsTheConnectionAndCloseStaysPrompt) {
  events.Register();
  int32_t handle = -1;
  ASSERT_EQ(ZorOpenPort("localhost", 0, ZOR_OPEN_BLOCKING, nullptr, &handle), 0);
  PeerConnection peer = AcceptPeer();
  ASSERT_TRUE(peer.IsOpen());
  ASSERT_TRUE(WaitForEvent(ZOR_EVENT_CONNECTED));
  ASSERT_TRUE(WaitUntil([] { return platform::BlockedSocketWaits() >= 1; }, kWait));
  EXPECT_THAT(events.Sequence(), ElementsAre("1"));

  ASSERT_TRUE(peer.SendAll("after the silence"));
  ASSERT_TRUE(WaitUntil([&] { return ZorAnyToRead(handle) == 17; }, kWait));
  EXPECT_EQ(ReadAll(handle), "after the silence");
  // The monitor blocks in its receive again.
  ASSERT_TRUE(WaitUntil([] { return platform::BlockedSocketWaits() >= 1; }, kWait));

  const auto start = Clock::now();
  EXPECT_EQ(ZorClosePort(handle), 0);
  EXPECT_LT(Clock::now() - start, milliseconds(1000));
  EXPECT_TRUE(peer.WaitForClose(kWait));
}

// The peer sends 3 MiB as fast as loopback takes them while the host reads
// nothing: the RxRing fills to its last slot, the receive monitor waits,
// the peer is held up by TCP, and once the host reads again every byte
// arrives in order, with no failure on the way.
TEST_F(ClientPeerTest, FloodFasterThanTheHostReadsLosesNothing) {
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenConnected(handle, peer));
  const std::vector<uint8_t> flood = RandomBytes(3 * 1024 * 1024, 6);
  std::thread sender([&] { EXPECT_TRUE(peer.SendAll(flood.data(), flood.size())); });

  const int32_t ringSize = PortTable()[static_cast<size_t>(handle)].rx.size.load();
  EXPECT_TRUE(WaitUntil([&] { return ZorAnyToRead(handle) == ringSize; }, kWait));
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(ZorAnyToRead(handle), ringSize);  // full, and nothing more squeezed in

  std::vector<uint8_t> received;
  received.reserve(flood.size());
  std::vector<uint8_t> buffer(100000);
  WaitUntil(
      [&] {
        int32_t count = 0;
        ZorReadPort(handle, buffer.data(), static_cast<int32_t>(buffer.size()), &count);
        received.insert(received.end(), buffer.begin(), buffer.begin() + count);
        return received.size() >= flood.size();
      },
      std::chrono::seconds(30));
  sender.join();
  EXPECT_TRUE(received == flood) << received.size() << " of " << flood.size() << " bytes";
  EXPECT_EQ(StatisticsOf(handle).rxBytes, flood.size());
  EXPECT_EQ(events.Count(ZOR_EVENT_ERROR), 0u);
  EXPECT_EQ(events.Count(ZOR_EVENT_DISCONNECTED), 0u);
}

// Sizes of 0 or less queue or take nothing; a capacity beyond the bytes
// waiting takes only those, so a host buffer of exactly their size is never
// written past.
TEST_F(ClientPeerTest, SizesOutOfRangeMoveNothingAndCapacityBeyondTheBytesTakesOnlyThem) {
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenConnected(handle, peer));
  const char data[] = "never sent";
  for (int32_t size : {0, -1, -4096, INT_MIN}) {
    EXPECT_EQ(ZorWritePort(handle, data, size), 0) << size;
  }
  EXPECT_EQ(PortTable()[static_cast<size_t>(handle)].tx.count.load(), 0);
  EXPECT_TRUE(peer.ReceiveSome(64, kQuiet).empty());

  ASSERT_TRUE(peer.SendAll("twelve bytes"));
  ASSERT_TRUE(WaitUntil([&] { return ZorAnyToRead(handle) == 12; }, kWait));
  int32_t count = -1;
  char unused[4];
  for (int32_t capacity : {0, -1, INT_MIN}) {
    EXPECT_EQ(ZorReadPort(handle, unused, capacity, &count), 0);
    EXPECT_EQ(count, 0);
  }
  EXPECT_EQ(ZorAnyToRead(handle), 12);
  auto exact = std::make_unique<char[]>(12);  // the sanitizer sees a write past it
  EXPECT_EQ(ZorReadPort(handle, exact.get(), INT_MAX, &count), 0);
  EXPECT_EQ(std::string(exact.get(), static_cast<size_t>(count)), "twelve bytes");
  EXPECT_EQ(ZorAnyToRead(handle), 0);
}

// A peer that stops reading but is there: its window closes, and it
// answers the system's probes of the window for as long as it stays. With
// "Keep Alive" that is no loss: the connection stands, nothing queued is
// dropped, and once the peer reads again every byte arrives in order.
TEST_F(ClientPeerTest, KeepAliveKeepsAPeerThatStopsReadingButAnswers) {
  const uint32_t keepAlive = 2;
  ZorChangeDefault(ZOR_DEFAULT_KEEP_ALIVE, &keepAlive, sizeof(keepAlive));
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenConnected(handle, peer));
  const uint32_t off = 0;
  ZorChangeDefault(ZOR_DEFAULT_KEEP_ALIVE, &off, sizeof(off));

  // Far more than the socket buffers of both sides hold.
  const std::vector<uint8_t> bytes = RandomBytes(1 << 20, 2);
  auto writer = std::async(std::launch::async, [&] {
    return ZorWritePort(handle, bytes.data(), static_cast<int32_t>(bytes.size()));
  });
  // Fifteen times the keep-alive time: the probes of the window go on.
  const bool lost = events.WaitFor(
      [](const std::vector<RecordedEvent>& seen) {
        return std::any_of(seen.begin(), seen.end(), [](const RecordedEvent& event) {
          return event.kind == ZOR_EVENT_DISCONNECTED || event.kind == ZOR_EVENT_ERROR;
        });
      },
      std::chrono::seconds(30));
  const std::vector<uint8_t> received = peer.ReceiveExactly(bytes.size(), std::chrono::seconds(30));
  // A write that still waits for room (the bytes went elsewhere) ends with the close.
  if (writer.wait_for(std::chrono::seconds(10)) != std::future_status::ready) ZorClosePort(handle);
  EXPECT_EQ(writer.get(), 0);
  EXPECT_FALSE(lost) << ::testing::PrintToString(events.Sequence());
  EXPECT_TRUE(received == bytes) << received.size() << " bytes of " << bytes.size();
  EXPECT_EQ(events.Count(ZOR_EVENT_CONNECTED), 1u);
}

}  // namespace
}  // namespace zortcp::testing
