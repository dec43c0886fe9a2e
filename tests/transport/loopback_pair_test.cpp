// SPDX-License-Identifier: MIT
// A client port and a server port of the same library, connected to each
// other on 127.0.0.1, moving a mebibyte of random bytes each way at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "support/server_port.h"

namespace zortcp::testing {
namespace {

using std::chrono::seconds;

class LoopbackPairTest : public ServerPortTest {
 protected:
  EventRecorder clientEvents;
};

// Takes what has arrived on a port, up to the expected total.
void TakeArrived(int32_t handle, std::vector<uint8_t>& received, size_t total) {
  uint8_t buffer[16384];
  const auto room = static_cast<int32_t>(std::min(sizeof(buffer), total - received.size()));
  int32_t count = 0;
  ZorReadPort(handle, buffer, room, &count);
  received.insert(received.end(), buffer, buffer + count);
}

TEST_F(LoopbackPairTest, ClientAndServerPortsExchangeAMebibyteEachWayIntact) {
  constexpr size_t kSize = 1 << 20;
  events.Register();
  uint16_t port = 0;
  const int32_t server = OpenServer("127.0.0.1", nullptr, &port);
  ASSERT_GE(server, 0);
  const std::string service = std::to_string(port);
  ZorChangeDefault(ZOR_DEFAULT_SERVICE, service.c_str(), static_cast<uint32_t>(service.size() + 1));
  clientEvents.Register();
  int32_t client = -1;
  ASSERT_EQ(ZorOpenPort("127.0.0.1", 0, 0, nullptr, &client), 0);
  ASSERT_TRUE(events.WaitForCount(ZOR_EVENT_CONNECTED, -1, 1, seconds(5)));
  ASSERT_TRUE(clientEvents.WaitForCount(ZOR_EVENT_CONNECTED, -1, 1, seconds(5)));

  const std::vector<uint8_t> toServer = RandomBytes(kSize, 21);
  const std::vector<uint8_t> toClient = RandomBytes(kSize, 22);
  std::vector<uint8_t> atServer;
  std::vector<uint8_t> atClient;
  {
    // Each write returns once all of it is queued, which takes as long as
    // the sending does.
    std::jthread clientWriter([&] { ZorWritePort(client, toServer.data(), kSize); });
    std::jthread serverWriter([&] { ZorWritePort(server, toClient.data(), kSize); });
    // About 0.3 s each way at the default pacing; much slower under the
    // sanitizers.
    WaitUntil(
        [&] {
          TakeArrived(server, atServer, kSize);
          TakeArrived(client, atClient, kSize);
          return atServer.size() == kSize && atClient.size() == kSize;
        },
        seconds(60));
  }
  EXPECT_TRUE(atServer == toServer) << atServer.size() << " bytes arrived at the server";
  EXPECT_TRUE(atClient == toClient) << atClient.size() << " bytes arrived at the client";

  // The client may have been refused before the server's monitor listened;
  // nothing else may have failed.
  for (const int32_t handle : {server, client}) {
    const ZorPortStatistics statistics = StatisticsOf(handle);
    EXPECT_EQ(statistics.rxBytes, kSize);
    EXPECT_EQ(statistics.rxErrors + statistics.txErrors, 0u);
  }
  EXPECT_EQ(events.Count(ZOR_EVENT_ERROR), 0u);
  EXPECT_EQ(clientEvents.Count(ZOR_EVENT_ERROR, ZOR_ERROR_RECEIVE_FAILED) +
                clientEvents.Count(ZOR_EVENT_ERROR, ZOR_ERROR_SEND_FAILED),
            0u);
  EXPECT_EQ(events.Count(ZOR_EVENT_DISCONNECTED) + clientEvents.Count(ZOR_EVENT_DISCONNECTED), 0u);
  EXPECT_EQ(ZorClosePort(client), 0);
  EXPECT_EQ(ZorClosePort(server), 0);
}

}  // namespace
}  // namespace zortcp::testing
