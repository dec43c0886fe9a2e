// SPDX-License-Identifier: MIT
// Names and addresses from /etc/hosts and /etc/services, the tick counter,
// the local time and zero-filled memory.
#include <cstring>
#include <ctime>

#include "platform/platform_test_support.h"

namespace zortcp::testing {
namespace {

constexpr uint32_t kLoopback = 0x7F000001;

TEST(Resolver, LocalNamesResolveBothWays) {
  uint32_t address = 0;
  ASSERT_EQ(platform::HostByName("localhost", &address), 0) << platform::LastSocketError();
  EXPECT_EQ(address, platform::HostToNetwork32(kLoopback));
  ASSERT_EQ(platform::HostByName("127.0.0.1", &address), 0);
  EXPECT_EQ(address, platform::HostToNetwork32(kLoopback));

  std::string name;
  ASSERT_EQ(platform::HostByAddress(platform::HostToNetwork32(kLoopback), &name), 0)
      << platform::LastSocketError();
  EXPECT_FALSE(name.empty());
  uint32_t back = 0;
  ASSERT_EQ(platform::HostByName(name.c_str(), &back), 0);
  EXPECT_EQ(back, platform::HostToNetwork32(kLoopback));

  char host[256] = {};
  ASSERT_EQ(platform::LocalHostName(host, sizeof(host)), 0);
  EXPECT_GT(std::strlen(host), 0u);
  EXPECT_EQ(platform::LocalHostName(host, 1), platform::kSocketError);
  EXPECT_EQ(platform::LastSocketError(), 10014);
}

TEST(Resolver, ServicesComeFromTheServicesDatabase) {
  if (SystemServicePort("echo") == 0) {
    GTEST_SKIP() << "no echo service in this system's services database";
  }
  uint16_t port = 0;
  ASSERT_EQ(platform::ServiceByName("echo", "tcp", &port), 0);
  EXPECT_EQ(port, 7);
}

TEST(Addresses, DottedAddressesParseAndFormatInNetworkOrder) {
  EXPECT_EQ(platform::ParseDottedAddress("127.0.0.1"), platform::HostToNetwork32(kLoopback));
  EXPECT_EQ(platform::ParseDottedAddress("10.1.2.3"), platform::HostToNetwork32(0x0A010203));
  EXPECT_EQ(platform::ParseDottedAddress("not an address"), 0xFFFFFFFFu);
  EXPECT_EQ(platform::FormatDottedAddress(platform::HostToNetwork32(0xC0A80001)), "192.168.0.1");
  EXPECT_EQ(platform::NetworkToHost16(platform::HostToNetwork16(12999)), 12999);
}

TEST(Time, TickCountFollowsTheClockAndWrapsWithTheOffset) {
  platform::SetTickOffsetForTesting(0);
  const uint32_t before = platform::TickCount();
  platform::Sleep(50);
  const uint32_t elapsed = platform::TickCount() - before;
  EXPECT_GE(elapsed, 49u);
  EXPECT_LT(elapsed, 2000u);

  // Put the counter a few milliseconds short of the wrap.
  const uint32_t now = platform::TickCount();
  platform::SetTickOffsetForTesting(0xFFFFFFFFu - now - 5);
  const uint32_t nearWrap = platform::TickCount();
  EXPECT_GE(nearWrap, 0xFFFFFFFFu - 100);
  platform::Sleep(20);
  EXPECT_LT(platform::TickCount(), 1000u);
  platform::SetTickOffsetForTesting(0);
}

TEST(Time, LocalTimeMatchesTheSystemClock) {
  const std::time_t now = std::time(nullptr);
  // The standard library's local time, read once by this thread alone.
  const std::tm expected = *std::localtime(&now);
  const platform::LocalTime local = platform::CurrentLocalTime();
  EXPECT_EQ(local.year, expected.tm_year + 1900);
  EXPECT_EQ(local.month, expected.tm_mon + 1);
  EXPECT_GE(local.day, 1);
  EXPECT_LE(local.day, 31);
  EXPECT_GE(local.milliseconds, 0);
  EXPECT_LE(local.milliseconds, 999);
}

TEST(Memory, BlocksAreZeroFilledAndOutliveTheFirstHolder) {
  platform::MemoryBlock block = platform::AllocateZeroed(65536);
  ASSERT_NE(block, nullptr);
  for (std::ptrdiff_t i = 0; i < 65536; ++i) ASSERT_EQ(block[i], 0) << "byte " << i;
  block[100] = 0xAB;
  platform::MemoryBlock kept = block;
  block.reset();
  EXPECT_EQ(kept[100], 0xAB);
}

}  // namespace
}  // namespace zortcp::testing
