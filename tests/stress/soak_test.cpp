// SPDX-License-Identifier: MIT
// Soak: a thousand open/close cycles, each with a connection and traffic
// both ways, alternately a client port (to a plain listener) and a server
// port (with a plain peer). The process must end them with the descriptors
// and threads it started with, and with no more memory in use than after
// the first cycles.
//
// Memory is measured two ways: in the normal build by the allocator's count
// of bytes in use (mallinfo2), compared between an early cycle and the end;
// on Windows by a walk of the C runtime's heap;
// in the AddressSanitizer build by LeakSanitizer, which fails the program at
// its exit if any block is left unreachable. The ThreadSanitizer build skips
// the soak: it finds nothing there that the stress test does not.
//
// ZORTCP_SOAK_CYCLES sets the number of cycles (1000 by default). A close
// waits for each monitor in 50 ms polls, so a cycle takes a little over
// 100 ms.
#include <gtest/gtest.h>
#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "stress/block_stream.h"
#include "support/client_port.h"
#include "support/event_recorder.h"
#include "support/library_fixture.h"
#include "support/loopback_peer.h"
#include "support/temp_directory.h"
#include "zortcp.h"

namespace zortcp::testing {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMessageSize = 64;
constexpr int kWarmUpCycles = 50;
constexpr int kCheckEvery = 100;
constexpr milliseconds kSettle{5000};
// Bytes in use may differ a little between two moments (the allocator's own
// bookkeeping, a lazily made buffer); a leak of even a few bytes a cycle
// adds up to more over the cycles that follow the warm-up.
constexpr size_t kMemorySlack = 32 * 1024;

int Cycles() {
  const char* text = std::getenv("ZORTCP_SOAK_CYCLES");
  return text != nullptr && *text != '\0' ? std::atoi(text) : 1000;
}

size_t BytesInUse() {
#if defined(__SANITIZE_ADDRESS__)
  return 0;  // the sanitizer's allocator keeps its own books: LeakSanitizer checks
#elif defined(_WIN32)
  size_t used = 0;
  _HEAPINFO entry{};
  while (_heapwalk(&entry) == _HEAPOK) {
    if (entry._useflag == _USEDENTRY) used += entry._size;
  }
  return used;
#else
  return mallinfo2().uordblks;
#endif
}

size_t ResidentKilobytes() { return ResidentBytes() / 1024; }

class SoakTest : public LoadedLibrary {
 protected:
  // One cycle: open, connect, a message each way, close.
  void Cycle(int cycle) {
    events.Clear();
    events.Register();
    const bool server = cycle % 2 == 1;
    int32_t handle = -1;
    ASSERT_EQ(ZorOpenPort("127.0.0.1", 0, server ? ZOR_OPEN_SERVER : 0,
                          server ? serverConfig.c_str() : clientConfig.c_str(), &handle),
              0)
        << "cycle " << cycle;
    PeerConnection peer = server ? ConnectToPort(handle) : AcceptClient();
    ASSERT_TRUE(peer.IsOpen()) << "cycle " << cycle;
    ASSERT_TRUE(events.WaitForCount(ZOR_EVENT_CONNECTED, -1, 1, kWait)) << "cycle " << cycle;
    Exchange(handle, peer, cycle);
    ASSERT_EQ(ZorClosePort(handle), 0);
    EXPECT_TRUE(peer.WaitForClose(kWait)) << "cycle " << cycle;
  }

  PeerConnection AcceptClient() {
    auto accepted = listener.Accept(kWait);
    return accepted ? std::move(*accepted) : PeerConnection();
  }

  // The server listens only once its monitor runs, a moment after the open.
  static PeerConnection ConnectToPort(int32_t handle) {
    uint32_t port = 0;
    int32_t length = 0;
    ZorGetConfig(handle, ZOR_CONFIG_SERVICE_PORT, &port, &length);
    PeerConnection peer;
    WaitUntil(
        [&] {
          peer = ConnectLoopback(static_cast<uint16_t>(port));
          return peer.IsOpen();
        },
        kWait);
    return peer;
  }

  void Exchange(int32_t handle, PeerConnection& peer, int cycle) {
    uint8_t out[kMessageSize];
    stream.Copy(static_cast<uint64_t>(cycle) * kMessageSize, out, kMessageSize);
    ASSERT_EQ(ZorWritePort(handle, out, kMessageSize), 0);
    const std::vector<uint8_t> arrived = peer.ReceiveExactly(kMessageSize, kWait);
    ASSERT_EQ(arrived, std::vector<uint8_t>(out, out + kMessageSize)) << "cycle " << cycle;

    ASSERT_TRUE(peer.SendAll(out, kMessageSize));
    ASSERT_TRUE(WaitUntil(
        [&] { return ZorAnyToRead(handle) == static_cast<int32_t>(kMessageSize); }, kWait))
        << "cycle " << cycle;
    uint8_t in[kMessageSize] = {};
    int32_t count = 0;
    ASSERT_EQ(ZorReadPort(handle, in, kMessageSize, &count), 0);
    ASSERT_EQ(std::vector<uint8_t>(in, in + count), std::vector<uint8_t>(out, out + kMessageSize));
  }

  // Threads may take a moment to finish exiting after the close.
  static void ExpectBackTo(size_t (*count)(), size_t expected, const char* what, int cycle) {
    size_t last = 0;
    WaitUntil([&] { return (last = count()) == expected; }, kSettle);
    EXPECT_EQ(last, expected) << what << " after cycle " << cycle;
  }

  TempDirectory directory;
  LoopbackListener listener;
  EventRecorder events;
  StreamBytes stream{0x50414B00};
  std::string clientConfig;
  std::string serverConfig;
};

TEST_F(SoakTest, OpenCloseCyclesWithTrafficLeaveNothingBehind) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the soak runs in the normal and the AddressSanitizer builds";
#endif
  clientConfig = directory.File("client.cfg");
  serverConfig = directory.File("server.cfg");
  WriteFile(clientConfig, "Service Name=" + listener.PortText() + "\n");
  WriteFile(serverConfig, "Service Name=0\n");
  events.Clear();

  const int cycles = Cycles();
  const size_t threadsBefore = BaselineThreadCount();
  const size_t descriptorsBefore = DescriptorCount();
  size_t bytesAfterWarmUp = 0;
  size_t residentAfterWarmUp = 0;
  const auto start = Clock::now();
  for (int cycle = 1; cycle <= cycles && !HasFailure(); ++cycle) {
    Cycle(cycle);
    if (cycle == kWarmUpCycles) {
      bytesAfterWarmUp = BytesInUse();
      residentAfterWarmUp = ResidentKilobytes();
    }
    if (cycle % kCheckEvery == 0 || cycle == cycles) {
      ExpectBackTo(&ThreadCount, threadsBefore, "threads", cycle);
      ExpectBackTo(&DescriptorCount, descriptorsBefore, "descriptors", cycle);
    }
  }
  const size_t bytesAtEnd = BytesInUse();
  const size_t residentAtEnd = ResidentKilobytes();
  const double took = std::chrono::duration<double>(Clock::now() - start).count();
#if defined(__SANITIZE_ADDRESS__)
  const std::string memory = "memory: LeakSanitizer checks at the exit";
#else
  const std::string memory = "bytes in use after cycle " + std::to_string(kWarmUpCycles) + ": " +
                             std::to_string(bytesAfterWarmUp) +
                             ", at the end: " + std::to_string(bytesAtEnd);
#endif
  std::printf(
      "soak figures: %d cycles in %.1f s (%.0f ms each); threads %zu, descriptors %zu before and "
      "after; %s; resident %zu kB after cycle %d, %zu kB at the end\n",
      cycles, took, 1000 * took / cycles, threadsBefore, descriptorsBefore, memory.c_str(),
      residentAfterWarmUp, kWarmUpCycles, residentAtEnd);
  if (cycles > kWarmUpCycles) {
    EXPECT_LE(bytesAtEnd, bytesAfterWarmUp + kMemorySlack);
  }
}

}  // namespace
}  // namespace zortcp::testing
