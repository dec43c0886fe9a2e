// SPDX-License-Identifier: MIT
// The fault-injection seam: which calls fail, with what, and that an
// injected failure looks like a real one to the caller.
#include "platform/platform_test_support.h"

namespace zortcp::testing {
namespace {

using platform::faults::Fault;
using platform::faults::Operation;

class FaultInjectionTest : public PlatformTest {};

TEST_F(FaultInjectionTest, SkipAndCountChooseWhichCallsFail) {
  platform::faults::Inject(Operation::kOpenSocket, Fault{10024, 2, 1, platform::kNoSocket});
  std::vector<platform::Socket> opened;
  std::vector<int32_t> errors;
  for (int call = 0; call < 4; ++call) {
    platform::SetLastSocketError(0);
    const platform::Socket socket = platform::OpenSocket();
    opened.push_back(socket);
    errors.push_back(platform::LastSocketError());
  }
  EXPECT_NE(opened[0], platform::kNoSocket);
  EXPECT_EQ(opened[1], platform::kNoSocket);
  EXPECT_EQ(opened[2], platform::kNoSocket);
  EXPECT_NE(opened[3], platform::kNoSocket);
  EXPECT_EQ(errors[1], 10024);
  EXPECT_EQ(errors[2], 10024);
  EXPECT_EQ(platform::faults::FailuresMade(Operation::kOpenSocket), 2);
  for (platform::Socket socket : opened) {
    if (socket != platform::kNoSocket) platform::CloseSocket(socket);
  }

  platform::faults::Inject(Operation::kPollWritable, Fault{10050, -1, 0, platform::kNoSocket});
  for (int call = 0; call < 5; ++call)
    EXPECT_EQ(platform::PollWritable(12345), platform::kSocketError);
  EXPECT_EQ(platform::LastSocketError(), 10050);
  EXPECT_EQ(platform::faults::FailuresMade(Operation::kPollWritable), 5);
  platform::faults::ClearAll();
  EXPECT_EQ(platform::faults::FailuresMade(Operation::kPollWritable), 0);
  EXPECT_EQ(platform::PollWritable(12345), platform::kSocketError);
  EXPECT_EQ(platform::LastSocketError(), 10038);
}

TEST_F(FaultInjectionTest, ASocketFilterHitsOnlyThatSocketAndBlockingCallsFailAtOnce) {
  LoopbackListener listener;
  ConnectedPair hit = Connect(listener);
  ConnectedPair spared = Connect(listener);
  platform::faults::Inject(Operation::kReceive, Fault{10054, 1, 0, hit.socket});
  platform::faults::Inject(Operation::kPendingBytes, Fault{10022, -1, 0, hit.socket});

  ASSERT_EQ(platform::SetNonBlocking(spared.socket, true), 0);
  uint8_t buffer[8];
  EXPECT_EQ(platform::Receive(spared.socket, buffer, sizeof(buffer)), platform::kSocketError);
  EXPECT_EQ(platform::LastSocketError(), 10035);
  uint32_t pending = 7;
  EXPECT_EQ(platform::PendingBytes(spared.socket, &pending), 0);
  EXPECT_EQ(pending, 0u);

  // A blocking receive with nothing to read would wait for ever.
  auto blocked = Launch([&] {
    const int32_t result = platform::Receive(hit.socket, buffer, sizeof(buffer));
    return std::make_pair(result, platform::LastSocketError());
  });
  ASSERT_TRUE(EndsWithin(blocked, kPrompt));
  EXPECT_EQ(blocked.get(), std::make_pair(platform::kSocketError, int32_t{10054}));
  EXPECT_EQ(platform::PendingBytes(hit.socket, &pending), platform::kSocketError);
  EXPECT_EQ(platform::LastSocketError(), 10022);
  EXPECT_EQ(platform::faults::FailuresMade(Operation::kReceive), 1);

  // The fault is spent: the socket works again.
  ASSERT_TRUE(hit.peer.SendAll("abc"));
  EXPECT_EQ(platform::Receive(hit.socket, buffer, sizeof(buffer)), 3);
}

TEST_F(FaultInjectionTest, MemoryAndThreadFailuresSetTheLastSystemError) {
  platform::faults::Inject(Operation::kAllocate, Fault{12, 1, 0, platform::kNoSocket});
  platform::SetLastSystemError(0);
  EXPECT_EQ(platform::AllocateZeroed(4096), nullptr);
  EXPECT_EQ(platform::LastSystemError(), 12);
  EXPECT_NE(platform::AllocateZeroed(4096), nullptr);

  platform::faults::Inject(Operation::kCreateThread, Fault{11, 1, 0, platform::kNoSocket});
  std::atomic<bool> ran{false};
  LibraryThread refused([&] { ran.store(true); });
  EXPECT_EQ(refused.handle(), nullptr);
  EXPECT_EQ(platform::LastSystemError(), 11);
}

TEST_F(FaultInjectionTest, ResolverFailuresReportTheirNumbers) {
  platform::faults::Inject(Operation::kHostByName, Fault{11001, 1, 0, platform::kNoSocket});
  platform::faults::Inject(Operation::kHostByAddress, Fault{11004, 1, 0, platform::kNoSocket});
  platform::faults::Inject(Operation::kServiceByName, Fault{11004, 1, 0, platform::kNoSocket});
  platform::faults::Inject(Operation::kLocalHostName, Fault{10014, 1, 0, platform::kNoSocket});
  uint32_t address = 0;
  std::string name = "unchanged";
  uint16_t port = 0;
  char host[256];
  EXPECT_EQ(platform::HostByName("localhost", &address), platform::kSocketError);
  EXPECT_EQ(platform::LastSocketError(), 11001);
  EXPECT_EQ(platform::HostByAddress(platform::HostToNetwork32(0x7F000001), &name),
            platform::kSocketError);
  EXPECT_EQ(platform::LastSocketError(), 11004);
  EXPECT_EQ(name, "unchanged");
  EXPECT_EQ(platform::ServiceByName("echo", "tcp", &port), platform::kSocketError);
  EXPECT_EQ(platform::LastSocketError(), 11004);
  EXPECT_EQ(platform::LocalHostName(host, sizeof(host)), platform::kSocketError);
  EXPECT_EQ(platform::LastSocketError(), 10014);
  EXPECT_EQ(address, 0u);
  EXPECT_EQ(port, 0u);
}

}  // namespace
}  // namespace zortcp::testing
