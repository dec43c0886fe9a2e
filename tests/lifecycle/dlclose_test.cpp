// SPDX-License-Identifier: MIT
// dlclose with ports open: the unload closes everything the library opened,
// and the code stays mapped while a thread of the library may still run.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "lifecycle/host_process.h"
#include "support/temp_directory.h"

namespace zortcp::testing {
namespace {

using std::chrono::seconds;

constexpr int kCycles = 30;

TEST(DlcloseTest, LoadUnloadCyclesWithLoggingPortsKeepDescriptorsFlat) {
  TempDirectory directory;
  const std::string config = directory.File("logging.cfg");
  WriteFile(config, "Debug Level=3\nDebug Output File=" + directory.File("port.log") + "\n");
  TrafficPeers peers(false);  // a full RxRing would only slow the closes
  HostProcess host("cycles", {peers.PortText(), std::to_string(kCycles), config});
  const auto baseline = host.WaitForLine("fds ", seconds(10));
  ASSERT_TRUE(baseline) << host.output();
  for (int cycle = 1; cycle <= kCycles; ++cycle) {
    const auto count = host.WaitForLine("fds ", seconds(30));
    ASSERT_TRUE(count) << host.output();
    EXPECT_EQ(*count, *baseline) << "after cycle " << cycle;
  }
  const HostEnd end = host.Wait(seconds(30));
  EXPECT_TRUE(end.exited && end.status == 0) << end.status << "\n" << host.output();
}

// The handler sleeps for less than the close waits for a monitor, and for
// longer, so that the unload has to leave the monitor in the handler.
class DlcloseDuringHandlerTest : public ::testing::TestWithParam<int> {};

TEST_P(DlcloseDuringHandlerTest, NeitherCrashesNorKeepsTheProcessFromExiting) {
  TrafficPeers peers;
  HostProcess host("handler", {peers.PortText(), std::to_string(GetParam())});
  ASSERT_TRUE(host.WaitForLine("dlclose ", seconds(30))) << host.output();
  const HostEnd end = host.Wait(seconds(30));
  EXPECT_TRUE(end.exited && end.status == 0) << end.status << "\n" << host.output();
}

INSTANTIATE_TEST_SUITE_P(HandlerSleeps, DlcloseDuringHandlerTest, ::testing::Values(2000, 6000));

}  // namespace
}  // namespace zortcp::testing
