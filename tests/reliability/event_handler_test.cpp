// SPDX-License-Identifier: MIT
// Event handlers that are slow, and handlers that call back into the
// library (as hosts are allowed to): nothing is lost, nothing deadlocks,
// and the close stays within its bound.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/client_port.h"
#include "support/temp_directory.h"

namespace zortcp::testing {
namespace {

using Clock = std::chrono::steady_clock;

constexpr milliseconds kCloseBound{12000};
constexpr milliseconds kSlowHandler{20};

using EventHandlerTest = ClientPortTest;

// 20 ms in the handler for every received and every sent chunk slows both
// monitors to a crawl, but every byte still goes through in order.
TEST_F(EventHandlerTest, SlowHandlerDelaysButLosesNothing) {
  events.SetCallback([](const RecordedEvent& event) {
    if (event.kind == ZOR_EVENT_RECEIVED || event.kind == ZOR_EVENT_TRANSMITTED) {
      std::this_thread::sleep_for(kSlowHandler);
    }
  });
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenConnected(handle, peer));
  const std::vector<uint8_t> outbound = RandomBytes(200 * 1024, 1);
  const std::vector<uint8_t> inbound = RandomBytes(200 * 1024, 2);

  // The peer sends and receives on threads of its own, the host writes on
  // one and reads on this one: neither side waits for the other.
  std::thread sender([&] { EXPECT_TRUE(peer.SendAll(inbound.data(), inbound.size())); });
  std::vector<uint8_t> arrived;
  std::thread receiver(
      [&] { arrived = peer.ReceiveExactly(outbound.size(), std::chrono::seconds(30)); });
  std::thread writer([&] {
    EXPECT_EQ(ZorWritePort(handle, outbound.data(), static_cast<int32_t>(outbound.size())), 0);
  });
  EXPECT_TRUE(ReadPortExactly(handle, inbound.size(), std::chrono::seconds(30)) == inbound);
  writer.join();
  receiver.join();
  sender.join();
  EXPECT_TRUE(arrived == outbound) << arrived.size() << " of " << outbound.size() << " bytes";

  ASSERT_TRUE(peer.SendAll("one more"));  // a handler call under way as the close starts
  const auto start = Clock::now();
  EXPECT_EQ(ZorClosePort(handle), 0);
  EXPECT_LT(Clock::now() - start, kCloseBound);
}

// What a host may call from its handler: the data calls for its port and
// the queries. This host echoes every received chunk from within its kind 3
// event, and asks after the port on the way. It outlives the port: the
// unload at the end of the test may still raise events.
struct EchoingHost {
  std::atomic<int32_t> handle{-1};
  std::atomic<int> failedCalls{0};
} echoingHost;

bool QueriesSucceed(int32_t handle) {
  ZorPortStatistics statistics;
  char name[130];
  int32_t length = 0;
  int32_t signal = -1;
  char text[288];
  return ZorGetStatistics(handle, &statistics) == 0 &&
         ZorGetConfig(handle, ZOR_CONFIG_PEER_NAME, name, &length) == 0 &&
         ZorGetSignal(handle, 1, &signal) == 0 && signal == 0 &&
         ZorGetLastError(nullptr, nullptr, text) == text;
}

int32_t ZOR_CALL EchoingHandler(int32_t /*source*/, int32_t kind, void* /*data*/,
                                uint32_t /*userData*/) {
  const int32_t handle = echoingHost.handle.load();
  if (kind != ZOR_EVENT_RECEIVED || handle < 0) return 0;
  uint8_t buffer[8192];
  int32_t count = 0;
  const bool echoed = ZorAnyToRead(handle) >= 0 &&
                      ZorReadPort(handle, buffer, sizeof buffer, &count) == 0 &&
                      ZorWritePort(handle, buffer, count) == 0;
  if (!echoed || !QueriesSucceed(handle)) echoingHost.failedCalls.fetch_add(1);
  return 0;
}

TEST_F(EventHandlerTest, HandlerThatCallsBackIntoTheLibraryEchoesEveryByte) {
  ZorSetEventHandler(&EchoingHandler, 0);
  int32_t handle = -1;
  ASSERT_EQ(ZorOpenPort("localhost", 0, 0, nullptr, &handle), 0);
  echoingHost.handle.store(handle);
  PeerConnection peer = AcceptPeer();
  ASSERT_TRUE(peer.IsOpen());

  const std::vector<uint8_t> sent = RandomBytes(256 * 1024, 3);
  std::thread sender([&] {
    for (size_t at = 0; at < sent.size(); at += 1000) {
      EXPECT_TRUE(peer.SendAll(sent.data() + at, std::min<size_t>(1000, sent.size() - at)));
    }
  });
  const std::vector<uint8_t> echoed = peer.ReceiveExactly(sent.size(), std::chrono::seconds(30));
  sender.join();
  EXPECT_TRUE(echoed == sent) << echoed.size() << " of " << sent.size() << " bytes echoed";
  EXPECT_EQ(echoingHost.failedCalls.load(), 0);

  const auto start = Clock::now();
  EXPECT_EQ(ZorClosePort(handle), 0);
  EXPECT_LT(Clock::now() - start, kCloseBound);
}

// A C++ host whose handler throws, a standard exception or anything else:
// each throw is logged and the monitors go on as if the handler had
// returned, so later bytes and the disconnection still come, and the close
// stays prompt.
TEST_F(EventHandlerTest, ThrowingHandlerIsLoggedAndTheMonitorsGoOn) {
  TempDirectory directory;
  const std::string log = directory.File("port.log");
  const std::string config = directory.File("port.cfg");
  WriteFile(config, "Debug Level=1\nDebug Output File=" + log + "\n");
  events.SetCallback([](const RecordedEvent& event) {
    if (event.kind == ZOR_EVENT_CONNECTED) throw 1;
    throw std::runtime_error("host failure");
  });
  events.Register();
  int32_t handle = -1;
  ASSERT_EQ(ZorOpenPort("localhost", 0, 0, config.c_str(), &handle), 0);
  PeerConnection peer = AcceptPeer();
  ASSERT_TRUE(peer.IsOpen());
  for (const std::string text : {"first", "second"}) {
    ASSERT_TRUE(peer.SendAll(text));
    EXPECT_EQ(ReadPortExactly(handle, text.size(), kWait),
              std::vector<uint8_t>(text.begin(), text.end()));
  }
  EXPECT_EQ(ZorWritePort(handle, "out", 3), 0);
  EXPECT_EQ(peer.ReceiveExactly(3, kWait).size(), 3u);
  EXPECT_TRUE(WaitForEvent(ZOR_EVENT_TRANSMITTED));
  peer.Close();
  EXPECT_TRUE(WaitForEvent(ZOR_EVENT_DISCONNECTED, ZOR_DISCONNECT_PEER_CLOSED));

  // Each throw is logged once the handler has been left, after the event
  // was recorded.
  const auto logged = [&](const std::string& monitor, int kind) {
    const std::string line =
        monitor + "() - Port: 1, Event handler threw an exception. Event: " + std::to_string(kind) +
        "\n";
    return WaitUntil([&] { return ReadLogFile(log).find(line) != std::string::npos; }, kWait);
  };
  for (const int kind : {ZOR_EVENT_CONNECTED, ZOR_EVENT_RECEIVED, ZOR_EVENT_DISCONNECTED}) {
    EXPECT_TRUE(logged("RxMonitorClient", kind)) << kind;
  }
  EXPECT_TRUE(logged("TxMonitor", ZOR_EVENT_TRANSMITTED));
  const auto start = Clock::now();
  EXPECT_EQ(ZorClosePort(handle), 0);
  EXPECT_LT(Clock::now() - start, milliseconds(2000));
}

}  // namespace
}  // namespace zortcp::testing
