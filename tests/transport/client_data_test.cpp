// SPDX-License-Identifier: MIT
// The data calls and both monitors moving bytes on a connected client port:
// integrity both ways, partial reads, chunking, the transmit failure path,
// statistics across a reopen, and null pointers from the host.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "core/control_block.h"
#include "diagnostics/error_texts.h"
#include "platform/fault_injection.h"
#include "support/client_port.h"

namespace zortcp::testing {
namespace {

namespace faults = platform::faults;
using ::testing::ElementsAre;

using ClientDataTest = ClientPortTest;

constexpr size_t kMiB = 1 << 20;

std::string ReadAll(int32_t handle, size_t size, milliseconds timeout) {
  std::string received;
  WaitUntil(
      [&] {
        char buffer[8192];
        int32_t count = 0;
        EXPECT_EQ(ZorReadPort(handle, buffer, sizeof(buffer), &count), 0);
        received.append(buffer, static_cast<size_t>(count));
        return received.size() >= size;
      },
      timeout);
  return received;
}

// 1 MiB each way at once, the host's in one write far larger than the
// TxRing, which returns once all of it is queued.
void ExpectMebibyteEachWayIntact(int32_t handle, PeerConnection& peer,
                                 const EventRecorder& events) {
  const std::vector<uint8_t> outbound = RandomBytes(kMiB, 1);
  const std::vector<uint8_t> inbound = RandomBytes(kMiB, 2);
  std::vector<uint8_t> atPeer;
  std::thread peerReceiver([&] { atPeer = peer.ReceiveExactly(kMiB, milliseconds(60000)); });
  std::thread peerSender([&] { EXPECT_TRUE(peer.SendAll(inbound.data(), inbound.size())); });
  std::thread hostWriter([&] {
    EXPECT_EQ(ZorWritePort(handle, outbound.data(), static_cast<int32_t>(outbound.size())), 0);
  });
  const std::string atHost = ReadAll(handle, kMiB, milliseconds(60000));
  hostWriter.join();
  peerSender.join();
  peerReceiver.join();

  EXPECT_TRUE(atHost == Text(inbound)) << "host received " << atHost.size() << " bytes";
  EXPECT_TRUE(atPeer == outbound) << "peer received " << atPeer.size() << " bytes";
  EXPECT_TRUE(WaitUntil([&] { return events.Bytes(ZOR_EVENT_TRANSMITTED) == kMiB; }, kWait));
  EXPECT_EQ(events.Bytes(ZOR_EVENT_RECEIVED), kMiB);
  for (const auto& event : events.Events()) {
    if (event.kind == ZOR_EVENT_RECEIVED || event.kind == ZOR_EVENT_TRANSMITTED) {
      EXPECT_GE(event.value, 1);
      EXPECT_LE(event.value, 4096);
    }
  }
  const ZorPortStatistics statistics = StatisticsOf(handle);
  EXPECT_EQ(statistics.rxBytes, kMiB);
  EXPECT_EQ(statistics.txBytes, kMiB);
  EXPECT_EQ(statistics.rxErrors + statistics.txErrors + statistics.connectErrors, 0u);
}

TEST_F(ClientDataTest, OneMebibyteEachWayArrivesIntact) {
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenConnected(handle, peer));
  ExpectMebibyteEachWayIntact(handle, peer, events);
}

TEST_F(ClientDataTest, OneMebibyteEachWayArrivesIntactInFastTransferMode) {
  const int32_t on = 1;
  ZorChangeDefault(ZOR_DEFAULT_FAST_TRANSFER, &on, sizeof(on));
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenConnected(handle, peer));
  ASSERT_TRUE(PortTable()[static_cast<size_t>(handle)].settings.fastTransfer);
  ExpectMebibyteEachWayIntact(handle, peer, events);
}

TEST_F(ClientDataTest, ReadPortDeliversTheOldestBytesUpToCapacity) {
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenConnected(handle, peer));
  char buffer[300] = {};
  int32_t count = 77;
  EXPECT_EQ(ZorReadPort(handle, buffer, 100, &count), 0);  // nothing waits
  EXPECT_EQ(count, 0);

  const std::vector<uint8_t> sent = RandomBytes(250, 3);
  ASSERT_TRUE(peer.SendAll(sent.data(), sent.size()));
  ASSERT_TRUE(WaitUntil([&] { return ZorAnyToRead(handle) == 250; }, kWait));
  EXPECT_EQ(ZorReadPort(handle, buffer, 100, &count), 0);
  EXPECT_EQ(count, 100);
  EXPECT_EQ(std::string(buffer, 100), Text(sent).substr(0, 100));
  EXPECT_EQ(ZorAnyToRead(handle), 150);

  for (int32_t capacity : {0, -5}) {
    count = 77;
    EXPECT_EQ(ZorReadPort(handle, buffer, capacity, &count), 0);
    EXPECT_EQ(count, 0);
  }
  count = 77;
  EXPECT_EQ(ZorReadPort(handle, nullptr, 100, &count), 0);  // a null buffer takes nothing
  EXPECT_EQ(count, 0);
  EXPECT_EQ(ZorAnyToRead(handle), 150);

  EXPECT_EQ(ZorReadPort(handle, buffer, sizeof(buffer), &count), 0);
  EXPECT_EQ(count, 150);
  EXPECT_EQ(std::string(buffer, 150), Text(sent).substr(100));
}

TEST_F(ClientDataTest, FiveThousandBytesGoOutAsTwoChunks) {
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenConnected(handle, peer));
  const PortControlBlock& block = PortTable()[static_cast<size_t>(handle)];
  ASSERT_TRUE(WaitUntil([&] { return block.txMonitor.suspended.load() == 1; }, kWait));

  const std::vector<uint8_t> sent = RandomBytes(5000, 4);
  EXPECT_EQ(ZorWritePort(handle, sent.data(), 5000), 0);
  EXPECT_EQ(peer.ReceiveExactly(5000, kWait), sent);
  ASSERT_TRUE(WaitForEvent(ZOR_EVENT_TRANSMITTED, -1, 2));
  const auto recorded = events.Events();
  ASSERT_EQ(recorded.size(), 3u);
  EXPECT_EQ(recorded[1].ToString(), "4(4096)");
  EXPECT_EQ(recorded[2].ToString(), "4(904)");
  EXPECT_EQ(StatisticsOf(handle).txBytes, 5000u);
  EXPECT_TRUE(WaitUntil([&] { return block.txMonitor.suspended.load() == 1; }, kWait));
}

TEST_F(ClientDataTest, FailedTransmitDropsTheChunkAndSendingGoesOn) {
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenConnected(handle, peer));

  struct Failure {
    faults::Operation operation;
    int32_t code;
  };
  int round = 0;
  for (const Failure& failure : {Failure{faults::Operation::kSend, 10054},
                                 Failure{faults::Operation::kPollWritable, 10038}}) {
    SCOPED_TRACE(failure.code);
    ++round;
    faults::Inject(failure.operation, {.error = failure.code});
    EXPECT_EQ(ZorWritePort(handle, "lost", 4), 0);
    ASSERT_TRUE(WaitForEvent(ZOR_EVENT_ERROR, ZOR_ERROR_RECORDED, static_cast<size_t>(round)));
    const LastErrorView error = LastErrorNow();
    EXPECT_EQ(error.location, 1101);
    EXPECT_EQ(error.code, failure.code);
    EXPECT_EQ(error.text, SocketErrorText(static_cast<uint32_t>(failure.code)));
    EXPECT_EQ(StatisticsOf(handle).txErrors, static_cast<uint32_t>(round));

    const std::string next = "next" + std::to_string(round);
    EXPECT_EQ(ZorWritePort(handle, next.data(), 5), 0);
    EXPECT_EQ(Text(peer.ReceiveExactly(5, kWait)), next);
    ASSERT_TRUE(WaitForEvent(ZOR_EVENT_TRANSMITTED, -1, static_cast<size_t>(round)));
  }
  EXPECT_THAT(events.Sequence(), ElementsAre("1", "5/3", "5/4", "4", "5/3", "5/4", "4"));
  EXPECT_TRUE(peer.ReceiveSome(100, kQuiet).empty());
  EXPECT_EQ(StatisticsOf(handle).txBytes, 10u);
}

// Bytes written before the connection is made wait for it: while attempts
// fail the socket cannot take data, and the transmit monitor holds the chunk
// until a connect succeeds. Nothing is dropped, also when the bytes are
// written the moment the open returns, while the first attempt replaces the
// open's socket.
TEST_F(ClientDataTest, BytesWrittenBeforeTheConnectionWaitForIt) {
  faults::Inject(faults::Operation::kConnect, {.error = 10061, .count = 2});
  const int32_t handle = OpenClient();
  ASSERT_GE(handle, 0);
  EXPECT_EQ(ZorWritePort(handle, "early", 5), 0);
  ASSERT_TRUE(WaitForEvent(ZOR_EVENT_ERROR, ZOR_ERROR_CONNECT_FAILED, 2));
  PeerConnection peer = AcceptPeer();
  EXPECT_EQ(Text(peer.ReceiveExactly(5, kWait)), "early");
  ASSERT_TRUE(WaitForEvent(ZOR_EVENT_TRANSMITTED));
  EXPECT_EQ(events.Count(ZOR_EVENT_ERROR, ZOR_ERROR_SEND_FAILED), 0u);
  EXPECT_EQ(ZorClosePort(handle), 0);

  for (int round = 0; round < 10; ++round) {
    const int32_t reopened = OpenClient();
    ASSERT_EQ(reopened, handle);
    EXPECT_EQ(ZorWritePort(reopened, "hello", 5), 0);
    EXPECT_EQ(Text(AcceptPeer().ReceiveExactly(5, kWait)), "hello") << "round " << round;
    EXPECT_EQ(StatisticsOf(reopened).txErrors, 0u) << "round " << round;
    EXPECT_EQ(ZorClosePort(reopened), 0);
  }
}

TEST_F(ClientDataTest, StatisticsCarryOverACloseAndReopen) {
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenConnected(handle, peer));
  ASSERT_TRUE(peer.SendAll("0123456789"));
  EXPECT_EQ(ZorWritePort(handle, "abcdefghijklmnopqrst", 20), 0);
  ASSERT_EQ(peer.ReceiveExactly(20, kWait).size(), 20u);
  ASSERT_TRUE(WaitForEvent(ZOR_EVENT_TRANSMITTED));
  ASSERT_TRUE(WaitUntil([&] { return StatisticsOf(handle).rxBytes == 10; }, kWait));
  EXPECT_EQ(ZorClosePort(handle), 0);  // with the 10 bytes unread

  events.Clear();
  int32_t reopened = -1;
  ASSERT_NO_FATAL_FAILURE(OpenConnected(reopened, peer));
  ASSERT_EQ(reopened, handle);
  EXPECT_EQ(ZorAnyToRead(reopened), 0);
  ZorPortStatistics statistics = StatisticsOf(reopened);
  EXPECT_EQ(statistics.rxBytes, 10u);
  EXPECT_EQ(statistics.txBytes, 20u);

  ASSERT_TRUE(peer.SendAll("01234"));
  EXPECT_EQ(ZorWritePort(reopened, "abcdefg", 7), 0);
  ASSERT_EQ(peer.ReceiveExactly(7, kWait).size(), 7u);
  ASSERT_TRUE(WaitForEvent(ZOR_EVENT_TRANSMITTED));
  ASSERT_TRUE(WaitUntil([&] { return StatisticsOf(reopened).rxBytes == 15; }, kWait));
  statistics = StatisticsOf(reopened);
  EXPECT_EQ(statistics.txBytes, 27u);
}

TEST_F(ClientDataTest, NullPointersFromTheHostAreNeverUsed) {
  events.Register();
  ASSERT_EQ(ZorOpenPort("localhost", 0, 0, nullptr, nullptr), 0);
  const int32_t handle = 0;
  PeerConnection peer = AcceptPeer();
  ASSERT_TRUE(WaitForEvent(ZOR_EVENT_CONNECTED));

  EXPECT_EQ(ZorWritePort(handle, nullptr, 10), 0);
  EXPECT_EQ(ZorWritePort(handle, "abc", 0), 0);
  EXPECT_EQ(ZorWritePort(handle, "abc", -3), 0);
  EXPECT_EQ(PortTable()[0].tx.count.load(), 0);
  ASSERT_TRUE(peer.SendAll("abc"));
  ASSERT_TRUE(WaitUntil([&] { return ZorAnyToRead(handle) == 3; }, kWait));
  char buffer[8] = {};
  EXPECT_EQ(ZorReadPort(handle, buffer, 1, nullptr), 0);
  EXPECT_EQ(buffer[0], 'a');
  EXPECT_EQ(ZorAnyToRead(handle), 2);

  for (int32_t item = 1; item <= 6; ++item) {
    EXPECT_EQ(ZorGetConfig(handle, item, nullptr, nullptr), 0) << item;
  }
  int32_t length = -1;
  EXPECT_EQ(ZorGetConfig(handle, ZOR_CONFIG_PEER_NAME, nullptr, &length), 0);
  EXPECT_EQ(length, 9);
  EXPECT_EQ(ZorGetStatistics(handle, nullptr), 0);
  EXPECT_EQ(ZorGetSignal(handle, 1, nullptr), 0);
  EXPECT_EQ(ZorGetLastError(nullptr, nullptr, nullptr), nullptr);
}

}  // namespace
}  // namespace zortcp::testing
