// SPDX-License-Identifier: MIT
// fork() in a host whose ports carry traffic: the children inherit no open
// port, and their exits leave the parent's ports and connections alone.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "lifecycle/host_process.h"
#include "support/wait_until.h"

namespace zortcp::testing {
namespace {

using std::chrono::seconds;

constexpr int kPorts = 8;
constexpr int kForks = 30;
constexpr uint64_t kMoreBytes = 65536;

// ThreadSanitizer would keep each child a second at its exit for threads
// that do not exist there; LeakSanitizer would find what the parent's
// vanished threads held.
const std::vector<std::string> kForkOptions{"TSAN_OPTIONS=atexit_sleep_ms=0",
                                            "ASAN_OPTIONS=detect_leaks=0"};

TEST(ForkTest, ChildrenLeaveTheParentsPortsAndConnectionsAlone) {
  // The peers only read, so that the parent's closes at the end never wait
  // on a full RxRing.
  TrafficPeers peers(false);
  HostProcess host("fork", {peers.PortText(), std::to_string(kPorts), std::to_string(kForks)},
                   kForkOptions);
  // Each child: the parent's handles fail as closed ports, the first one
  // carries a byte on a port of its own, and every one exits at once.
  for (int child = 0; child < kForks; ++child) {
    const auto line = host.WaitForLine("child ", seconds(30));
    ASSERT_TRUE(line) << host.output();
    std::istringstream fields(*line);
    int status = -1;
    int milliseconds = -1;
    fields >> status >> milliseconds;
    EXPECT_EQ(status, 0) << "child " << child;
    EXPECT_LT(milliseconds, 1000) << "child " << child;
  }
  ASSERT_TRUE(host.WaitForLine("forked", seconds(10))) << host.output();

  const std::vector<uint64_t> before = peers.Received();
  ASSERT_EQ(before.size(), static_cast<size_t>(kPorts));
  EXPECT_TRUE(WaitUntil(
      [&] {
        const std::vector<uint64_t> now = peers.Received();
        for (size_t index = 0; index < before.size(); ++index) {
          if (now[index] < before[index] + kMoreBytes) return false;
        }
        return true;
      },
      seconds(10)));
  EXPECT_EQ(peers.Ended(), 0u);
  EXPECT_EQ(peers.Connections(), static_cast<size_t>(kPorts));

  host.CloseInput();
  const HostEnd end = host.Wait(seconds(30));
  EXPECT_TRUE(end.exited && end.status == 0) << end.status << "\n" << host.output();
}

}  // namespace
}  // namespace zortcp::testing
