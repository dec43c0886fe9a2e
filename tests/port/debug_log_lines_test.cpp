// SPDX-License-Identifier: MIT
// The debug log of a client port at levels 1 to 4: which lines and dumps
// the data calls and the monitors write, with the handle in the exported
// calls' lines and handle + 1 in the monitors' lines.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "core/control_block.h"
#include "diagnostics/error_texts.h"
#include "platform/fault_injection.h"
#include "support/client_port.h"
#include "support/nonregular_files.h"
#include "support/temp_directory.h"

namespace zortcp::testing {
namespace {

struct LogLines {
  std::vector<std::string> messages;  // time-stamped lines, without the stamp
  std::vector<std::string> all;
  std::vector<std::string> unstamped;  // log lines (not dump rows) without a stamp

  bool Has(const std::string& message) const {
    return std::find(messages.begin(), messages.end(), message) != messages.end();
  }
  size_t CountContaining(const std::string& part) const {
    return static_cast<size_t>(std::count_if(all.begin(), all.end(), [&](const std::string& line) {
      return line.find(part) != std::string::npos;
    }));
  }
};

// "[day/month/year hour:minute:second.milliseconds] ", digits where the
// pattern has 0.
const std::string kStampPattern = "[00/00/0000 00:00:00.000] ";

bool HasTimeStamp(const std::string& line) {
  const std::string& pattern = kStampPattern;
  if (line.size() < pattern.size()) return false;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const bool digit = line[i] >= '0' && line[i] <= '9';
    if (pattern[i] == '0' ? !digit : line[i] != pattern[i]) return false;
  }
  return true;
}

LogLines ReadLog(const std::string& path) {
  LogLines lines;
  std::istringstream in(ReadLogFile(path));
  for (std::string line; std::getline(in, line);) {
    lines.all.push_back(line);
    if (HasTimeStamp(line)) {
      lines.messages.push_back(line.substr(kStampPattern.size()));
    } else if (line.find("() - ") != std::string::npos) {
      lines.unstamped.push_back(line);
    }
  }
  return lines;
}

class DebugLogTest : public ClientPortTest, public ::testing::WithParamInterface<int> {};

TEST_P(DebugLogTest, WritesTheLinesOfItsLevel) {
  const int level = GetParam();
  TempDirectory directory;
  const std::string log = directory.File("port.log");
  const std::string config = directory.File("port.cfg");
  WriteFile(config, "Service Name=" + listener.PortText() + "\nDebug Level=" +
                        std::to_string(level) + "\nDebug Output File=" + log + "\n");

  // The log opens as the open ends, after the monitors have started: a
  // first attempt that would block puts the connection after that.
  platform::faults::Inject(platform::faults::Operation::kConnect, {.error = 10035});
  events.Register();
  int32_t handle = -1;
  ASSERT_EQ(ZorOpenPort("localhost", 0, 0, config.c_str(), &handle), 0);
  ASSERT_EQ(handle, 0);
  PeerConnection peer = AcceptPeer();
  ASSERT_TRUE(WaitForEvent(ZOR_EVENT_CONNECTED));
  EXPECT_EQ(ZorWritePort(handle, "hello", 5), 0);
  EXPECT_EQ(peer.ReceiveExactly(5, kWait).size(), 5u);
  ASSERT_TRUE(WaitForEvent(ZOR_EVENT_TRANSMITTED));
  // The monitors log after raising their events; each is done once it waits again.
  ASSERT_TRUE(WaitUntil([] { return PortTable()[0].txMonitor.suspended.load() == 1; }, kWait));
  ASSERT_TRUE(peer.SendAll("abcdefg"));
  ASSERT_TRUE(WaitForEvent(ZOR_EVENT_RECEIVED));
  ASSERT_TRUE(WaitUntil(
      [&] { return ReadLog(log).Has("RxMonitorClient() - Port: 1, Rx Bytes Waiting: 0"); }, kWait));
  EXPECT_EQ(ZorAnyToRead(handle), 7);
  char buffer[16];
  int32_t count = 0;
  EXPECT_EQ(ZorReadPort(handle, buffer, sizeof(buffer), &count), 0);
  EXPECT_EQ(count, 7);
  uint8_t address[4];
  int32_t length = 0;
  EXPECT_EQ(ZorGetConfig(handle, ZOR_CONFIG_LOCAL_ADDRESS, address, &length), 0);
  // With a log, a failed address query also leaves its number in the record.
  EXPECT_EQ(ZorClosePort(-1), -1);
  platform::faults::Inject(platform::faults::Operation::kLocalAddress, {.error = 10050});
  EXPECT_EQ(ZorGetConfig(handle, ZOR_CONFIG_LOCAL_ADDRESS, address, &length), 0);
  EXPECT_EQ(length, 0);
  const LastErrorView error = LastErrorNow();
  EXPECT_EQ(error.code, 10050);
  EXPECT_EQ(error.location, 201);
  EXPECT_EQ(ZorWritePort(handle, "", 0), 0);
  EXPECT_EQ(ZorClosePort(handle), 0);

  const LogLines lines = ReadLog(log);
  for (const char* message : {
           "ZorWritePort() - Port: 0, Packet Size: 5",
           "RxMonitorClient() - Port: 1, connect() successful",
           "TxMonitor() - Port: 1, Packet successfully transmitted. 5 Bytes",
           "RxMonitorClient() - Port: 1, Rx Bytes Waiting: 7",
           "RxMonitorClient() - Port: 1, recv() successful. Packet size: 7",
           "RxMonitorClient() - Port: 1, Passed packet to event handler",
           "ZorGetConfig() - Get Local IP Address",
           "ZorGetConfig() - Returning (4) [127.0.0.1]",
           "ZorGetConfig() - getsockname() failed. 10050",
           "ZorGetConfig() - Returning (0) [0.0.0.0]",
           "ZorWritePort() - Port: 0, Packet Size: 0",
       }) {
    EXPECT_TRUE(lines.Has(message)) << message;
  }
  EXPECT_TRUE(lines.Has("ZorGetConfig() - [" + SocketErrorText(10050) + "]"));
  EXPECT_EQ(lines.Has("ZorAnyToRead() - Port: 0, Returning: 7"), level >= 2);
  EXPECT_EQ(lines.Has("ZorReadPort() - Port: 0, Packet Size: 7"), level >= 2);
  // Monitors dump the data on the wire from level 3, the data calls the
  // host's data at level 4.
  const size_t dumps = level >= 4 ? 2 : level >= 3 ? 1 : 0;
  EXPECT_EQ(lines.CountContaining("Raw Data Dump - 5 Bytes"), dumps);
  EXPECT_EQ(lines.CountContaining("Raw Data Dump - 7 Bytes"), dumps);
  EXPECT_EQ(lines.CountContaining("68 65 6c 6c 6f"), dumps);
  // The log is closed before the monitors are stopped.
  EXPECT_EQ(lines.CountContaining("Thread termina"), 0u);
  EXPECT_TRUE(lines.unstamped.empty()) << lines.unstamped.front();
}

INSTANTIATE_TEST_SUITE_P(Levels, DebugLogTest, ::testing::Values(1, 2, 3, 4));

// The receive monitor's lines, unstamped, from its first received chunk to
// the first "Rx Bytes Waiting: 0" after it, with its dumps (the only ones at
// level 3 while the host does not write) but not the other threads' lines.
std::vector<std::string> ReceiveSection(const LogLines& lines) {
  std::vector<std::string> section;
  for (const std::string& line : lines.all) {
    const bool stamped = HasTimeStamp(line);
    const std::string text = stamped ? line.substr(kStampPattern.size()) : line;
    if (stamped && !text.starts_with("RxMonitorClient()")) continue;
    if (section.empty() && text.find("recv() successful") == std::string::npos) continue;
    section.push_back(text);
    if (text == "RxMonitorClient() - Port: 1, Rx Bytes Waiting: 0") break;
  }
  return section;
}

// 6000 bytes sent at once, received at level 3 in one mode ("Fast
// Transfer=yes" or not): the receive section of the port's log.
std::vector<std::string> LogOfOneLargeSend(LoopbackListener& listener, EventRecorder& events,
                                           bool fast) {
  TempDirectory directory;
  const std::string log = directory.File("port.log");
  const std::string config = directory.File("port.cfg");
  WriteFile(config, "Service Name=" + listener.PortText() + "\nDebug Level=3\nDebug Output File=" +
                        log + (fast ? "\nFast Transfer=yes\n" : "\n"));
  const size_t connected = events.Count(ZOR_EVENT_CONNECTED);
  events.Register();
  int32_t handle = -1;
  EXPECT_EQ(ZorOpenPort("localhost", 0, 0, config.c_str(), &handle), 0);
  auto peer = listener.Accept(kWait);
  EXPECT_TRUE(peer.has_value());
  if (!peer) return {};
  EXPECT_TRUE(events.WaitForCount(ZOR_EVENT_CONNECTED, -1, connected + 1, kWait));
  const std::vector<uint8_t> sent = RandomBytes(6000, 41);
  EXPECT_TRUE(peer->SendAll(sent.data(), sent.size()));
  // The host reads only once the monitor is done, so that no line of its
  // calls comes between the monitor's.
  std::vector<std::string> section;
  EXPECT_TRUE(WaitUntil(
      [&] {
        section = ReceiveSection(ReadLog(log));
        return !section.empty() && section.back().ends_with("Rx Bytes Waiting: 0");
      },
      kWait));
  EXPECT_EQ(ReadPortExactly(handle, sent.size(), kWait), sent);
  EXPECT_EQ(ZorClosePort(handle), 0);
  return section;
}

using ReceiveLogTest = ClientPortTest;

// The fast mode takes more than a chunk from its socket at once: it still
// logs and dumps each chunk as the default mode does, in the same order.
TEST_F(ReceiveLogTest, LargeSendLogsTheSameChunksInBothModes) {
  const std::vector<std::string> standard = LogOfOneLargeSend(listener, events, false);
  const std::vector<std::string> fast = LogOfOneLargeSend(listener, events, true);
  std::vector<std::string> messages;
  std::copy_if(
      standard.begin(), standard.end(), std::back_inserter(messages),
      [](const std::string& line) { return line.find("() - Port: 1, ") != std::string::npos; });
  EXPECT_THAT(messages, ::testing::ElementsAre(
                            "RxMonitorClient() - Port: 1, recv() successful. Packet size: 4096",
                            "RxMonitorClient() - Port: 1, Passed packet to event handler",
                            "RxMonitorClient() - Port: 1, Rx Bytes Waiting: 1904",
                            "RxMonitorClient() - Port: 1, recv() successful. Packet size: 1904",
                            "RxMonitorClient() - Port: 1, Passed packet to event handler",
                            "RxMonitorClient() - Port: 1, Rx Bytes Waiting: 0"));
  // The first line in which they differ, rather than two dumps of 6000 bytes.
  EXPECT_EQ(fast.size(), standard.size());
  const auto [inFast, inStandard] =
      std::mismatch(fast.begin(), fast.end(), standard.begin(), standard.end());
  if (inFast != fast.end() && inStandard != standard.end()) {
    EXPECT_EQ(*inFast, *inStandard) << "line " << inFast - fast.begin();
  }
}

using DebugLogFileTest = ClientPortTest;

// A log that cannot be opened at once, in a directory that does not exist or
// a FIFO that nobody reads, leaves the port without one, and the open does
// not wait for it.
class UnopenableLogTest : public ClientPortTest,
                          public ::testing::WithParamInterface<const char*> {};

TEST_P(UnopenableLogTest, LeavesThePortWithoutALog) {
  TempDirectory directory;
  std::string log = directory.File(GetParam());
  if (std::string(GetParam()) == "fifo.log") {
    log = MakeLonelyPipe(log);
    ASSERT_FALSE(log.empty());
  }
  const std::string config = directory.File("port.cfg");
  WriteFile(config, "Debug Level=2\nDebug Output File=" + log + "\n");
  int32_t handle = -1;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(ZorOpenPort("localhost", 0, 0, config.c_str(), &handle), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, kWait);
  EXPECT_EQ(PortTable()[0].log.level.load(), 0);
  EXPECT_EQ(PortTable()[0].log.file.load(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Paths, UnopenableLogTest,
                         ::testing::Values("missing/port.log", "fifo.log"),
                         [](const ::testing::TestParamInfo<const char*>& instance) {
                           return std::string(instance.index == 0 ? "MissingDirectory"
                                                                  : "FifoWithoutReader");
                         });

// The log file's name stays with the block: a later port that sets only a
// level writes to the file its predecessor named, emptied first.
TEST_F(DebugLogFileTest, LaterPortOnTheBlockKeepsTheLogFileName) {
  TempDirectory directory;
  const std::string log = directory.File("port.log");
  const std::string first = directory.File("first.cfg");
  const std::string second = directory.File("second.cfg");
  WriteFile(first, "Debug Level=1\nDebug Output File=" + log + "\n");
  WriteFile(second, "Debug Level=1\n");
  int32_t handle = -1;
  ASSERT_EQ(ZorOpenPort("localhost", 0, 0, first.c_str(), &handle), 0);
  EXPECT_EQ(ZorWritePort(handle, "one", 3), 0);
  ASSERT_EQ(ZorClosePort(handle), 0);
  ASSERT_EQ(ZorOpenPort("localhost", 0, 0, second.c_str(), &handle), 0);
  EXPECT_EQ(ZorWritePort(handle, "four", 4), 0);
  ASSERT_EQ(ZorClosePort(handle), 0);
  const LogLines lines = ReadLog(log);
  EXPECT_FALSE(lines.Has("ZorWritePort() - Port: 0, Packet Size: 3"));
  EXPECT_TRUE(lines.Has("ZorWritePort() - Port: 0, Packet Size: 4"));
}

}  // namespace
}  // namespace zortcp::testing
