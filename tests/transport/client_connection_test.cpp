// SPDX-License-Identifier: MIT
// The client receive monitor against a real peer: connecting and the
// connected event, refused connects and the retry limit, a peer that closes
// or resets, signal 1 holding the port from reconnecting, the blocking
// mode's forced receive, and the connected monitor's priority.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/control_block.h"
#include "core/last_error.h"
#include "diagnostics/error_texts.h"
#include "platform/fault_injection.h"
#include "support/client_port.h"

namespace zortcp::testing {
namespace {

using ::testing::ElementsAre;

using ClientConnectionTest = ClientPortTest;

TEST_F(ClientConnectionTest, ConnectedEventNamesThePeerAndPortAndConfigReportsTheConnection) {
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenConnected(handle, peer));
  EXPECT_THAT(events.Sequence(), ElementsAre("1"));
  EXPECT_EQ(events.Events()[0].text, "localhost, Port: " + listener.PortText());
  EXPECT_EQ(events.Events()[0].source, 2);

  uint8_t address[4] = {};
  int32_t length = -1;
  EXPECT_EQ(ZorGetConfig(handle, ZOR_CONFIG_LOCAL_ADDRESS, address, &length), 0);
  EXPECT_EQ(length, 4);
  EXPECT_THAT(address, ElementsAre(127, 0, 0, 1));
  std::memset(address, 0, sizeof(address));
  EXPECT_EQ(ZorGetConfig(handle, ZOR_CONFIG_PEER_ADDRESS, address, &length), 0);
  EXPECT_EQ(length, 4);
  EXPECT_THAT(address, ElementsAre(127, 0, 0, 1));

  const std::string host = SystemHostName();
  ASSERT_FALSE(host.empty());
  EXPECT_EQ(ConfigTextOf(handle, ZOR_CONFIG_LOCAL_HOST), host);
  EXPECT_EQ(ConfigTextOf(handle, ZOR_CONFIG_PEER_NAME), "localhost");
  platform::faults::Inject(platform::faults::Operation::kLocalHostName, {.error = 10050});
  EXPECT_EQ(ConfigTextOf(handle, ZOR_CONFIG_LOCAL_HOST), "localhost");

  uint32_t port = 0;
  EXPECT_EQ(ZorGetConfig(handle, ZOR_CONFIG_SERVICE_PORT, &port, &length), 0);
  EXPECT_EQ(port, listener.port());
  EXPECT_EQ(length, 4);
  port = 0;
  EXPECT_EQ(ZorGetConfig(handle, ZOR_CONFIG_PEER_PORT, &port, &length), 0);
  EXPECT_EQ(port, listener.port());

  // Items out of range touch neither the outputs nor the last error.
  EXPECT_EQ(ZorClosePort(-1), -1);
  port = 77;
  length = 77;
  EXPECT_EQ(ZorGetConfig(handle, 0, &port, &length), -3);
  EXPECT_EQ(ZorGetConfig(handle, 7, &port, &length), -3);
  EXPECT_EQ(port, 77u);
  EXPECT_EQ(length, 77);
  EXPECT_EQ(LastErrorNow().location, 201);
}

TEST_F(ClientConnectionTest, RefusedConnectRetriesEvery250msUntilLimit) {
  UseService(UnusedLoopbackPort());
  UseRetryCount(3);
  const int32_t handle = OpenClient();
  ASSERT_GE(handle, 0);
  ASSERT_TRUE(WaitForEvent(ZOR_EVENT_ERROR, ZOR_ERROR_RETRY_LIMIT));
  EXPECT_THAT(events.Sequence(), ElementsAre("5/1", "5/4", "5/1", "5/4", "5/1", "5/4", "5/5"));
  const auto recorded = events.Events();
  for (size_t attempt = 2; attempt < 6; attempt += 2) {
    const int64_t gap = MillisecondsBetween(recorded[attempt - 2], recorded[attempt]);
    EXPECT_GE(gap, 230) << "attempt " << attempt / 2;
    EXPECT_LE(gap, 3000) << "attempt " << attempt / 2;
  }
  const LastErrorView error = LastErrorNow();
  EXPECT_EQ(error.location, 1002);
  EXPECT_EQ(error.code, 10061);
  EXPECT_EQ(error.text, "WSAECONNREFUSED: The attempt to connect was forcibly rejected");
  EXPECT_EQ(StatisticsOf(handle).connectErrors, 3u);

  // The monitor has ended by itself; the close does not wait for it.
  const PortControlBlock& block = PortTable()[static_cast<size_t>(handle)];
  ASSERT_TRUE(WaitUntil([&] { return block.rxMonitor.running.load() == 0; }, kWait));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ZorClosePort(handle), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(2000));
  EXPECT_EQ(events.Count(ZOR_EVENT_DISCONNECTED), 0u);
}

TEST_F(ClientConnectionTest, RetryCountOneOrNegativeEndsAfterTheFirstFailure) {
  UseService(UnusedLoopbackPort());
  for (int32_t retryCount : {1, -5}) {
    SCOPED_TRACE(retryCount);
    events.Clear();
    UseRetryCount(retryCount);
    const int32_t handle = OpenClient();
    ASSERT_GE(handle, 0);
    const PortControlBlock& block = PortTable()[static_cast<size_t>(handle)];
    ASSERT_TRUE(WaitUntil([&] { return block.rxMonitor.running.load() == 0; }, kWait));
    EXPECT_THAT(events.Sequence(), ElementsAre("5/1", "5/4", "5/5"));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ZorClosePort(handle), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(2000));
  }
}

// The retry count starts afresh with every connection: failures before a
// connection that the peer then closed do not count toward the limit.
TEST_F(ClientConnectionTest, RetryLimitCountsTheAttemptsAfterTheLastConnectionOnly) {
  UseRetryCount(2);
  platform::faults::Inject(platform::faults::Operation::kConnect, {.error = 10061});
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenConnected(handle, peer));
  listener.Close();  // every later attempt is refused
  peer.Close();
  ASSERT_TRUE(WaitForEvent(ZOR_EVENT_ERROR, ZOR_ERROR_RETRY_LIMIT));
  EXPECT_THAT(events.Sequence(),
              ElementsAre("5/1", "5/4", "1", "2/0", "5/1", "5/4", "5/1", "5/4", "5/5"));
}

TEST_F(ClientConnectionTest, PeerCloseIsReportedAfterASecondOfSilenceAndThePortReconnects) {
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenConnected(handle, peer));
  ASSERT_TRUE(peer.SendAll("hello"));
  peer.Close();
  ASSERT_TRUE(WaitForEvent(ZOR_EVENT_DISCONNECTED));
  EXPECT_THAT(FirstEvents(3), ElementsAre("1", "3", "2/0"));
  const auto recorded = events.Events();
  EXPECT_GE(MillisecondsBetween(recorded[1], recorded[2]), 990);

  char received[16] = {};
  int32_t count = 0;
  EXPECT_EQ(ZorReadPort(handle, received, sizeof(received), &count), 0);
  EXPECT_EQ(std::string(received, static_cast<size_t>(count)), "hello");
  EXPECT_EQ(StatisticsOf(handle).rxBytes, 5u);

  PeerConnection second = AcceptPeer();
  ASSERT_TRUE(second.IsOpen());
  ASSERT_TRUE(WaitForEvent(ZOR_EVENT_CONNECTED, -1, 2));
  EXPECT_THAT(events.Sequence(), ElementsAre("1", "3", "2/0", "1"));
  EXPECT_LT(MillisecondsBetween(recorded[2], events.Events()[3]),
            240);  // no 250 ms retry pause after a loss
}

TEST_F(ClientConnectionTest, ResetByPeerIsAFailedReceiveAndThePortReconnects) {
  if (RunningUnderWine()) GTEST_SKIP() << kWineReadsResetAsEnd;
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenConnected(handle, peer));
  peer.Reset();
  ASSERT_TRUE(WaitForEvent(ZOR_EVENT_DISCONNECTED));
  EXPECT_THAT(FirstEvents(4), ElementsAre("1", "5/2", "5/4", "2/1"));
  const LastErrorView error = LastErrorNow();
  EXPECT_EQ(error.location, 1008);
  EXPECT_EQ(error.code, 10054);
  EXPECT_EQ(error.text, SocketErrorText(10054));
  EXPECT_EQ(StatisticsOf(handle).rxErrors, 1u);

  ASSERT_TRUE(AcceptPeer().IsOpen());
  EXPECT_TRUE(WaitForEvent(ZOR_EVENT_CONNECTED, -1, 2));
}

TEST_F(ClientConnectionTest, SignalOneHoldsReconnectionUntilReleased) {
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenConnected(handle, peer));
  int32_t signal = -1;
  EXPECT_EQ(ZorGetSignal(handle, 1, &signal), 0);
  EXPECT_EQ(signal, 0);
  EXPECT_EQ(ZorChangeSignal(handle, 1, 1), 0);
  EXPECT_EQ(ZorGetSignal(handle, 1, &signal), 0);
  EXPECT_EQ(signal, 1);
  // Signal numbers other than 1 change and report nothing.
  EXPECT_EQ(ZorChangeSignal(handle, 2, 0), 0);
  signal = 55;
  EXPECT_EQ(ZorGetSignal(handle, 2, &signal), 0);
  EXPECT_EQ(signal, 55);
  EXPECT_EQ(ZorGetSignal(handle, 1, &signal), 0);
  EXPECT_EQ(signal, 1);

  // Holding leaves the standing connection alone.
  ASSERT_TRUE(peer.SendAll("x"));
  ASSERT_TRUE(WaitForEvent(ZOR_EVENT_RECEIVED));
  peer.Close();
  ASSERT_TRUE(WaitForEvent(ZOR_EVENT_DISCONNECTED, ZOR_DISCONNECT_PEER_CLOSED));
  EXPECT_FALSE(listener.Accept(kQuiet).has_value());

  // Held and disconnected: bytes written meet no socket and are dropped
  // chunk by chunk, and the port has no local address.
  EXPECT_EQ(ZorWritePort(handle, "dropped", 7), 0);
  ASSERT_TRUE(WaitForEvent(ZOR_EVENT_ERROR, ZOR_ERROR_RECORDED));
  const LastErrorView error = LastErrorNow();
  EXPECT_EQ(error.location, 1101);
  EXPECT_EQ(error.code, 10038);
  EXPECT_EQ(StatisticsOf(handle).txErrors, 1u);

  uint8_t address[4] = {1, 2, 3, 4};
  int32_t length = -1;
  EXPECT_EQ(ZorGetConfig(handle, ZOR_CONFIG_LOCAL_ADDRESS, address, &length), 0);
  EXPECT_EQ(length, 0);
  EXPECT_THAT(address, ElementsAre(0, 0, 0, 0));

  EXPECT_EQ(ZorChangeSignal(handle, 1, 2), 0);  // bit 0 only: releases
  EXPECT_EQ(ZorGetSignal(handle, 1, &signal), 0);
  EXPECT_EQ(signal, 0);
  ASSERT_TRUE(AcceptPeer().IsOpen());
  EXPECT_TRUE(WaitForEvent(ZOR_EVENT_CONNECTED, -1, 2));
  EXPECT_THAT(events.Sequence(), ElementsAre("1", "3", "2/0", "5/3", "5/4", "1"));
}

// Flag bit 2: the receive forced after a second of silence waits for bytes,
// and the close still ends it at once.
TEST_F(ClientConnectionTest, BlockingPortWaitsInTheForcedReceiveUntilBytesArrive) {
  ResetLastErrorForTesting();
  events.Register();
  int32_t handle = -1;
  ASSERT_EQ(ZorOpenPort("localhost", 0, ZOR_OPEN_BLOCKING, nullptr, &handle), 0);
  PeerConnection peer = AcceptPeer();
  ASSERT_TRUE(WaitForEvent(ZOR_EVENT_CONNECTED));
  // The silence forces a receive, which waits.
  ASSERT_TRUE(WaitUntil([] { return platform::BlockedSocketWaits() >= 1; }, kWait));
  EXPECT_EQ(LastErrorNow().code, 0);  // no would-block result: the receive waits
  ASSERT_TRUE(peer.SendAll("late"));
  ASSERT_TRUE(WaitUntil([&] { return ZorAnyToRead(handle) == 4; }, kWait));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ZorClosePort(handle), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(2000));
  EXPECT_TRUE(peer.WaitForClose(kWait));
}

TEST_F(ClientConnectionTest, ConnectedMonitorRunsAtTimeCriticalPriority) {
  if (!MayRaisePriority()) GTEST_SKIP() << "raising a thread's priority is not permitted here";
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenConnected(handle, peer));
  EXPECT_TRUE(WaitUntil([] { return ThreadsAtTimeCriticalPriority() == 1; }, kWait));
  EXPECT_EQ(ZorChangeSignal(handle, 1, 1), 0);
  platform::faults::Inject(platform::faults::Operation::kReceive, {.error = 10054});
  ASSERT_TRUE(peer.SendAll("x"));
  ASSERT_TRUE(WaitForEvent(ZOR_EVENT_DISCONNECTED));
  EXPECT_EQ(ThreadsAtTimeCriticalPriority(), 0u);
}

}  // namespace
}  // namespace zortcp::testing
