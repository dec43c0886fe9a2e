// SPDX-License-Identifier: MIT
// Events of a client port are raised on the monitors' threads, with no lock
// held, after the state they report has changed: a handler can look at that
// state through the exported calls.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/client_port.h"

namespace zortcp::testing {
namespace {

using ::testing::ElementsAre;

using ClientEventsTest = ClientPortTest;

TEST_F(ClientEventsTest, HandlerSeesTheStateThatEachEventReports) {
  if (RunningUnderWine()) GTEST_SKIP() << kWineReadsResetAsEnd;
  // What the handler found, event by event; shared with the handler, which
  // may outlive this body if an assertion ends it early.
  struct Seen {
    std::mutex mutex;
    std::vector<std::string> found;
  };
  const auto seen = std::make_shared<Seen>();
  const std::thread::id host = std::this_thread::get_id();
  events.SetCallback([seen, host](const RecordedEvent& event) {
    std::string found = event.ToString() + (std::this_thread::get_id() == host ? " on host" : "");
    uint8_t address[4] = {};
    int32_t length = -1;
    int32_t count = 0;
    char bytes[4096];
    ZorPortStatistics statistics{};
    switch (event.kind) {
      case ZOR_EVENT_CONNECTED:
      case ZOR_EVENT_DISCONNECTED:
        ZorGetConfig(0, ZOR_CONFIG_LOCAL_ADDRESS, address, &length);
        found += " address length " + std::to_string(length);
        break;
      case ZOR_EVENT_RECEIVED:
        ZorReadPort(0, bytes, sizeof(bytes), &count);
        found += " read " + std::to_string(count);
        break;
      case ZOR_EVENT_TRANSMITTED:
        ZorGetStatistics(0, &statistics);
        found += " txBytes " + std::to_string(statistics.txBytes);
        break;
      default:
        if (event.value == ZOR_ERROR_RECORDED)
          found += " at " + std::to_string(LastErrorNow().location);
        break;
    }
    std::lock_guard lock(seen->mutex);
    seen->found.push_back(found);
  });

  // Each step waits for the handler to finish with the previous event.
  auto handled = [&](size_t count) {
    return WaitUntil(
        [&] {
          std::lock_guard lock(seen->mutex);
          return seen->found.size() >= count;
        },
        kWait);
  };
  int32_t handle = -1;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenConnected(handle, peer));
  ASSERT_EQ(handle, 0);
  ASSERT_TRUE(handled(1));
  EXPECT_EQ(ZorWritePort(handle, "0123456789", 10), 0);
  ASSERT_TRUE(handled(2));
  ASSERT_TRUE(peer.SendAll("abcdefg"));
  ASSERT_TRUE(handled(3));
  peer.Reset();
  ASSERT_TRUE(handled(6));
  // Closed here, while what the handler uses still exists.
  EXPECT_EQ(ZorClosePort(handle), 0);

  std::lock_guard lock(seen->mutex);
  seen->found.resize(6);
  EXPECT_THAT(
      seen->found,
      ElementsAre("1:localhost, Port: " + listener.PortText() + " address length 4",
                  "4(10) txBytes 10", "3(7) read 7", "5/2", "5/4 at 1008", "2/1 address length 0"));
  for (const auto& event : events.Events()) EXPECT_EQ(event.source, 2);
}

}  // namespace
}  // namespace zortcp::testing
