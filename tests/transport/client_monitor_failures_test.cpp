// SPDX-License-Identifier: MIT
// Every failure location of the client receive monitor, reached through
// fault injection, with the events, counters and last error it leaves.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/control_block.h"
#include "diagnostics/error_texts.h"
#include "platform/fault_injection.h"
#include "support/client_port.h"

namespace zortcp::testing {
namespace {

namespace faults = platform::faults;
using faults::Operation;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

using ClientMonitorFailureTest = ClientPortTest;

void ExpectLastError(int32_t location, int32_t code) {
  const LastErrorView error = LastErrorNow();
  EXPECT_EQ(error.location, location);
  EXPECT_EQ(error.code, code);
  EXPECT_EQ(error.text, SocketErrorText(static_cast<uint32_t>(code)));
}

const PortControlBlock& BlockOf(int32_t handle) { return PortTable()[static_cast<size_t>(handle)]; }

// A socket that cannot be made for an attempt (a full descriptor table) is
// a failed attempt: 5/4 at 1001 each time, retried, and counted toward the
// retry count. Bytes written meanwhile wait for the connection that follows
// once sockets can be made again; TxMonitor drops no chunk.
TEST_F(ClientMonitorFailureTest, SocketFailureIsRetriedAndBytesWaitForTheConnection) {
  UseRetryCount(0);  // never gives up
  // The open makes the first socket; the monitor's attempts the next ones.
  faults::Inject(Operation::kOpenSocket, {.error = 10024, .count = 3, .skip = 1});
  const int32_t handle = OpenClient();
  ASSERT_GE(handle, 0);
  ASSERT_TRUE(WaitForEvent(ZOR_EVENT_ERROR, ZOR_ERROR_RECORDED));
  ExpectLastError(1001, 10024);
  const std::string bytes = "written while no socket could be made";
  ASSERT_EQ(ZorWritePort(handle, bytes.data(), static_cast<int32_t>(bytes.size())), 0);

  PeerConnection peer = AcceptPeer();
  ASSERT_TRUE(peer.IsOpen());
  EXPECT_EQ(Text(peer.ReceiveExactly(bytes.size(), kWait)), bytes);
  EXPECT_EQ(faults::FailuresMade(Operation::kOpenSocket), 3);
  // The connection's kind 1 and the chunk's kind 4 come from the two
  // monitors, in either order.
  ASSERT_TRUE(events.WaitForCount(ZOR_EVENT_CONNECTED, -1, 1, kWait));
  EXPECT_THAT(FirstEvents(3), ElementsAre("5/4", "5/4", "5/4"));
  const ZorPortStatistics statistics = StatisticsOf(handle);
  EXPECT_EQ(statistics.txErrors, 0u);
  EXPECT_EQ(statistics.connectErrors, 0u);
}

TEST_F(ClientMonitorFailureTest, SocketFailuresEndTheMonitorAtTheRetryCount) {
  UseRetryCount(2);
  faults::Inject(Operation::kOpenSocket, {.error = 10024, .count = -1, .skip = 1});
  const int32_t handle = OpenClient();
  ASSERT_GE(handle, 0);
  ASSERT_TRUE(WaitUntil([&] { return BlockOf(handle).rxMonitor.running.load() == 0; }, kWait));
  EXPECT_THAT(events.Sequence(), ElementsAre("5/4", "5/4", "5/5"));
  ExpectLastError(1001, 10024);
  EXPECT_FALSE(listener.Accept(kQuiet).has_value());
  UseRetryCount(0);
}

TEST_F(ClientMonitorFailureTest, FailedConnectIsRetriedAfter250ms) {
  faults::Inject(Operation::kConnect, {.error = 10060});
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenConnected(handle, peer));
  EXPECT_THAT(events.Sequence(), ElementsAre("5/1", "5/4", "1"));
  const auto recorded = events.Events();
  EXPECT_GE(MillisecondsBetween(recorded[1], recorded[2]), 230);
  EXPECT_EQ(StatisticsOf(handle).connectErrors, 1u);
  const LastErrorView error = LastErrorNow();
  EXPECT_EQ(error.location, 1002);
  EXPECT_EQ(error.code, 10060);
}

// A would-block result is no failure: it leaves its two numbers in the
// record, keeps the text, and raises and counts nothing but the attempt.
TEST_F(ClientMonitorFailureTest, WouldBlockResultsRecordOnlyTheirNumbers) {
  EXPECT_EQ(ZorClosePort(-1), -1);  // a text for the record to keep
  faults::Inject(Operation::kConnect, {.error = 10035});
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenConnected(handle, peer));
  LastErrorView error = LastErrorNow();
  EXPECT_EQ(error.location, 1002);
  EXPECT_EQ(error.code, 10035);
  EXPECT_EQ(error.text, "Invalid port handle specified");
  EXPECT_EQ(BlockOf(handle).connectAttempts.load(), 1);
  EXPECT_EQ(StatisticsOf(handle).connectErrors, 0u);

  // After a second of silence the forced receive would block.
  ASSERT_TRUE(WaitUntil([] { return LastErrorNow().location == 1008; }, kWait));
  error = LastErrorNow();
  EXPECT_EQ(error.code, 10035);
  EXPECT_EQ(error.text, "Invalid port handle specified");
  EXPECT_THAT(events.Sequence(), ElementsAre("1"));
  EXPECT_EQ(StatisticsOf(handle).rxErrors, 0u);
}

// Setting up a made connection: failures are recorded, raise nothing, and
// the connection works with the settings it has.
struct SetupFailure {
  Operation operation;
  int32_t location;
};

class ClientSetupFailureTest : public ClientPortTest,
                               public ::testing::WithParamInterface<SetupFailure> {};

TEST_P(ClientSetupFailureTest, IsRecordedWithoutEventsAndTheConnectionWorks) {
  faults::Inject(GetParam().operation, {.error = 10055});
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenConnected(handle, peer));
  ASSERT_TRUE(WaitUntil([&] { return LastErrorNow().location == GetParam().location; }, kWait));
  ExpectLastError(GetParam().location, 10055);

  ASSERT_TRUE(peer.SendAll("ping"));
  ASSERT_TRUE(WaitUntil([&] { return ZorAnyToRead(handle) == 4; }, kWait));
  EXPECT_EQ(ZorWritePort(handle, "pong", 4), 0);
  EXPECT_EQ(peer.ReceiveExactly(4, kWait).size(), 4u);
  ASSERT_TRUE(WaitForEvent(ZOR_EVENT_TRANSMITTED));
  EXPECT_THAT(events.Sequence(), ElementsAre("1", "3", "4"));
  EXPECT_EQ(StatisticsOf(handle).connectErrors, 0u);
}

INSTANTIATE_TEST_SUITE_P(Locations, ClientSetupFailureTest,
                         ::testing::Values(SetupFailure{Operation::kSetReceiveBufferSize, 1003},
                                           SetupFailure{Operation::kSetSendBufferSize, 1004},
                                           SetupFailure{Operation::kSetNonBlocking, 1005}),
                         [](const auto& instance) {
                           return std::to_string(instance.param.location);
                         });

// Failures that end the monitor while it is connected: 5/4, then 2/2 as
// it ends; the port stays open without a receive monitor.
struct EndingFailure {
  Operation operation;
  int32_t skip;
  int32_t location;
  std::vector<std::string> events;
};

class ClientEndingFailureTest : public ClientPortTest,
                                public ::testing::WithParamInterface<EndingFailure> {};

TEST_P(ClientEndingFailureTest, RaisesRecordedThenMonitorEndedAndTheMonitorEnds) {
  const EndingFailure& failure = GetParam();
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenConnected(handle, peer));
  faults::Inject(failure.operation, {.error = 10050, .skip = failure.skip});
  ASSERT_TRUE(peer.SendAll("abc"));
  ASSERT_TRUE(WaitForEvent(ZOR_EVENT_DISCONNECTED));
  EXPECT_THAT(events.Sequence(), ElementsAreArray(failure.events));
  ExpectLastError(failure.location, 10050);
  ASSERT_TRUE(WaitUntil([&] { return BlockOf(handle).rxMonitor.running.load() == 0; }, kWait));
  EXPECT_TRUE(peer.WaitForClose(kWait));
  EXPECT_FALSE(listener.Accept(kQuiet).has_value());
  EXPECT_EQ(StatisticsOf(handle).rxErrors, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Locations, ClientEndingFailureTest,
    ::testing::Values(EndingFailure{Operation::kPollReadable, 0, 1006, {"1", "5/4", "2/2"}},
                      EndingFailure{Operation::kPendingBytes, 0, 1007, {"1", "5/4", "2/2"}},
                      EndingFailure{Operation::kPendingBytes, 1, 1009, {"1", "3", "5/4", "2/2"}}),
    [](const auto& instance) { return std::to_string(instance.param.location); });

TEST_F(ClientMonitorFailureTest, FailedReceiveDropsTheConnectionAndReconnects) {
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenConnected(handle, peer));
  faults::Inject(Operation::kReceive, {.error = 10054});
  ASSERT_TRUE(peer.SendAll("abc"));
  ASSERT_TRUE(WaitForEvent(ZOR_EVENT_DISCONNECTED));
  EXPECT_THAT(FirstEvents(4), ElementsAre("1", "5/2", "5/4", "2/1"));
  ExpectLastError(1008, 10054);
  EXPECT_EQ(StatisticsOf(handle).rxErrors, 1u);
  EXPECT_TRUE(peer.WaitForClose(kWait));
  ASSERT_TRUE(AcceptPeer().IsOpen());
  EXPECT_TRUE(WaitForEvent(ZOR_EVENT_CONNECTED, -1, 2));
}

}  // namespace
}  // namespace zortcp::testing
