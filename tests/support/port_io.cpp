// SPDX-License-Identifier: MIT
#include "support/port_io.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/wait_until.h"

namespace zortcp::testing {

LastErrorView LastErrorNow() {
  LastErrorView view;
  char text[288] = {};
  ZorGetLastError(&view.code, &view.location, text);
  view.text = text;
  return view;
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
