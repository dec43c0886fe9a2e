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

// dlclose while a port's handler runs and does not return until the test
// lets it: the C host's handler waits for the end of its standard input,
// the script host's for the interpreter lock that the unloading thread
// holds. The port stays open with the library, which a second load finds.
class DlcloseDuringHandlerTest : public ::testing::TestWithParam<Host> {};

TEST_P(DlcloseDuringHandlerTest, ReturnsWithoutWaitingForTheHandler) {
  if (const char* reason = WhyHostCannotRun(GetParam())) GTEST_SKIP() << reason;
  TrafficPeers peers(false);
  HostProcess host(GetParam(), "handler", {peers.PortText()});
  ASSERT_TRUE(host.WaitForLine("dlclose", seconds(20))) << host.output();
  host.CloseInput();
  EXPECT_TRUE(host.WaitForLine("unloaded", seconds(30))) << host.output();
  const HostEnd end = host.Wait(seconds(30));
  EXPECT_TRUE(end.exited && end.status == 0) << end.status << "\n" << host.output();
}

INSTANTIATE_TEST_SUITE_P(Hosts, DlcloseDuringHandlerTest,
                         ::testing::Values(Host::kProgram, Host::kScript), HostName);

}  // namespace
}  // namespace zortcp::testing
