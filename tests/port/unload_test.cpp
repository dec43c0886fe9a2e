// Unloading the library with ports still open: every open port is closed
// in index order and its block stays claimed; its log takes the monitors'
// last lines and is closed after them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "port/control_block.h"
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
    EXPECT_TRUE(isExit(*line) || line->starts_with("RxMonitorServer() - " + prefix + "select() failed."))
        << *line;
  }
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(isExit(lines.back())) << lines.back();
}

TEST_F(UnloadTest, UnloadClosesOpenPortsInIndexOrderAndTheirLogsLast) {
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
    EXPECT_EQ(block.logFile.load(), nullptr) << index;
    EXPECT_EQ(block.rxRunning.load() + block.txRunning.load(), 0) << index;
    EXPECT_EQ(block.rxSize.load() + block.txSize.load(), 0) << index;
  }
  EXPECT_TRUE(peer3.WaitForClose(seconds(3)));
  EXPECT_TRUE(peer7.WaitForClose(seconds(3)));
  ExpectEndsWithExitLines(LogLines(log3), 4);
  ExpectEndsWithExitLines(LogLines(log7), 8);

  // Port 3's monitor had ended (its last event, 2/2) before port 7's close
  // began: port 7 raised nothing before that.
  const std::vector<RecordedEvent> of3 = events.Events();
  const std::vector<RecordedEvent> of7 = eventsOf7.Events();
  ASSERT_FALSE(of3.empty());
  ASSERT_GE(of7.size(), 2u);
  EXPECT_EQ(of3.back().ToString(), "2/2");
  EXPECT_EQ(of7.back().ToString(), "2/2");
  EXPECT_LE(of3.back().when, of7[1].when);
}

}  // namespace
}  // namespace zortcp::testing
