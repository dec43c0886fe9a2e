// SPDX-License-Identifier: MIT
// Unloading the library with ports still open: every open port is asked to
// stop before any is waited for, its block stays claimed, and its log takes
// the monitors' last lines and is closed after them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "port/port_table.h"
#include "support/server_port.h"

namespace zortcp::testing {
namespace {

using std::chrono::seconds;

class UnloadTest : public ServerPortTest {
 protected:
  EventRecorder eventsOf7;
};

// The lines of a monitor's log from its first exit line on: only exit
// lines, and the receive monitor's failed polls of the sockets that the
// close has just closed.
void ExpectEndsWithExitLines(const std::vector<std::string>& lines, int32_t portNumber) {
  const std::string prefix = "Port: " + std::to_string(portNumber) + ", ";
  const std::string rxExit = "RxMonitorServer() - " + prefix + "Thread terminating";
  const std::string txExit = "TxMonitor() - " + prefix + "Thread terminated";
  EXPECT_EQ(CountLinesContaining(lines, rxExit), 1u);
  EXPECT_EQ(CountLinesContaining(lines, txExit), 1u);
  const auto isExit = [&](const std::string& line) { return line == rxExit || line == txExit; };
  const auto firstExit = std::find_if(lines.begin(), lines.end(), isExit);
  for (auto line = firstExit; line != lines.end(); ++line) {
    EXPECT_TRUE(isExit(*line) ||
                line->starts_with("RxMonitorServer() - " + prefix + "select() failed."))
        << *line;
  }
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(isExit(lines.back())) << lines.back();
}

TEST_F(UnloadTest, UnloadClosesEveryOpenPortAndTheirLogsLast) {
  std::string log3;
  std::string log7;
  const std::string config3 = LoggingConfig("port3", &log3);
  const std::string config7 = LoggingConfig("port7", &log7);
  std::vector<uint16_t> ports(8);
  for (int32_t index = 0; index < 8; ++index) {
    const char* config = index == 3 ? config3.c_str() : index == 7 ? config7.c_str() : nullptr;
    if (index == 3) events.Register();
    if (index == 7) eventsOf7.Register();
    ASSERT_EQ(OpenServer("127.0.0.1", config, &ports[static_cast<size_t>(index)]), index);
  }
  for (int32_t index : {0, 1, 2, 4, 5, 6}) ASSERT_EQ(ZorClosePort(index), 0);
  PeerConnection peer3 = ConnectToServer(ports[3]);
  PeerConnection peer7 = ConnectToServer(ports[7]);
  ASSERT_TRUE(peer3.IsOpen() && peer7.IsOpen());
  ASSERT_TRUE(events.WaitForCount(ZOR_EVENT_CONNECTED, -1, 1, seconds(5)));
  ASSERT_TRUE(eventsOf7.WaitForCount(ZOR_EVENT_CONNECTED, -1, 1, seconds(5)));

  EXPECT_EQ(LibraryUnload(), 1);

  EXPECT_EQ(Library().libraryInitialised.load(), 0);
  for (size_t index : {3u, 7u}) {
    const PortControlBlock& block = PortTable()[index];
    EXPECT_EQ(block.inUse.load(), 1) << index;
    EXPECT_EQ(block.log.file.load(), nullptr) << index;
    EXPECT_EQ(block.rxMonitor.running.load() + block.txMonitor.running.load(), 0) << index;
    EXPECT_EQ(block.rx.size.load() + block.tx.size.load(), 0) << index;
  }
  EXPECT_TRUE(peer3.WaitForClose(seconds(3)));
  EXPECT_TRUE(peer7.WaitForClose(seconds(3)));
  ExpectEndsWithExitLines(LogLines(log3), 4);
  ExpectEndsWithExitLines(LogLines(log7), 8);

  // Each port's monitor ended while connected: its last event is 2/2.
  const std::vector<RecordedEvent> of3 = events.Events();
  const std::vector<RecordedEvent> of7 = eventsOf7.Events();
  ASSERT_FALSE(of3.empty());
  ASSERT_FALSE(of7.empty());
  EXPECT_EQ(of3.back().ToString(), "2/2");
  EXPECT_EQ(of7.back().ToString(), "2/2");
}

}  // namespace
}  // namespace zortcp::testing
