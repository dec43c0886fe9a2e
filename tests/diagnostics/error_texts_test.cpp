#include "diagnostics/error_texts.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

namespace zortcp {
namespace {

size_t LineEnds(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }

TEST(SocketErrorText, GivesTableTextsWithTheirLineEnds) {
  EXPECT_EQ(SocketErrorText(10054), "WSAECONNRESET: The virtual circuit was reset by the remote host");

  const std::string invalid = SocketErrorText(10022);
  EXPECT_EQ(invalid.size(), 384u);
  EXPECT_EQ(LineEnds(invalid), 6u);
  EXPECT_EQ(invalid.back(), '\n');
  EXPECT_TRUE(invalid.starts_with(
      "WSAEINVAL: listen():  The socket has not been bound or is already connected\n"
      "WSAEINVAL: recv():    The socket has not been bound\n"));
  EXPECT_TRUE(
      invalid.ends_with("WSAEINVAL: connect(): The socket is not already bound to an address\n"));

  const std::string tooManyFiles = SocketErrorText(10024);
  EXPECT_EQ(tooManyFiles,
            "WSAEMFILE: listen(): No more file descriptors are available\n"
            "WSAEMFILE: accept(): Queue was empty");
  EXPECT_EQ(tooManyFiles.size(), 96u);

  const std::string notSupported = SocketErrorText(10045);
  EXPECT_EQ(notSupported.size(), 235u);
  EXPECT_EQ(LineEnds(notSupported), 2u);
  EXPECT_NE(notSupported.back(), '\n');
}

TEST(SocketErrorText, NumbersWithoutEntryArePrintedUnsigned) {
  EXPECT_EQ(SocketErrorText(10010), "Unknown Error Code: 10010");
  EXPECT_EQ(SocketErrorText(0), "Unknown Error Code: 0");
  EXPECT_EQ(SocketErrorText(10003), "Unknown Error Code: 10003");
  EXPECT_EQ(SocketErrorText(11005), "Unknown Error Code: 11005");
  EXPECT_EQ(SocketErrorText(UINT32_MAX), "Unknown Error Code: 4294967295");
}

TEST(SystemErrorText, NumberWithoutMessageGetsFallbackText) {
  EXPECT_EQ(SystemErrorText(99999), "Windows NT System Error 99999 Has No Message Text");
}

TEST(SystemErrorText, MessageHasNoTrailingLineEnd) {
  const std::string text = SystemErrorText(12);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.find("Has No Message Text"), std::string::npos);
  EXPECT_NE(text.back(), '\n');
  EXPECT_NE(text.back(), '\r');
  EXPECT_LT(text.size(), static_cast<size_t>(kSystemMessageCapacity));
}

}  // namespace
}  // namespace zortcp
