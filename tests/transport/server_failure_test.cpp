// SPDX-License-Identifier: MIT
// The server receive monitor's failure locations 2002 to 2011, made to
// happen through the fault-injection seam against real peers on 127.0.0.1
// (2001 and 2004 are with the peer behaviours): the events, counters and
// record of each, and whether the peer is still served afterwards.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "core/control_block.h"
#include "diagnostics/error_texts.h"
#include "platform/fault_injection.h"
#include "support/server_port.h"

namespace zortcp::testing {
namespace {

using platform::faults::Fault;
using platform::faults::Inject;
using platform::faults::Operation;
using std::chrono::milliseconds;
using std::chrono::seconds;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

void ExpectOneFailure(const FailureNotes& failures, int32_t location, int32_t code) {
  failures.WaitForNotes(1);
  const std::vector<LastErrorView> notes = failures.Notes();
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].location, location);
  EXPECT_EQ(notes[0].code, code);
  EXPECT_EQ(notes[0].text, SocketErrorText(static_cast<uint32_t>(code)));
}

class ServerFailureTest : public ServerPortTest {
 protected:
  void OpenAndConnect(const char* config = nullptr) {
    events.Register();
    handle = OpenServer("127.0.0.1", config, &port);
    ASSERT_GE(handle, 0);
    peer = ConnectToServer(port);
    ASSERT_TRUE(peer.IsOpen());
  }
  PortControlBlock& Block() { return PortTable()[static_cast<size_t>(handle)]; }
  bool WaitForMonitorEnd() {
    return WaitUntil([&] { return Block().rxMonitor.running.load() == 0; }, seconds(5));
  }

  int32_t handle = -1;
  uint16_t port = 0;
  PeerConnection peer;
};

TEST_F(ServerFailureTest, ListeningPollFailureEndsMonitorWithoutDisconnect) {
  events.Register();
  handle = OpenServer("127.0.0.1", nullptr, &port);
  ASSERT_GE(handle, 0);
  Inject(Operation::kPollReadable, {.error = 10050, .socket = Block().peer.socket.load()});
  ASSERT_TRUE(WaitForMonitorEnd());
  EXPECT_THAT(events.Sequence(), ElementsAre("5/4"));
  ExpectOneFailure(failures, 2002, 10050);
  EXPECT_FALSE(ConnectLoopback(port, milliseconds(500)).IsOpen());
}

TEST_F(ServerFailureTest, AcceptFailureCountsAndListeningGoesOn) {
  std::string log;
  const std::string config = LoggingConfig("server", &log);
  Inject(Operation::kAccept, {.error = 10053});
  OpenAndConnect(config.c_str());
  WaitForConnected();
  EXPECT_THAT(events.Sequence(), ElementsAre("5/4", "1"));
  ExpectOneFailure(failures, 2003, 10053);
  EXPECT_EQ(StatisticsOf(handle).connectErrors, 1u);
  ExpectServed(handle, peer, "request", "reply");
  ASSERT_EQ(ZorClosePort(handle), 0);
  EXPECT_EQ(
      CountLinesContaining(LogLines(log), "RxMonitorServer() - Port: 1, accept() failed. 10053"),
      1u);
}

TEST_F(ServerFailureTest, AcceptThatWouldBlockRecordsNumbersOnly) {
  ZorClosePort(32);  // a text that the would-block result must leave alone
  Inject(Operation::kAccept, {.error = 10035});
  OpenAndConnect();
  WaitForConnected();
  const LastErrorView record = LastErrorNow();
  EXPECT_EQ(record.location, 2003);
  EXPECT_EQ(record.code, 10035);
  EXPECT_EQ(record.text, "Invalid port handle specified");
  EXPECT_THAT(events.Sequence(), ElementsAre("1"));
  EXPECT_EQ(StatisticsOf(handle).connectErrors, 0u);
  ExpectServed(handle, peer, "request", "reply");
}

TEST_F(ServerFailureTest, SocketBufferFailuresAreRecordedWithoutEvents) {
  std::string log;
  const std::string config = LoggingConfig("server", &log);
  Inject(Operation::kSetReceiveBufferSize, {.error = 10055});
  Inject(Operation::kSetSendBufferSize, {.error = 10050});
  OpenAndConnect(config.c_str());
  WaitForConnected();
  ExpectServed(handle, peer, "request", "reply");
  const LastErrorView record = LastErrorNow();
  EXPECT_EQ(record.location, 2006);
  EXPECT_EQ(record.code, 10050);
  EXPECT_EQ(record.text, SocketErrorText(10050));
  EXPECT_EQ(events.Count(ZOR_EVENT_ERROR), 0u);
  const ZorPortStatistics statistics = StatisticsOf(handle);
  EXPECT_EQ(statistics.rxErrors + statistics.txErrors + statistics.connectErrors, 0u);

  ASSERT_EQ(ZorClosePort(handle), 0);
  const std::vector<std::string> lines = LogLines(log);
  EXPECT_EQ(CountLinesContaining(
                lines, "RxMonitorServer() - Port: 1, setsockopt(SO_RCVBUF) failed. 10055"),
            1u);
  EXPECT_EQ(CountLinesContaining(
                lines, "RxMonitorServer() - Port: 1, setsockopt(SO_SNDBUF) failed. 10050"),
            1u);
}

TEST_F(ServerFailureTest, NonBlockingFailureCountsAndPeerIsServedInBlockingMode) {
  Inject(Operation::kSetNonBlocking, {.error = 10045});
  OpenAndConnect();
  ASSERT_TRUE(events.WaitForCount(ZOR_EVENT_ERROR, ZOR_ERROR_RECORDED, 1, seconds(5)));
  EXPECT_THAT(events.Sequence(), ElementsAre("1", "5/4"));
  ExpectOneFailure(failures, 2007, 10045);
  EXPECT_EQ(StatisticsOf(handle).connectErrors, 1u);
  ExpectServed(handle, peer, "request", "reply");
}

TEST_F(ServerFailureTest, ReceiveFailureDropsPeerAndListensForTheNext) {
  Inject(Operation::kReceive, {.error = 10054});
  OpenAndConnect();
  WaitForConnected();
  ASSERT_TRUE(peer.SendAll("doomed"));
  ASSERT_TRUE(events.WaitForCount(ZOR_EVENT_DISCONNECTED, -1, 1, seconds(5)));
  EXPECT_THAT(events.Sequence(), ElementsAre("1", "5/2", "5/4", "2/1"));
  ExpectOneFailure(failures, 2010, 10054);
  EXPECT_EQ(StatisticsOf(handle).rxErrors, 1u);
  EXPECT_EQ(Block().peer.acceptedSocket.load(), platform::kNoSocket);
  EXPECT_TRUE(peer.WaitForClose(seconds(3)));

  PeerConnection next = ConnectToServer(port);
  ASSERT_TRUE(next.IsOpen());
  WaitForConnected(2);
  ExpectServed(handle, next, "request", "reply");
}

// Failures that end the monitor while a peer is served: each raises 5/4
// and then 2/2 as the monitor ends, and the peer's connection is closed.
struct EndingFailure {
  const char* name;
  Operation operation;
  int32_t skip;            // calls that succeed first
  bool onListeningSocket;  // else on the accepted connection
  bool armedOnceServed;    // else armed before the peer connects
  int32_t location;
  std::vector<std::string> events;
};

void PrintTo(const EndingFailure& failure, std::ostream* out) { *out << failure.name; }

class ServerEndingFailureTest : public ServerFailureTest,
                                public ::testing::WithParamInterface<EndingFailure> {};

TEST_P(ServerEndingFailureTest, RaisesFailureThenMonitorEndAndClosesPeer) {
  const EndingFailure& failure = GetParam();
  constexpr int32_t kCode = 10050;
  if (!failure.armedOnceServed) {
    Inject(failure.operation, {.error = kCode, .skip = failure.skip});
  }
  OpenAndConnect();
  WaitForConnected();
  if (failure.armedOnceServed) {
    const platform::Socket socket =
        failure.onListeningSocket ? Block().peer.socket.load() : Block().peer.acceptedSocket.load();
    Inject(failure.operation, {.error = kCode, .skip = failure.skip, .socket = socket});
  } else {
    // Bytes make the connection readable, so that its pending count is read.
    ASSERT_TRUE(peer.SendAll("data"));
  }
  ASSERT_TRUE(WaitForMonitorEnd());
  EXPECT_THAT(events.Sequence(), ElementsAreArray(failure.events));
  ExpectOneFailure(failures, failure.location, kCode);
  EXPECT_TRUE(peer.WaitForClose(seconds(3)));
  EXPECT_EQ(Block().peer.acceptedSocket.load(), platform::kNoSocket);
  EXPECT_EQ(Block().peer.socket.load(), platform::kNoSocket);
}

INSTANTIATE_TEST_SUITE_P(Locations, ServerEndingFailureTest,
                         ::testing::Values(EndingFailure{"ListeningPoll2002",
                                                         Operation::kPollReadable,
                                                         0,
                                                         true,
                                                         true,
                                                         2002,
                                                         {"1", "5/4", "2/2"}},
                                           EndingFailure{"ConnectionPoll2008",
                                                         Operation::kPollReadable,
                                                         0,
                                                         false,
                                                         true,
                                                         2008,
                                                         {"1", "5/4", "2/2"}},
                                           EndingFailure{"PendingBeforeReceive2009",
                                                         Operation::kPendingBytes,
                                                         0,
                                                         false,
                                                         false,
                                                         2009,
                                                         {"1", "5/4", "2/2"}},
                                           EndingFailure{"PendingAfterReceive2011",
                                                         Operation::kPendingBytes,
                                                         1,
                                                         false,
                                                         false,
                                                         2011,
                                                         {"1", "3", "5/4", "2/2"}}),
                         [](const ::testing::TestParamInfo<EndingFailure>& instance) {
                           return std::string(instance.param.name);
                         });

}  // namespace
}  // namespace zortcp::testing
