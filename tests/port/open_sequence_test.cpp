// SPDX-License-Identifier: MIT
// Opening a port: every step that can fail on this platform, reached through
// fault injection, with its numbers and text, its undo, the handle output
// and the pending handler kept for the next open.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>
#include <utility>

#include "core/control_block.h"
#include "core/pacing.h"
#include "diagnostics/config_file.h"
#include "diagnostics/error_texts.h"
#include "platform/fault_injection.h"
#include "support/client_port.h"
#include "support/server_port.h"
#include "support/temp_directory.h"

namespace zortcp::testing {
namespace {

namespace faults = platform::faults;
using faults::Operation;

struct OpenFailure {
  const char* name;
  int32_t location;
  int32_t code;
  bool socketText;  // socket error text, else system error text
  std::function<void()> arrange;
  const char* host = "localhost";
  uint32_t flags = 0;
};

void PrintTo(const OpenFailure& failure, std::ostream* out) { *out << failure.name; }

class OpenFailureTest : public ClientPortTest, public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(OpenFailureTest, FailsWithItsLocationAndGivesEverythingBack) {
  const OpenFailure& failure = GetParam();
  const size_t threads = BaselineThreadCount();
  const size_t descriptors = DescriptorCount();
  failure.arrange();
  events.Register();

  int32_t handle = 77;
  EXPECT_EQ(ZorOpenPort(failure.host, 0, failure.flags, nullptr, &handle), -2);
  EXPECT_EQ(handle, 0);
  const LastErrorView error = LastErrorNow();
  EXPECT_EQ(error.location, failure.location);
  EXPECT_EQ(error.code, failure.code);
  EXPECT_EQ(error.text, failure.socketText ? SocketErrorText(static_cast<uint32_t>(failure.code))
                                           : SystemErrorText(failure.code));

  const PortControlBlock& block = PortTable()[0];
  EXPECT_EQ(block.inUse.load(), 0);
  EXPECT_EQ(block.peer.socket.load(), platform::kNoSocket);
  EXPECT_EQ(block.rx.size.load(), 0);
  EXPECT_EQ(block.tx.size.load(), 0);
  EXPECT_FALSE(block.rx.memory || block.tx.memory || block.recvMemory);
  EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == threads; }, kWait));
  EXPECT_TRUE(WaitUntil([&] { return DescriptorCount() == descriptors; }, kWait));
  EXPECT_EQ(Library().pendingEventHandler, &EventRecorder::Handler);

  // The next open that succeeds takes the same block and the kept handler.
  faults::ClearAll();
  UseService(listener.port());
  ASSERT_EQ(ZorOpenPort("localhost", 0, 0, nullptr, &handle), 0);
  EXPECT_EQ(handle, 0);
  EXPECT_EQ(Library().pendingEventHandler, nullptr);
  ASSERT_TRUE(AcceptPeer().IsOpen());
  EXPECT_TRUE(WaitForEvent(ZOR_EVENT_CONNECTED));
  EXPECT_EQ(ZorClosePort(handle), 0);
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, OpenFailureTest,
    ::testing::Values(
        OpenFailure{"AllocateRxRing", 1, 12, false,
                    [] { faults::Inject(Operation::kAllocate, {.error = 12}); }},
        OpenFailure{"AllocateTxRing", 3, 12, false,
                    [] { faults::Inject(Operation::kAllocate, {.error = 12, .skip = 1}); }},
        OpenFailure{"AllocateRecvBuffer", 5, 12, false,
                    [] { faults::Inject(Operation::kAllocate, {.error = 12, .skip = 2}); }},
        OpenFailure{"ServiceLookup", 8, 11004, true,
                    [] {
                      UseService("telnet");
                      faults::Inject(Operation::kServiceByName, {.error = 11004});
                    }},
        OpenFailure{"CreateSocket", 9, 10024, true,
                    [] { faults::Inject(Operation::kOpenSocket, {.error = 10024}); }},
        OpenFailure{"ServerBind", 10, 10013, true,
                    [] {
                      UseService("0");
                      faults::Inject(Operation::kBind, {.error = 10013});
                    },
                    "127.0.0.1", ZOR_OPEN_SERVER},
        OpenFailure{"HostByName", 12, 11001, true,
                    [] { faults::Inject(Operation::kHostByName, {.error = 11001}); },
                    "no-such-host.invalid"},
        OpenFailure{"CreateRxMonitor", 13, 11, false,
                    [] { faults::Inject(Operation::kCreateThread, {.error = 11}); }},
        OpenFailure{"CreateTxMonitor", 14, 12, false,
                    [] { faults::Inject(Operation::kCreateThread, {.error = 12, .skip = 1}); }}),
    [](const ::testing::TestParamInfo<OpenFailure>& instance) {
      return std::string(instance.param.name);
    });

using OpenTest = ClientPortTest;

TEST_F(OpenTest, ServiceNameThatIsNotFoundFailsAtTheLookup) {
  UseService("no-such-zortcp-service");
  int32_t handle = 77;
  EXPECT_EQ(ZorOpenPort("localhost", 0, 0, nullptr, &handle), -2);
  EXPECT_EQ(handle, 0);
  const LastErrorView error = LastErrorNow();
  EXPECT_EQ(error.location, 8);
  EXPECT_EQ(error.code, 11004);
}

// A server whose allowed peers cannot all be read does not open, rather
// than let in everyone or fewer than meant; a client, which does not use
// them, opens.
TEST_F(OpenTest, ServerWithAllowedPeersThatCannotBeReadFailsAtTheServiceStep) {
  std::string tooMany;
  for (int32_t line = 0; line < 5; ++line) {
    tooMany += "Allowed Peers=1.1.1.1";
    for (int32_t entry = 1; entry < 13; ++entry) tooMany += ",1.1.1.1";
    tooMany += "\n";
  }
  const TempDirectory directory;
  const std::string config = directory.File("port.cfg");
  UseService("0");
  for (const auto& [lines, text] : {std::pair<std::string, std::string>{
                                        "Allowed Peers=127.0.0.1, 10.0.0.0/33\n",
                                        "WSAEINVAL: Allowed Peers: cannot read \"10.0.0.0/33\""},
                                    {tooMany, "WSAEINVAL: Allowed Peers: more than 64 entries"}}) {
    WriteFile(config, lines);
    int32_t handle = 77;
    EXPECT_EQ(ZorOpenPort("127.0.0.1", 0, ZOR_OPEN_SERVER, config.c_str(), &handle), -2);
    EXPECT_EQ(handle, 0);
    const LastErrorView error = LastErrorNow();
    EXPECT_EQ(error.location, ZOR_LOCATION_SERVICE_LOOKUP);
    EXPECT_EQ(error.code, 10022);
    EXPECT_EQ(error.text, text);
    EXPECT_EQ(PortTable()[0].inUse.load(), 0);
    EXPECT_FALSE(PortTable()[0].rx.memory);
  }

  UseService(listener.port());
  int32_t handle = 77;
  ASSERT_EQ(ZorOpenPort("localhost", 0, 0, config.c_str(), &handle), 0);
  EXPECT_TRUE(AcceptPeer().IsOpen());
  EXPECT_EQ(ZorClosePort(handle), 0);
}

TEST_F(OpenTest, ServerBindToAnAddressInUseFailsAtBind) {
  int32_t handle = 77;
  EXPECT_EQ(ZorOpenPort("127.0.0.1", 0, ZOR_OPEN_SERVER, nullptr, &handle), -2);
  EXPECT_EQ(handle, 0);
  const LastErrorView error = LastErrorNow();
  EXPECT_EQ(error.location, 10);
  EXPECT_EQ(error.code, 10048);
  EXPECT_EQ(PortTable()[0].inUse.load(), 0);
}

// A dotted text that is no address ("300.1.1.1" reads as 255.255.255.255)
// is no local address either; the short forms that the parser has always
// taken still are addresses.
TEST_F(OpenTest, ServerOnADottedTextThatIsNoLocalAddressFailsAtBind) {
  UseService("0");
  for (const char* host : {"300.1.1.1", "255.255.255.255"}) {
    int32_t handle = 77;
    EXPECT_EQ(ZorOpenPort(host, 0, ZOR_OPEN_SERVER, nullptr, &handle), -2) << host;
    EXPECT_EQ(handle, 0);
    const LastErrorView error = LastErrorNow();
    EXPECT_EQ(error.location, 10) << host;
    EXPECT_EQ(error.code, 10049) << host;
  }
  uint16_t port = 0;
  ASSERT_GE(OpenServer("127.1", nullptr, &port), 0);
  EXPECT_TRUE(ConnectToServer(port).IsOpen());
}

TEST_F(OpenTest, NullHostCountsAsAnEmptyNameThatIsNotFound) {
  faults::Inject(Operation::kHostByName, {.error = 11001});
  int32_t handle = 77;
  EXPECT_EQ(ZorOpenPort(nullptr, 0, 0, nullptr, &handle), -2);
  EXPECT_STREQ(PortTable()[0].hostName, "");
  const LastErrorView error = LastErrorNow();
  EXPECT_EQ(error.location, 12);
  EXPECT_EQ(error.text, "WSAHOST_NOT_FOUND: Authorative answer - host not found");
}

// A dotted address without a reverse entry still opens, under the address.
TEST_F(OpenTest, DottedAddressWithoutAReverseNameOpensUnderTheAddress) {
  faults::Inject(Operation::kHostByAddress, {.error = 11004, .count = -1});
  const int32_t handle = OpenClient("127.0.0.1");
  ASSERT_GE(handle, 0);
  EXPECT_EQ(ConfigTextOf(handle, ZOR_CONFIG_PEER_NAME), "127.0.0.1");
  ASSERT_TRUE(AcceptPeer().IsOpen());
  ASSERT_TRUE(WaitForEvent(ZOR_EVENT_CONNECTED));
  EXPECT_EQ(events.Events()[0].text, "127.0.0.1, Port: " + listener.PortText());
}

// Ring memory that no byte has passed through yet takes no resident memory:
// two 128 MiB rings cost far less than their size at the open.
TEST_F(OpenTest, LargeRingsCostNothingUntilBytesPassThroughThem) {
  constexpr uint32_t kRingBytes = 128u << 20;
  ZorChangeBufferSizes(kRingBytes, kRingBytes);
  const size_t before = ResidentBytes();
  const int32_t handle = OpenClient();
  ASSERT_GE(handle, 0);
  PeerConnection peer = AcceptPeer();
  ASSERT_TRUE(peer.IsOpen());
  ASSERT_TRUE(WaitForEvent(ZOR_EVENT_CONNECTED));
  const size_t after = ResidentBytes();
  EXPECT_LT(after > before ? after - before : 0, size_t{kRingBytes} / 8)
      << before << " -> " << after;
  EXPECT_EQ(ZorClosePort(handle), 0);
}

// A fast transfer port takes its own ring sizes where no call has set one,
// and the host's size where it has.
TEST_F(OpenTest, FastPortTakesItsOwnRingSizesOnlyWhereNoneWasSet) {
  LibraryDefaults& defaults = Defaults();
  const LibraryDefaults saved = defaults;
  defaults = LibraryDefaults{};
  const int32_t on = 1;
  ZorChangeDefault(ZOR_DEFAULT_FAST_TRANSFER, &on, sizeof(on));
  ZorChangeBufferSizes(0xFFFFFFFFu, 4096);
  const int32_t handle = OpenClient();
  ASSERT_GE(handle, 0);
  const PortControlBlock& block = PortTable()[static_cast<size_t>(handle)];
  EXPECT_EQ(block.rx.size.load(), static_cast<int32_t>(kFastPacing.rxRingBytes));
  EXPECT_EQ(block.tx.size.load(), 4096);
  EXPECT_EQ(ZorClosePort(handle), 0);
  defaults = saved;
}

}  // namespace
}  // namespace zortcp::testing
