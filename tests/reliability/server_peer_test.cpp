// SPDX-License-Identifier: MIT
// A server port against peers that reset or half-close, and opened with a
// host text far beyond its field.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "core/control_block.h"
#include "diagnostics/error_texts.h"
#include "support/server_port.h"

namespace zortcp::testing {
namespace {

using std::chrono::seconds;
using ::testing::ElementsAre;

// The port serves one more peer after whatever the last one did.
void ExpectNextPeerServed(int32_t handle, uint16_t port, EventRecorder& events,
                          size_t connections) {
  PeerConnection next = ConnectToServer(port);
  ASSERT_TRUE(next.IsOpen());
  ASSERT_TRUE(events.WaitForCount(ZOR_EVENT_CONNECTED, -1, connections, seconds(5)));
  ExpectServed(handle, next, "next", "served");
}

using ServerPeerTest = ServerPortTest;

TEST_F(ServerPeerTest, ResetByPeerIsAFailedReceiveAndTheNextPeerIsServed) {
  if (RunningUnderWine()) GTEST_SKIP() << kWineReadsResetAsEnd;
  int32_t handle = -1;
  uint16_t port = 0;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenServerWithPeer(nullptr, &handle, &port, &peer));
  peer.Reset();

  ASSERT_TRUE(events.WaitForCount(ZOR_EVENT_DISCONNECTED, -1, 1, seconds(5)));
  EXPECT_THAT(events.Sequence(), ElementsAre("1", "5/2", "5/4", "2/1"));
  EXPECT_THAT(failures.Locations(), ElementsAre(2010));
  EXPECT_EQ(failures.Notes().front().code, 10054);
  EXPECT_EQ(failures.Notes().front().text, SocketErrorText(10054));
  EXPECT_EQ(StatisticsOf(handle).rxErrors, 1u);
  ExpectNextPeerServed(handle, port, events, 2);
}

// A peer that shuts down only its sending side: its bytes are delivered,
// the port counts the connection as closed by the peer, closes it (the
// peer reads its end) and listens for the next.
TEST_F(ServerPeerTest, HalfClosedPeerHasItsBytesDeliveredThenTheNextIsServed) {
  int32_t handle = -1;
  uint16_t port = 0;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenServerWithPeer(nullptr, &handle, &port, &peer));
  ASSERT_TRUE(peer.SendAll("goodbye"));
  ASSERT_TRUE(peer.ShutdownSend());

  ASSERT_TRUE(events.WaitForCount(ZOR_EVENT_DISCONNECTED, -1, 1, seconds(5)));
  EXPECT_THAT(events.Sequence(), ElementsAre("1", "3", "2/0"));
  EXPECT_EQ(Text(ReadPortExactly(handle, 7, seconds(5))), "goodbye");
  EXPECT_TRUE(peer.WaitForClose(seconds(5)));
  EXPECT_EQ(StatisticsOf(handle).rxErrors, 0u);
  ExpectNextPeerServed(handle, port, events, 2);
}

// Peers that drop their link and make it again at once, as equipment does
// when it reboots: each is served, paced or fast, though the port has not
// yet noticed the previous peer's close when the next one connects.
class ReconnectingPeerTest : public ServerPortTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ReconnectingPeerTest, APeerThatConnectsAgainAtOnceIsServed) {
  const std::string config = ConfigFile("mode.cfg", GetParam() ? "Fast Transfer=YES\n" : "");
  events.Register();
  uint16_t port = 0;
  const int32_t handle = OpenServer("127.0.0.1", config.c_str(), &port);
  ASSERT_GE(handle, 0);
  constexpr int kPeers = 10;
  for (int i = 0; i < kPeers; ++i) {
    PeerConnection peer = ConnectToServer(port);
    ASSERT_TRUE(peer.IsOpen());
    ASSERT_NO_FATAL_FAILURE(ExpectServed(handle, peer, "line " + std::to_string(i), "echo"));
  }
  EXPECT_TRUE(events.WaitForCount(ZOR_EVENT_DISCONNECTED, -1, kPeers - 1, seconds(5)));
  for (const auto& event : events.Events()) {
    if (event.kind == ZOR_EVENT_DISCONNECTED) {
      EXPECT_EQ(event.value, ZOR_DISCONNECT_PEER_CLOSED);
    }
  }
  EXPECT_EQ(StatisticsOf(handle).rxErrors, 0u);
}

INSTANTIATE_TEST_SUITE_P(PacedOrFast, ReconnectingPeerTest, ::testing::Bool(),
                         [](const auto& instance) { return instance.param ? "Fast" : "Paced"; });

// A host text of 10000 characters that is not a dotted address: the port
// keeps 129 of them and listens on every local address.
TEST_F(ServerPeerTest, OverlongHostTextIsCutAndTheServerListensOnEveryAddress) {
  const std::string host(10000, 'h');
  events.Register();
  uint16_t port = 0;
  const int32_t handle = OpenServer(host.c_str(), nullptr, &port);
  ASSERT_GE(handle, 0);
  EXPECT_EQ(std::strlen(PortTable()[static_cast<size_t>(handle)].hostName), 129u);
  ExpectNextPeerServed(handle, port, events, 1);
}

}  // namespace
}  // namespace zortcp::testing
