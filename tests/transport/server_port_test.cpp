// SPDX-License-Identifier: MIT
// A server port against plain-socket peers on 127.0.0.1: accepting,
// naming and serving one peer at a time, going back to listening, and what
// the host sees when the peer is silent, when the port closes under a peer
// and when there is nothing to listen with or to send to.
#include "support/server_port.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "core/control_block.h"
#include "core/last_error.h"
#include "diagnostics/error_texts.h"
#include "platform/fault_injection.h"

namespace zortcp::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

std::array<uint8_t, 4> AddressItem(int32_t handle, int32_t item, int32_t* length) {
  std::array<uint8_t, 4> address{};
  ZorGetConfig(handle, item, address.data(), length);
  return address;
}

uint32_t NumberItem(int32_t handle, int32_t item) {
  uint32_t value = 0;
  int32_t length = 0;
  ZorGetConfig(handle, item, &value, &length);
  return value;
}

std::string PeerName(int32_t handle) { return ConfigTextOf(handle, ZOR_CONFIG_PEER_NAME); }

std::string Connected(const std::string& name, const PeerConnection& peer) {
  return name + ", Port: " + std::to_string(peer.LocalPort());
}

TEST_F(ServerPortTest, AcceptsPlainPeerAndExchangesBytesBothWays) {
  std::string log;
  const std::string config = LoggingConfig("server", &log);
  events.Register();
  uint16_t port = 0;
  const int32_t handle = OpenServer("127.0.0.1", config.c_str(), &port);
  ASSERT_GE(handle, 0);
  int32_t length = 0;
  EXPECT_THAT(AddressItem(handle, ZOR_CONFIG_LOCAL_ADDRESS, &length), ElementsAre(127, 0, 0, 1));
  EXPECT_EQ(length, 4);

  PeerConnection peer = ConnectToServer(port);
  ASSERT_TRUE(peer.IsOpen());
  EXPECT_EQ(WaitForConnected(), Connected("127.0.0.1", peer));
  EXPECT_EQ(NumberItem(handle, ZOR_CONFIG_PEER_PORT), peer.LocalPort());
  EXPECT_THAT(AddressItem(handle, ZOR_CONFIG_PEER_ADDRESS, &length), ElementsAre(127, 0, 0, 1));
  EXPECT_EQ(PeerName(handle), "127.0.0.1");

  const std::vector<uint8_t> inbound = RandomBytes(100000, 1);
  ASSERT_TRUE(peer.SendAll(inbound.data(), inbound.size()));
  EXPECT_EQ(ReadPortExactly(handle, inbound.size(), seconds(10)), inbound);
  // More than the transmit ring holds, so the write waits for the monitor.
  const std::vector<uint8_t> outbound = RandomBytes(50000, 2);
  ASSERT_EQ(ZorWritePort(handle, outbound.data(), static_cast<int32_t>(outbound.size())), 0);
  EXPECT_EQ(peer.ReceiveExactly(outbound.size(), seconds(10)), outbound);
  // Kind 4 follows the count of each chunk.
  EXPECT_TRUE(WaitUntil([&] { return events.Bytes(ZOR_EVENT_TRANSMITTED) == outbound.size(); },
                        seconds(5)));
  EXPECT_EQ(StatisticsOf(handle).txBytes, outbound.size());

  const ZorPortStatistics statistics = StatisticsOf(handle);
  EXPECT_EQ(statistics.rxBytes, inbound.size());
  EXPECT_EQ(statistics.rxErrors + statistics.txErrors + statistics.connectErrors, 0u);
  EXPECT_EQ(events.Bytes(ZOR_EVENT_RECEIVED), inbound.size());
  EXPECT_EQ(events.Count(ZOR_EVENT_ERROR) + events.Count(ZOR_EVENT_DISCONNECTED), 0u);

  ASSERT_EQ(ZorClosePort(handle), 0);
  EXPECT_TRUE(peer.WaitForClose(seconds(3)));
  const std::vector<std::string> lines = LogLines(log);
  EXPECT_EQ(CountLinesContaining(lines, "RxMonitorServer() - Port: 1, Connected"), 1u);
  // The server's receive line has no colon after "size".
  EXPECT_GE(
      CountLinesContaining(lines, "RxMonitorServer() - Port: 1, recv() successful. Packet size "),
      1u);
  EXPECT_EQ(CountLinesContaining(lines, "Packet size:"), 0u);
  EXPECT_GE(CountLinesContaining(lines, "TxMonitor() - Port: 1, Packet successfully transmitted. "),
            1u);
}

TEST_F(ServerPortTest, ServerWithoutDottedAddressListensOnEveryAddress) {
  for (const char* host : {"", "localhost"}) {
    SCOPED_TRACE(host);
    events.Clear();
    events.Register();
    uint16_t port = 0;
    const int32_t handle = OpenServer(host, nullptr, &port);
    ASSERT_GE(handle, 0);
    int32_t length = 0;
    EXPECT_THAT(AddressItem(handle, ZOR_CONFIG_LOCAL_ADDRESS, &length), ElementsAre(0, 0, 0, 0));
    EXPECT_EQ(length, 4);
    PeerConnection peer = ConnectToServer(port);
    ASSERT_TRUE(peer.IsOpen());
    EXPECT_EQ(WaitForConnected(), Connected("127.0.0.1", peer));
    EXPECT_EQ(ZorClosePort(handle), 0);
  }
}

TEST_F(ServerPortTest, ServerOnReusedBlockReportsNoPeerAddressUntilItAcceptsOne) {
  // A client port on the block leaves its remote address behind.
  const std::string unused = std::to_string(UnusedLoopbackPort());
  ZorChangeDefault(ZOR_DEFAULT_SERVICE, unused.c_str(), static_cast<uint32_t>(unused.size() + 1));
  int32_t client = -1;
  ASSERT_EQ(ZorOpenPort("127.0.0.1", 0, 0, nullptr, &client), 0);
  ASSERT_EQ(ZorClosePort(client), 0);

  uint16_t port = 0;
  const int32_t handle = OpenServer("127.0.0.1", nullptr, &port);
  ASSERT_EQ(handle, client);
  int32_t length = 0;
  EXPECT_THAT(AddressItem(handle, ZOR_CONFIG_PEER_ADDRESS, &length), ElementsAre(0, 0, 0, 0));
  EXPECT_EQ(length, 4);
  PeerConnection peer = ConnectToServer(port);
  ASSERT_TRUE(peer.IsOpen());
  const std::array<uint8_t, 4> loopback{127, 0, 0, 1};
  EXPECT_TRUE(
      WaitUntil([&] { return AddressItem(handle, ZOR_CONFIG_PEER_ADDRESS, &length) == loopback; },
                seconds(5)));
  EXPECT_EQ(NumberItem(handle, ZOR_CONFIG_PEER_PORT), peer.LocalPort());
}

TEST_F(ServerPortTest, SecondPeerIsClosedAtOnceWhileFirstIsServed) {
  std::string log;
  const std::string config = LoggingConfig("server", &log);
  int32_t handle = -1;
  uint16_t port = 0;
  PeerConnection first;
  ASSERT_NO_FATAL_FAILURE(OpenServerWithPeer(config.c_str(), &handle, &port, &first));

  PeerConnection second = ConnectToServer(port);
  ASSERT_TRUE(second.IsOpen());
  EXPECT_TRUE(second.WaitForClose(seconds(3)));

  ExpectServed(handle, first, "still served", "answer");
  EXPECT_EQ(NumberItem(handle, ZOR_CONFIG_PEER_PORT), first.LocalPort());
  EXPECT_EQ(PeerName(handle), "127.0.0.1");
  EXPECT_EQ(events.Count(ZOR_EVENT_CONNECTED), 1u);
  EXPECT_EQ(events.Count(ZOR_EVENT_ERROR) + events.Count(ZOR_EVENT_DISCONNECTED), 0u);
  EXPECT_EQ(StatisticsOf(handle).connectErrors, 0u);

  ASSERT_EQ(ZorClosePort(handle), 0);
  const std::vector<std::string> lines = LogLines(log);
  EXPECT_EQ(CountLinesContaining(lines, "Port: 1, Connected"), 1u);
  EXPECT_EQ(CountLinesContaining(lines, "accept()"), 0u);
  EXPECT_EQ(CountLinesContaining(lines, "failed"), 0u);
}

// A peer from an address that "Allowed Peers" does not list is closed at
// once, whether a listed peer is served or not: the host sees nothing of it
// (no event, no byte, no count), the served peer goes on, the log names it.
TEST_F(ServerPortTest, PeerNotAllowedIsClosedUnseenAndServedPeerGoesOn) {
  {
    LoopbackListener probe;
    if (!ConnectLoopback(probe.port(), seconds(2), "127.0.0.2").IsOpen()) {
      GTEST_SKIP() << "no peer can connect from 127.0.0.2 here";
    }
  }
  std::string log;
  const std::string config =
      LoggingConfig("allowed", &log, "Allowed Peers=10.0.0.0/8, ::1,127.0.0.1\n");
  events.Register();
  uint16_t port = 0;
  const int32_t handle = OpenServer("127.0.0.1", config.c_str(), &port);
  ASSERT_GE(handle, 0);
  const auto expectClosedUnseen = [&] {
    PeerConnection stranger;
    ASSERT_TRUE(WaitUntil(
        [&] {
          stranger = ConnectLoopback(port, seconds(2), "127.0.0.2");
          return stranger.IsOpen();
        },
        seconds(5)));
    stranger.SendAll("let me in");
    EXPECT_TRUE(stranger.WaitForClose(seconds(3)));
  };

  ASSERT_NO_FATAL_FAILURE(expectClosedUnseen());
  EXPECT_EQ(ZorAnyToRead(handle), 0);
  EXPECT_TRUE(events.Events().empty());
  PeerConnection listed = ConnectToServer(port);
  ASSERT_TRUE(listed.IsOpen());
  EXPECT_EQ(WaitForConnected(), Connected("127.0.0.1", listed));
  ExpectServed(handle, listed, "first", "answer");
  ASSERT_NO_FATAL_FAILURE(expectClosedUnseen());
  ExpectServed(handle, listed, "still served", "answer");

  EXPECT_EQ(NumberItem(handle, ZOR_CONFIG_PEER_PORT), listed.LocalPort());
  EXPECT_EQ(events.Count(ZOR_EVENT_CONNECTED), 1u);
  EXPECT_EQ(events.Count(ZOR_EVENT_ERROR) + events.Count(ZOR_EVENT_DISCONNECTED), 0u);
  const ZorPortStatistics statistics = StatisticsOf(handle);
  EXPECT_EQ(statistics.rxBytes, 17u);
  EXPECT_EQ(statistics.connectErrors + statistics.rxErrors, 0u);
  ASSERT_EQ(ZorClosePort(handle), 0);
  const std::vector<std::string> lines = LogLines(log);
  const std::string port1 = "RxMonitorServer() - Port: " + std::to_string(handle + 1) + ", ";
  EXPECT_EQ(CountLinesContaining(lines, port1 + "Peer not allowed [127.0.0.2]"), 2u);
  EXPECT_EQ(CountLinesContaining(lines, port1 + "Connected"), 1u);
}

TEST_F(ServerPortTest, PeerCloseIsReportedAfterASecondOfSilenceThenNextPeerIsAccepted) {
  std::string log;
  const std::string config = LoggingConfig("server", &log);
  int32_t handle = -1;
  uint16_t port = 0;
  PeerConnection first;
  ASSERT_NO_FATAL_FAILURE(OpenServerWithPeer(config.c_str(), &handle, &port, &first));
  ASSERT_TRUE(first.SendAll("last words"));
  ASSERT_EQ(Text(ReadPortExactly(handle, 10, seconds(5))), "last words");
  first.Close();
  ASSERT_TRUE(
      events.WaitForCount(ZOR_EVENT_DISCONNECTED, ZOR_DISCONNECT_PEER_CLOSED, 1, seconds(5)));
  const std::vector<RecordedEvent> recorded = events.Events();
  ASSERT_EQ(recorded.size(), 3u);
  EXPECT_EQ(recorded[1].kind, ZOR_EVENT_RECEIVED);
  EXPECT_GE(recorded[2].when - recorded[1].when, milliseconds(1000));

  PeerConnection second = ConnectToServer(port);
  ASSERT_TRUE(second.IsOpen());
  EXPECT_EQ(WaitForConnected(2), Connected("127.0.0.1", second));
  EXPECT_THAT(events.Sequence(), ElementsAre("1", "3", "2/0", "1"));
  ExpectServed(handle, second, "next peer", "welcome");

  ASSERT_EQ(ZorClosePort(handle), 0);
  const std::vector<std::string> lines = LogLines(log);
  EXPECT_EQ(CountLinesContaining(lines, "Port: 1, Connected"), 2u);
  EXPECT_EQ(CountLinesContaining(lines, "Disconnected"), 0u);
  EXPECT_GE(
      CountLinesContaining(lines, "RxMonitorServer() - Port: 1, recv() successful. Packet size 0"),
      1u);
}

TEST_F(ServerPortTest, LookupHostNameNamesPeerAsTheHostsFileDoes) {
  const std::string name = HostsFileNameOf("127.0.0.1");
  ASSERT_FALSE(name.empty()) << "/etc/hosts names no 127.0.0.1";
  std::string log;
  const std::string config = LoggingConfig("server", &log, "Lookup Host Name=YES\n");
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenServerWithPeer(config.c_str(), &handle, nullptr, &peer));
  EXPECT_EQ(WaitForConnected(), Connected(name, peer));
  EXPECT_EQ(PeerName(handle), name);
  EXPECT_THAT(events.Sequence(), ElementsAre("1"));

  ASSERT_EQ(ZorClosePort(handle), 0);
  EXPECT_EQ(
      CountLinesContaining(
          LogLines(log), "RxMonitorServer() - Port: 1, gethostbyaddr() successful [" + name + "]"),
      1u);
}

TEST_F(ServerPortTest, FailedLookupRaisesErrorAndNamesPeerUnknown) {
  const int32_t lookUp = 1;
  ZorChangeDefault(ZOR_DEFAULT_LOOKUP_HOST, &lookUp, sizeof(lookUp));
  platform::faults::Inject(platform::faults::Operation::kHostByAddress, {.error = 11004});
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenServerWithPeer(nullptr, &handle, nullptr, &peer));

  EXPECT_EQ(WaitForConnected(), Connected("Unknown", peer));
  EXPECT_THAT(events.Sequence(), ElementsAre("5/4", "1"));
  const std::vector<LastErrorView> notes = failures.Notes();
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].location, 2004);
  EXPECT_EQ(notes[0].code, 11004);
  EXPECT_EQ(notes[0].text, SocketErrorText(11004));
  EXPECT_EQ(PeerName(handle), "Unknown");
  const ZorPortStatistics statistics = StatisticsOf(handle);
  EXPECT_EQ(statistics.rxErrors + statistics.connectErrors, 0u);
  ExpectServed(handle, peer, "served all the same", "yes");
}

// A would-block result before any failure: its two numbers beside the
// empty text of no failure, and no longer "Successful".
TEST_F(ServerPortTest, WouldBlockBeforeAnyFailureLeavesTheTextEmpty) {
  ResetLastErrorForTesting();  // as a process that has just loaded the library
  const LastErrorView fresh = LastErrorNow();
  EXPECT_EQ(fresh.code, 0);
  EXPECT_EQ(fresh.location, 0);
  EXPECT_EQ(fresh.text, "Successful");
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenServerWithPeer(nullptr, &handle, nullptr, &peer));
  ASSERT_TRUE(WaitUntil([] { return LastErrorNow().location == 2010; }, seconds(5)));
  const LastErrorView record = LastErrorNow();
  EXPECT_EQ(record.code, 10035);
  EXPECT_EQ(record.text, "");
}

TEST_F(ServerPortTest, SilentPeerMeetsAWouldBlockReceiveOnceASecondWithoutEvents) {
  ZorClosePort(32);  // a text for the record that the would-block results must leave alone
  const LastErrorView before = LastErrorNow();
  ASSERT_EQ(before.text, "Invalid port handle specified");
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenServerWithPeer(nullptr, &handle, nullptr, &peer));
  const auto connectedAt = events.Events().front().when;

  const auto forcedReceive = [] { return LastErrorNow().location == 2010; };
  ASSERT_TRUE(WaitUntil(forcedReceive, seconds(5)));
  const auto firstForced = std::chrono::steady_clock::now();
  EXPECT_GE(firstForced - connectedAt, milliseconds(1000));
  const LastErrorView record = LastErrorNow();
  EXPECT_EQ(record.code, 10035);
  EXPECT_EQ(record.text, before.text);

  ZorClosePort(32);
  ASSERT_TRUE(WaitUntil(forcedReceive, seconds(5)));
  // Each forced receive starts a new second of silence (the bound allows
  // for this thread noticing the first one late).
  EXPECT_GE(std::chrono::steady_clock::now() - firstForced, milliseconds(500));

  EXPECT_THAT(events.Sequence(), ElementsAre("1"));
  EXPECT_EQ(StatisticsOf(handle).rxErrors, 0u);
  ExpectServed(handle, peer, "finally", "heard you");
}

TEST_F(ServerPortTest, CloseWhilePeerIsServedReportsFailuresThenMonitorEndAndClosesPeer) {
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenServerWithPeer(nullptr, &handle, nullptr, &peer));
  ExpectServed(handle, peer, "ping", "pong");
  ASSERT_TRUE(events.WaitForCount(ZOR_EVENT_TRANSMITTED, -1, 1, seconds(5)));
  events.Clear();

  ASSERT_EQ(ZorClosePort(handle), 0);
  EXPECT_TRUE(peer.WaitForClose(seconds(3)));
  std::vector<std::string> sequence = events.Sequence();
  // The sockets close before the monitor is told to stop, so it may meet
  // them closed first: the listening socket's poll, then the connection's.
  const std::vector<int32_t> locations = failures.Locations();
  EXPECT_THAT(locations, ::testing::AnyOf(IsEmpty(), ElementsAre(2002), ElementsAre(2008),
                                          ElementsAre(2002, 2008)));
  std::vector<std::string> expected(locations.size(), "5/4");
  expected.push_back("2/2");
  EXPECT_THAT(sequence, ElementsAreArray(expected));
}

TEST_F(ServerPortTest, ListenFailureLeavesPortOpenWithoutListener) {
  platform::faults::Inject(platform::faults::Operation::kListen, {.error = 10055});
  events.Register();
  uint16_t port = 0;
  const int32_t handle = OpenServer("127.0.0.1", nullptr, &port);
  ASSERT_GE(handle, 0);
  ASSERT_TRUE(WaitUntil(
      [&] { return PortTable()[static_cast<size_t>(handle)].rxMonitor.running.load() == 0; },
      seconds(5)));

  EXPECT_THAT(events.Sequence(), ElementsAre("5/4"));
  const std::vector<LastErrorView> notes = failures.Notes();
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].location, 2001);
  EXPECT_EQ(notes[0].code, 10055);
  EXPECT_EQ(notes[0].text, SocketErrorText(10055));
  EXPECT_FALSE(ConnectLoopback(port, milliseconds(500)).IsOpen());
  int32_t signal = -1;
  EXPECT_EQ(ZorGetSignal(handle, 1, &signal), 0);  // the port is still open
  EXPECT_EQ(ZorClosePort(handle), 0);
  EXPECT_THAT(events.Sequence(), ElementsAre("5/4"));
}

TEST_F(ServerPortTest, BytesQueuedWithoutPeerAreDroppedChunkByChunk) {
  events.Register();
  uint16_t port = 0;
  const int32_t handle = OpenServer("127.0.0.1", nullptr, &port);
  ASSERT_GE(handle, 0);
  PortControlBlock& block = PortTable()[static_cast<size_t>(handle)];
  ASSERT_TRUE(WaitUntil([&] { return block.txMonitor.suspended.load() == 1; }, seconds(5)));

  // 6000 bytes are one chunk of 4096 and one of 1904.
  const std::vector<uint8_t> stale = RandomBytes(6000, 3);
  ASSERT_EQ(ZorWritePort(handle, stale.data(), static_cast<int32_t>(stale.size())), 0);
  ASSERT_TRUE(WaitUntil([&] { return StatisticsOf(handle).txErrors == 2; }, seconds(5)));
  ASSERT_TRUE(events.WaitForCount(ZOR_EVENT_ERROR, ZOR_ERROR_RECORDED, 2, seconds(5)));
  EXPECT_THAT(events.Sequence(), ElementsAre("5/3", "5/4", "5/3", "5/4"));
  ASSERT_TRUE(failures.WaitForNotes(2));
  EXPECT_THAT(failures.Locations(), ElementsAre(1101, 1101));
  const LastErrorView record = LastErrorNow();
  EXPECT_EQ(record.text, SocketErrorText(static_cast<uint32_t>(record.code)));
  EXPECT_EQ(StatisticsOf(handle).txBytes, 0u);

  PeerConnection peer = ConnectToServer(port);
  ASSERT_TRUE(peer.IsOpen());
  WaitForConnected();
  ASSERT_EQ(ZorWritePort(handle, "fresh", 5), 0);
  EXPECT_EQ(Text(peer.ReceiveExactly(5, seconds(5))), "fresh");
  EXPECT_THAT(peer.ReceiveSome(4096, milliseconds(100)), IsEmpty());
  EXPECT_EQ(StatisticsOf(handle).txErrors, 2u);
}

}  // namespace
}  // namespace zortcp::testing
