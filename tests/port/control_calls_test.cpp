// SPDX-License-Identifier: MIT
// The library-wide defaults as the host changes them: texts kept within
// their store, the retry count, unknown types, and the ring sizes that only
// later ports take.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/control_block.h"
#include "diagnostics/config_file.h"
#include "support/client_port.h"

namespace zortcp::testing {
namespace {

using ControlCallsTest = ClientPortTest;

TEST_F(ControlCallsTest, ChangeDefaultCopiesTextsWithinTheirStore) {
  const LibraryDefaults& defaults = Defaults();
  ZorChangeDefault(ZOR_DEFAULT_SERVICE, "1234", 5);
  EXPECT_STREQ(defaults.defaultService, "1234");

  ZorChangeDefault(ZOR_DEFAULT_SERVICE, "12999", 6);
  ZorChangeDefault(ZOR_DEFAULT_SERVICE, "45", 2);  // no terminator: the rest stays
  EXPECT_STREQ(defaults.defaultService, "45999");

  const std::string unterminated(40, 'x');
  ZorChangeDefault(ZOR_DEFAULT_SERVICE_TYPE, unterminated.data(), 40);
  EXPECT_EQ(std::string(defaults.defaultServiceType), std::string(35, 'x'));
  ZorChangeDefault(ZOR_DEFAULT_SERVICE_TYPE, "udp", 4);
  EXPECT_STREQ(defaults.defaultServiceType, "udp");
}

TEST_F(ControlCallsTest, ChangeDefaultSetsRetryCountAndLookupAndIgnoresTheRest) {
  const int32_t three = 3;
  ZorChangeDefault(ZOR_DEFAULT_RETRY_COUNT, &three, 0);  // the length plays no part
  const int32_t on = 7;
  ZorChangeDefault(ZOR_DEFAULT_LOOKUP_HOST, &on, 4);

  const LibraryDefaults before = Defaults();
  const int32_t value = 99;
  for (uint32_t type : {0u, 8u, 99u, 0xFFFFFFFFu}) ZorChangeDefault(type, &value, 4);
  for (uint32_t type : {1u, 2u, 3u, 4u}) ZorChangeDefault(type, nullptr, 5);
  const LibraryDefaults& after = Defaults();
  EXPECT_STREQ(after.defaultService, before.defaultService);
  EXPECT_STREQ(after.defaultServiceType, before.defaultServiceType);
  EXPECT_EQ(after.defaultConnectRetryCount, 3);
  EXPECT_EQ(after.defaultLookupHostName, 7);

  // A client port takes the retry count; the lookup bit is for servers and
  // leaves a client's connection alone.
  const int32_t handle = OpenClient();
  ASSERT_GE(handle, 0);
  EXPECT_EQ(PortTable()[static_cast<size_t>(handle)].settings.connectRetryCount, 3);
  ASSERT_TRUE(AcceptPeer().IsOpen());
  EXPECT_TRUE(WaitForEvent(ZOR_EVENT_CONNECTED));
}

TEST_F(ControlCallsTest, KeepAliveAndConnectTimeoutDefaultsTakeValuesInRangeOnly) {
  const LibraryDefaults& defaults = Defaults();
  const auto change = [](uint32_t type, uint32_t value) { ZorChangeDefault(type, &value, 4); };
  change(ZOR_DEFAULT_KEEP_ALIVE, 7200);
  change(ZOR_DEFAULT_CONNECT_TIMEOUT, 600000);
  change(ZOR_DEFAULT_KEEP_ALIVE, 7201);
  change(ZOR_DEFAULT_CONNECT_TIMEOUT, 0xFFFFFFFFu);
  EXPECT_EQ(defaults.defaultKeepAliveSeconds, 7200u);
  EXPECT_EQ(defaults.defaultConnectTimeoutMs, 600000u);

  // A port takes the defaults of its open; later changes leave it alone.
  const int32_t handle = OpenClient();
  ASSERT_GE(handle, 0);
  EXPECT_EQ(PortTable()[static_cast<size_t>(handle)].settings.keepAliveSeconds, 7200u);
  EXPECT_EQ(PortTable()[static_cast<size_t>(handle)].settings.connectTimeoutMs, 600000u);
  change(ZOR_DEFAULT_KEEP_ALIVE, 0);
  change(ZOR_DEFAULT_CONNECT_TIMEOUT, 0);
  EXPECT_EQ(defaults.defaultKeepAliveSeconds, 0u);
  EXPECT_EQ(defaults.defaultConnectTimeoutMs, 0u);
  EXPECT_EQ(PortTable()[static_cast<size_t>(handle)].settings.keepAliveSeconds, 7200u);
}

TEST_F(ControlCallsTest, ChangeBufferSizesAppliesToLaterPortsOnly) {
  const int32_t first = OpenClient();
  ASSERT_GE(first, 0);
  const LibraryDefaults& defaults = Defaults();

  ZorChangeBufferSizes(20480, 0xFFFFFFFF);
  EXPECT_EQ(defaults.defaultRxRingSize, 20480u);
  EXPECT_EQ(defaults.defaultTxRingSize, 8192u);
  ZorChangeBufferSizes(20479, 4095);
  ZorChangeBufferSizes(0, 0);
  ZorChangeBufferSizes(0x80000000u, 0xFFFFFFFEu);
  EXPECT_EQ(defaults.defaultRxRingSize, 20480u);
  EXPECT_EQ(defaults.defaultTxRingSize, 8192u);
  ZorChangeBufferSizes(0xFFFFFFFF, 4096);
  EXPECT_EQ(defaults.defaultRxRingSize, 20480u);
  EXPECT_EQ(defaults.defaultTxRingSize, 4096u);

  const PortControlBlock& opened = PortTable()[static_cast<size_t>(first)];
  EXPECT_EQ(opened.rx.size.load(), 65536);
  EXPECT_EQ(opened.tx.size.load(), 8192);
  int32_t second = -1;
  ASSERT_EQ(ZorOpenPort("localhost", 0, 0, nullptr, &second), 0);
  EXPECT_EQ(PortTable()[static_cast<size_t>(second)].rx.size.load(), 20480);
  EXPECT_EQ(PortTable()[static_cast<size_t>(second)].tx.size.load(), 4096);
}

}  // namespace
}  // namespace zortcp::testing
