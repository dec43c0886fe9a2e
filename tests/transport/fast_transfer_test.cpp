// SPDX-License-Identifier: MIT
// The fast transfer mode changes timing only: the same exchange raises the
// same events in the same order as in the default mode, the bytes arrive
// intact, the 1000 ms silence rule holds, and a close stays within its
// bound. Speed is measured by bench/port_bench, never here.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core/control_block.h"
#include "support/client_port.h"

namespace zortcp::testing {
namespace {

using ::testing::ElementsAre;
using Clock = std::chrono::steady_clock;

constexpr size_t kMiB = 1 << 20;
constexpr milliseconds kSilence{1000};
// What a close may take here: the monitors stop cooperatively long before
// the close's own limit of about five seconds each.
constexpr milliseconds kCloseBound{3000};

void UseFastTransfer(bool on) {
  const int32_t value = on ? 1 : 0;
  ZorChangeDefault(ZOR_DEFAULT_FAST_TRANSFER, &value, sizeof(value));
}

// The events as "1:<peer name>", "3(n)", "4(n)" and "k/v": the connected
// text without its port, which differs from run to run.
std::vector<std::string> Described(const std::vector<RecordedEvent>& events) {
  std::vector<std::string> described;
  for (const auto& event : events) {
    std::string text = event.ToString();
    if (event.kind == ZOR_EVENT_CONNECTED) text = text.substr(0, text.find(", Port: "));
    described.push_back(text);
  }
  return described;
}

const RecordedEvent* NthEvent(const std::vector<RecordedEvent>& events, int32_t kind, size_t n) {
  for (const auto& event : events) {
    if (event.kind == kind && n-- == 1) return &event;
  }
  return nullptr;
}

// Writes 4 KiB at a time, never more than the TxRing holds, until the sent
// count has stopped growing: the transmit monitor then waits for a socket
// that takes no more data, and no host thread is left inside a write.
bool KeepTransmitMonitorWaiting(int32_t handle, const EventRecorder& events) {
  constexpr uint64_t kTxRingSize = 8192;
  constexpr uint64_t kBlock = 4096;
  const std::vector<uint8_t> block = RandomBytes(kBlock, 31);
  uint64_t written = 0;
  uint64_t lastSent = 0;
  auto lastProgress = Clock::now();
  for (const auto deadline = Clock::now() + kWait; Clock::now() < deadline;) {
    const uint64_t sent = events.Bytes(ZOR_EVENT_TRANSMITTED);
    if (sent != lastSent) {
      lastSent = sent;
      lastProgress = Clock::now();
    }
    if (written - sent + kBlock <= kTxRingSize) {
      ZorWritePort(handle, block.data(), static_cast<int32_t>(kBlock));
      written += kBlock;
    } else if (sent > 0 && Clock::now() - lastProgress > milliseconds(300)) {
      return true;
    } else {
      std::this_thread::sleep_for(milliseconds(5));
    }
  }
  return false;
}

// Each test runs once per mode: false the default mode, true the fast one.
class FastTransferTest : public ClientPortTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    ClientPortTest::SetUp();
    UseFastTransfer(GetParam());
  }
  void TearDown() override {
    UseFastTransfer(false);
    ClientPortTest::TearDown();
  }
};

// The whole life of a connection, one step at a time so that chunking does
// not depend on timing: small writes and sends, a write and a send larger
// than a chunk, the peer's close and the reconnection, and the host's close.
struct ScriptResult {
  std::vector<std::string> events;
  ZorPortStatistics statistics{};
};

ScriptResult RunScriptedExchange(bool fast) {
  ScriptResult result;
  LoopbackListener listener;
  EventRecorder events;
  UseService(listener.port());
  UseFastTransfer(fast);
  events.Register();
  int32_t handle = -1;
  EXPECT_EQ(ZorOpenPort("localhost", 0, 0, nullptr, &handle), 0);
  // Statistics are never reset, and the block is the same in both runs.
  const ZorPortStatistics before = StatisticsOf(handle);
  auto peer = listener.Accept(kWait);
  EXPECT_TRUE(peer.has_value());
  if (!peer) return result;
  EXPECT_TRUE(events.WaitForCount(ZOR_EVENT_CONNECTED, -1, 1, kWait));

  const std::vector<uint8_t> small = RandomBytes(100, 11);
  EXPECT_EQ(ZorWritePort(handle, small.data(), 100), 0);
  EXPECT_EQ(peer->ReceiveExactly(100, kWait), small);
  EXPECT_TRUE(events.WaitForCount(ZOR_EVENT_TRANSMITTED, -1, 1, kWait));
  // The transmit monitor has found its ring empty and suspends itself, so
  // that the next write is gathered whole.
  EXPECT_TRUE(WaitUntil(
      [&] { return PortTable()[static_cast<size_t>(handle)].txMonitor.suspended.load() == 1; },
      kWait));

  const std::vector<uint8_t> answer = RandomBytes(200, 12);
  EXPECT_TRUE(peer->SendAll(answer.data(), answer.size()));
  EXPECT_EQ(ReadPortExactly(handle, 200, kWait), answer);

  const std::vector<uint8_t> large = RandomBytes(5000, 13);
  EXPECT_EQ(ZorWritePort(handle, large.data(), 5000), 0);
  EXPECT_EQ(peer->ReceiveExactly(5000, kWait), large);
  EXPECT_TRUE(events.WaitForCount(ZOR_EVENT_TRANSMITTED, -1, 3, kWait));
  // The transmit monitor has found its ring empty and suspends itself, so
  // that the next write is gathered whole.
  EXPECT_TRUE(WaitUntil(
      [&] { return PortTable()[static_cast<size_t>(handle)].txMonitor.suspended.load() == 1; },
      kWait));

  const std::vector<uint8_t> largeAnswer = RandomBytes(6000, 14);
  EXPECT_TRUE(peer->SendAll(largeAnswer.data(), largeAnswer.size()));
  EXPECT_EQ(ReadPortExactly(handle, 6000, kWait), largeAnswer);

  peer->Close();
  EXPECT_TRUE(events.WaitForCount(ZOR_EVENT_DISCONNECTED, ZOR_DISCONNECT_PEER_CLOSED, 1, kWait));
  auto again = listener.Accept(kWait);
  EXPECT_TRUE(again.has_value());
  EXPECT_TRUE(events.WaitForCount(ZOR_EVENT_CONNECTED, -1, 2, kWait));
  const ZorPortStatistics after = StatisticsOf(handle);
  result.statistics = {after.rxBytes - before.rxBytes, after.txBytes - before.txBytes,
                       after.rxErrors - before.rxErrors, after.txErrors - before.txErrors,
                       after.connectErrors - before.connectErrors};

  EXPECT_EQ(ZorClosePort(handle), 0);
  result.events = Described(events.Events());
  // The receive monitor meets either the closed socket (5/4) or its stop
  // request first, whichever comes first in its turn.
  const size_t count = result.events.size();
  if (count >= 2 && result.events[count - 2] == "5/4" && result.events[count - 1] == "2/2") {
    result.events.erase(result.events.end() - 2);
  }
  return result;
}

using FastTransferExchangeTest = ClientPortTest;

TEST_F(FastTransferExchangeTest, SameExchangeRaisesTheSameEventsInBothModes) {
  const ScriptResult standard = RunScriptedExchange(false);
  const ScriptResult fast = RunScriptedExchange(true);
  UseFastTransfer(false);

  EXPECT_THAT(standard.events, ElementsAre("1:localhost", "4(100)", "3(200)", "4(4096)", "4(904)",
                                           "3(4096)", "3(1904)", "2/0", "1:localhost", "2/2"));
  EXPECT_EQ(fast.events, standard.events);
  for (const ZorPortStatistics& statistics : {standard.statistics, fast.statistics}) {
    EXPECT_EQ(statistics.rxBytes, 6200u);
    EXPECT_EQ(statistics.txBytes, 5100u);
    EXPECT_EQ(statistics.rxErrors + statistics.txErrors + statistics.connectErrors, 0u);
  }
}

// A few MiB each way at once; the host's in one write far larger than the
// TxRing, the peer's in one send.
TEST_P(FastTransferTest, DataArrivesIntactBothWays) {
  constexpr size_t kSize = 3 * kMiB;
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenConnected(handle, peer));
  const std::vector<uint8_t> outbound = RandomBytes(kSize, 21);
  const std::vector<uint8_t> inbound = RandomBytes(kSize, 22);
  std::vector<uint8_t> atPeer;
  std::thread peerReceiver([&] { atPeer = peer.ReceiveExactly(kSize, milliseconds(120000)); });
  std::thread peerSender([&] { EXPECT_TRUE(peer.SendAll(inbound.data(), inbound.size())); });
  std::thread hostWriter(
      [&] { EXPECT_EQ(ZorWritePort(handle, outbound.data(), static_cast<int32_t>(kSize)), 0); });
  const std::vector<uint8_t> atHost = ReadPortExactly(handle, kSize, milliseconds(120000));
  hostWriter.join();
  peerSender.join();
  peerReceiver.join();

  EXPECT_TRUE(atHost == inbound) << "host received " << atHost.size() << " bytes";
  EXPECT_TRUE(atPeer == outbound) << "peer received " << atPeer.size() << " bytes";
  EXPECT_TRUE(WaitUntil([&] { return events.Bytes(ZOR_EVENT_TRANSMITTED) == kSize; }, kWait));
  EXPECT_EQ(events.Bytes(ZOR_EVENT_RECEIVED), kSize);
  for (const auto& event : events.Events()) {
    if (event.kind == ZOR_EVENT_RECEIVED || event.kind == ZOR_EVENT_TRANSMITTED) {
      EXPECT_GE(event.value, 1);
      EXPECT_LE(event.value, 4096);
    }
  }
  const ZorPortStatistics statistics = StatisticsOf(handle);
  EXPECT_EQ(statistics.rxBytes, kSize);
  EXPECT_EQ(statistics.txBytes, kSize);
}

// One write of three chunks whose first send fails: the fast mode gives
// all three to that send, the default mode only the first. Either way the
// failure drops only the chunk it met, and the others go and are reported
// one by one.
TEST_P(FastTransferTest, FailedSendDropsOnlyTheChunkItMet) {
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenConnected(handle, peer));
  const std::vector<uint8_t> bytes = RandomBytes(10000, 41);
  // The transmit monitor suspends itself on its empty ring, so that the
  // write is gathered in whole chunks.
  ASSERT_TRUE(WaitUntil(
      [&] { return PortTable()[static_cast<size_t>(handle)].txMonitor.suspended.load() == 1; },
      kWait));
  platform::faults::Inject(platform::faults::Operation::kSend, {.error = 10054});
  ASSERT_EQ(ZorWritePort(handle, bytes.data(), 10000), 0);

  EXPECT_EQ(peer.ReceiveExactly(5904, kWait),
            std::vector<uint8_t>(bytes.begin() + 4096, bytes.end()));
  ASSERT_TRUE(events.WaitForCount(ZOR_EVENT_TRANSMITTED, -1, 2, kWait));
  EXPECT_THAT(Described(events.Events()),
              ElementsAre("1:localhost", "5/3", "5/4", "4(4096)", "4(1808)"));
  EXPECT_EQ(StatisticsOf(handle).txBytes, 5904u);
}

// Bytes followed at once by the peer's close: the bytes are reported at
// once, the close only after more than a second without a receive, and the
// port then connects again.
TEST_P(FastTransferTest, PeerCloseIsReportedOnlyAfterASecondOfSilence) {
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenConnected(handle, peer));
  ASSERT_TRUE(peer.SendAll("last words"));
  peer.Close();
  ASSERT_TRUE(WaitForEvent(ZOR_EVENT_DISCONNECTED, ZOR_DISCONNECT_PEER_CLOSED));

  const std::vector<RecordedEvent> recorded = events.Events();
  const RecordedEvent* received = NthEvent(recorded, ZOR_EVENT_RECEIVED, 1);
  const RecordedEvent* closed = NthEvent(recorded, ZOR_EVENT_DISCONNECTED, 1);
  ASSERT_NE(received, nullptr);
  ASSERT_NE(closed, nullptr);
  EXPECT_EQ(received->value, 10);
  EXPECT_GE(MillisecondsBetween(*received, *closed), kSilence.count());
  EXPECT_LT(MillisecondsBetween(*received, *closed), kSilence.count() + kCloseBound.count());
  EXPECT_THAT(FirstEvents(3), ElementsAre("1", "3", "2/0"));

  auto again = listener.Accept(kWait);
  EXPECT_TRUE(again.has_value());
  EXPECT_TRUE(WaitForEvent(ZOR_EVENT_CONNECTED, -1, 2));
}

// An idle connection in non-blocking mode: once a second a receive is
// forced, fails with 10035 and only writes the two numbers of the record.
TEST_P(FastTransferTest, IdleConnectionForcesAReceiveEverySecond) {
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenConnected(handle, peer));
  const auto forcedReceive = [] {
    const LastErrorView last = LastErrorNow();
    return last.code == 10035 && last.location == 1008;
  };
  for (int second = 0; second < 2; ++second) {
    // A handle failure overwrites the record, so that each forced receive
    // is seen afresh.
    ZorAnyToRead(-1);
    EXPECT_TRUE(WaitUntil(forcedReceive, milliseconds(2500)));
  }
  EXPECT_EQ(LastErrorNow().text, "Invalid port handle specified");
  EXPECT_THAT(events.Sequence(), ElementsAre("1"));
  EXPECT_EQ(StatisticsOf(handle).rxErrors, 0u);
}

// Between exchanges the transmit monitor sleeps for want of bytes in both
// modes (the fast mode looks for more only briefly first), and every write
// wakes it: each message reaches the peer and the monitor sleeps again.
TEST_P(FastTransferTest, IdleTransmitMonitorSleepsAndEveryWriteWakesIt) {
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenConnected(handle, peer));
  const PortControlBlock& block = PortTable()[static_cast<size_t>(handle)];
  for (uint8_t round = 0; round < 20; ++round) {
    ASSERT_TRUE(WaitUntil([&] { return block.txMonitor.suspended.load() == 1; }, kWait))
        << int{round};
    const std::vector<uint8_t> message = RandomBytes(10, round);
    ASSERT_EQ(ZorWritePort(handle, message.data(), 10), 0);
    ASSERT_EQ(peer.ReceiveExactly(10, kWait), message) << int{round};
  }
  EXPECT_TRUE(WaitUntil([&] { return events.Count(ZOR_EVENT_TRANSMITTED, 10) == 20; }, kWait));
}

// The close in the states where a fast-mode monitor blocks: the receive
// monitor waiting for bytes, the transmit monitor waiting for a socket that
// does not take data (the peer reads nothing), and a listening server.
TEST_P(FastTransferTest, CloseStaysWithinItsBound) {
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenConnected(handle, peer));
  auto start = Clock::now();
  EXPECT_EQ(ZorClosePort(handle), 0);
  EXPECT_LT(Clock::now() - start, kCloseBound);

  ASSERT_NO_FATAL_FAILURE(OpenConnected(handle, peer));
  peer.SetReceiveBuffer(4096);
  ASSERT_TRUE(KeepTransmitMonitorWaiting(handle, events));
  EXPECT_EQ(events.Count(ZOR_EVENT_ERROR, ZOR_ERROR_SEND_FAILED), 0u);
  start = Clock::now();
  EXPECT_EQ(ZorClosePort(handle), 0);
  EXPECT_LT(Clock::now() - start, kCloseBound);
  // The chunk that waited is dropped through the failure path.
  EXPECT_EQ(events.Count(ZOR_EVENT_ERROR, ZOR_ERROR_SEND_FAILED), 1u);

  ZorChangeDefault(ZOR_DEFAULT_SERVICE, "0", 2);
  int32_t server = -1;
  ASSERT_EQ(ZorOpenPort("127.0.0.1", 0, ZOR_OPEN_SERVER, nullptr, &server), 0);
  // Running, and in the fast mode waiting for a connection.
  EXPECT_TRUE(WaitUntil(
      [&] {
        return PortTable()[static_cast<size_t>(server)].rxMonitor.running.load() == 1 &&
               (!GetParam() || platform::BlockedSocketWaits() >= 1);
      },
      kWait));
  start = Clock::now();
  EXPECT_EQ(ZorClosePort(server), 0);
  EXPECT_LT(Clock::now() - start, kCloseBound);
}

INSTANTIATE_TEST_SUITE_P(Modes, FastTransferTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& instance) {
                           return instance.param ? std::string("Fast") : std::string("Default");
                         });

}  // namespace
}  // namespace zortcp::testing
