// SPDX-License-Identifier: MIT
// A host that loaded the library at run time leaves with exit() while its
// ports are busy: the exit handlers and static destructors run before the
// library's unload, with the monitors still running.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "lifecycle/host_process.h"

namespace zortcp::testing {
namespace {

using std::chrono::seconds;

// glibc's checking allocator makes a use of freed memory, or a second
// release, end the process. It cannot stand beside a sanitizer's allocator;
// AddressSanitizer finds such uses itself, but its leak check, which stops
// every thread at the exit, can crash while the library's threads are ending.
std::vector<std::string> ExitChecks() {
#if defined(__SANITIZE_ADDRESS__)
  return {"ASAN_OPTIONS=detect_leaks=0"};
#elif defined(__SANITIZE_THREAD__)
  return {};
#else
  return {"LD_PRELOAD=libc_malloc_debug.so.0", "MALLOC_CHECK_=3"};
#endif
}

TEST(ExitTest, DlopenedHostExitsCleanlyWithSixteenBusyPorts) {
  for (int run = 0; run < 3; ++run) {
    TrafficPeers peers;
    HostProcess host("exit", {peers.PortText(), "16", "1"}, ExitChecks());
    ASSERT_TRUE(host.WaitForLine("busy", seconds(30))) << host.output();
    const HostEnd end = host.Wait(seconds(30));
    EXPECT_TRUE(end.exited && end.status == 0) << "run " << run << ": " << end.status << "\n"
                                               << host.output();
  }
}

// Each port's host has stopped reading and its peer keeps sending, so
// every receive monitor waits for room in a full RxRing when the exit's
// unload asks it to stop.
TEST(ExitTest, ExitWithThirtyTwoFullRxRingsEndsWithinTwoSeconds) {
  TrafficPeers peers;
  HostProcess host("exit", {peers.PortText(), "32", "0"}, ExitChecks());
  ASSERT_TRUE(host.WaitForLine("busy", seconds(60))) << host.output();
  const HostEnd end = host.Wait(seconds(10));
  EXPECT_TRUE(end.exited && end.status == 0) << end.status << "\n" << host.output();
  EXPECT_LE(end.took, seconds(2));
}

// A host run under "ulimit -s 64" gives every thread 64 KiB of stack: the
// monitors must carry fast traffic in that (the transmit monitor once
// gathered its chunks in a 64 KiB array on its stack, past its end).
TEST(ExitTest, FastPortsRunOnSixtyFourKibibyteThreadStacks) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer makes no thread on a stack this small (the open fails)";
#endif
  TrafficPeers peers;
  HostProcess host("stack", {peers.PortText(), "64"}, ExitChecks());
  ASSERT_TRUE(host.WaitForLine("busy", seconds(30))) << host.output();
  const HostEnd end = host.Wait(seconds(30));
  EXPECT_TRUE(end.exited && end.status == 0) << end.status << "\n" << host.output();
}

// A host that ends with a busy port open whose handler reads every chunk:
// once the exit has begun the handler may no longer be there to call (a
// script host's interpreter has finalized and ends the threads that call
// into it; the C host reports any call made after the library's exit
// handler).
class ExitWithHandlerTest : public ::testing::TestWithParam<Host> {};

TEST_P(ExitWithHandlerTest, NoHandlerIsCalledOnceTheExitHasBegun) {
  if (const char* reason = WhyHostCannotRun(GetParam())) GTEST_SKIP() << reason;
  TrafficPeers peers;
  HostProcess host(GetParam(), "late", {peers.PortText()}, ExitChecks());
  ASSERT_TRUE(host.WaitForLine("open", seconds(30))) << host.output();
  const HostEnd end = host.Wait(seconds(30));
  EXPECT_TRUE(end.exited && end.status == 0) << end.status << "\n" << host.output();
}

INSTANTIATE_TEST_SUITE_P(Hosts, ExitWithHandlerTest,
                         ::testing::Values(Host::kProgram, Host::kScript), HostName);

// exit() called inside the handler: the unload runs on the monitor's own
// thread and must not wait for it (it waited the close's full 5 s).
TEST(ExitTest, ExitInsideTheHandlerIsNotHeldUpByTheUnload) {
  TrafficPeers peers(false);
  HostProcess host("exitinside", {peers.PortText()}, ExitChecks());
  ASSERT_TRUE(host.WaitForLine("exiting", seconds(30))) << host.output();
  const HostEnd end = host.Wait(seconds(30));
  EXPECT_TRUE(end.exited && end.status == 0) << end.status << "\n" << host.output();
  EXPECT_LE(end.took, seconds(3));
}

}  // namespace
}  // namespace zortcp::testing
