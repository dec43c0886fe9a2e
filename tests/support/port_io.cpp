// SPDX-License-Identifier: MIT
#include "support/port_io.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "support/wait_until.h"

namespace zortcp::testing {

namespace {

// The text before the first terminator of an output buffer; a test failure
// (and the text up to the end) when there is none.
template <size_t size>
std::string TerminatedText(const char (&buffer)[size]) {
  const void* end = std::memchr(buffer, '\0', size);
  EXPECT_NE(end, nullptr) << "the text has no terminator";
  return end == nullptr ? std::string(buffer, size)
                        : std::string(buffer, static_cast<const char*>(end));
}

}  // namespace

LastErrorView LastErrorNow() {
  LastErrorView view;
  char text[288];
  std::memset(text, kOutputSentinel, sizeof(text));
  ZorGetLastError(&view.code, &view.location, text);
  view.text = TerminatedText(text);
  return view;
}

std::string ConfigTextOf(int32_t handle, int32_t item, int32_t* length) {
  char text[160];
  std::memset(text, kOutputSentinel, sizeof(text));
  int32_t reported = -1;
  EXPECT_EQ(ZorGetConfig(handle, item, text, &reported), 0) << "item " << item;
  if (length != nullptr) *length = reported;
  const std::string found = TerminatedText(text);
  EXPECT_EQ(static_cast<int32_t>(found.size()), reported) << "item " << item;
  return found;
}

ZorPortStatistics StatisticsOf(int32_t handle) {
  ZorPortStatistics statistics{};
  EXPECT_EQ(ZorGetStatistics(handle, &statistics), 0);
  return statistics;
}

std::vector<uint8_t> ReadPortExactly(int32_t handle, size_t size,
                                     std::chrono::milliseconds timeout) {
  std::vector<uint8_t> received;
  received.reserve(size);
  std::vector<uint8_t> buffer(65536);
  WaitUntil(
      [&] {
        int32_t count = 0;
        const auto want = static_cast<int32_t>(std::min(buffer.size(), size - received.size()));
        ZorReadPort(handle, buffer.data(), want, &count);
        received.insert(received.end(), buffer.begin(), buffer.begin() + count);
        return received.size() >= size;
      },
      timeout);
  return received;
}

}  // namespace zortcp::testing
