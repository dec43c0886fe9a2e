// SPDX-License-Identifier: MIT
// Error numbers: the errno-to-Winsock mapping, per-thread last errors and
// system message texts.
#include <cerrno>
#include <thread>

#include "platform/platform_test_support.h"

namespace zortcp::testing {
namespace {

TEST(ErrorNumbers, SystemErrorsMapToTheirWinsockNumbers) {
#ifdef _WIN32
  // Socket errors are Winsock numbers already: they pass unchanged.
  for (const int code : {0, 10004, 10035, 10038, 10048, 10054, 10061}) {
    EXPECT_EQ(platform::WinsockErrorFromSystem(code), code);
  }
#else
  EXPECT_EQ(platform::WinsockErrorFromSystem(EINTR), 10004);
  EXPECT_EQ(platform::WinsockErrorFromSystem(EBADF), 10009);
  EXPECT_EQ(platform::WinsockErrorFromSystem(EINVAL), 10022);
  EXPECT_EQ(platform::WinsockErrorFromSystem(EAGAIN), 10035);
  EXPECT_EQ(platform::WinsockErrorFromSystem(EWOULDBLOCK), 10035);
  EXPECT_EQ(platform::WinsockErrorFromSystem(EINPROGRESS), 10036);
  EXPECT_EQ(platform::WinsockErrorFromSystem(ENOTSOCK), 10038);
  EXPECT_EQ(platform::WinsockErrorFromSystem(EADDRINUSE), 10048);
  EXPECT_EQ(platform::WinsockErrorFromSystem(ECONNABORTED), 10053);
  EXPECT_EQ(platform::WinsockErrorFromSystem(ECONNRESET), 10054);
  EXPECT_EQ(platform::WinsockErrorFromSystem(EPIPE), 10054);
  EXPECT_EQ(platform::WinsockErrorFromSystem(ENOTCONN), 10057);
  EXPECT_EQ(platform::WinsockErrorFromSystem(ETIMEDOUT), 10060);
  EXPECT_EQ(platform::WinsockErrorFromSystem(ECONNREFUSED), 10061);
  EXPECT_EQ(platform::WinsockErrorFromSystem(EHOSTUNREACH), 10065);
  EXPECT_EQ(platform::WinsockErrorFromSystem(EREMOTE), 10071);
  // Numbers without a Winsock counterpart pass unchanged.
  EXPECT_EQ(platform::WinsockErrorFromSystem(ENOENT), ENOENT);
  EXPECT_EQ(platform::WinsockErrorFromSystem(0), 0);
#endif
}

TEST(ErrorNumbers, LastErrorsBelongToTheCallingThread) {
  platform::SetLastSocketError(10061);
  platform::SetLastSystemError(12);
  std::thread other([] {
    EXPECT_EQ(platform::LastSocketError(), 0);
    EXPECT_EQ(platform::LastSystemError(), 0);
    platform::SetLastSocketError(10054);
    platform::SetLastSystemError(11);
  });
  other.join();
  EXPECT_EQ(platform::LastSocketError(), 10061);
  EXPECT_EQ(platform::LastSystemError(), 12);
}

TEST(ErrorNumbers, SystemMessagesHaveNoLineEndsAndUnknownNumbersNoText) {
  const std::string noMemory = platform::SystemMessageText(ENOMEM);
  EXPECT_FALSE(noMemory.empty());
  EXPECT_EQ(noMemory.find_first_of("\r\n"), std::string::npos);
  EXPECT_FALSE(platform::SystemMessageText(EAGAIN).empty());
  EXPECT_EQ(platform::SystemMessageText(98765), "");
  EXPECT_EQ(platform::SystemMessageText(-3), "");
}

}  // namespace
}  // namespace zortcp::testing
