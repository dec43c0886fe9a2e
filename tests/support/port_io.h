// SPDX-License-Identifier: MIT
// Reading a port's state and data the same way in every test: the
// last-error record, the statistics, and bytes taken out of a port until a
// given number of them has arrived.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "zortcp.h"

namespace zortcp::testing {

struct LastErrorView {
  int32_t code = 0;
  int32_t location = 0;
  std::string text;
};

// Output buffers of the query calls are filled with this byte, not with
// zeros, so that a text that the library leaves without its terminator
// shows.
inline constexpr char kOutputSentinel = '\xA5';

// ZorGetLastError into a view; a text without its terminator fails the test.
LastErrorView LastErrorNow();

// ZorGetConfig of a text item (1 the local host, 4 the peer's name): the
// text, which must end with its terminator at the length that the call
// reports (written to length when given).
std::string ConfigTextOf(int32_t handle, int32_t item, int32_t* length = nullptr);

// ZorGetStatistics of a port, with a test failure if the call fails.
ZorPortStatistics StatisticsOf(int32_t handle);

// Takes bytes out of a port until size of them have arrived or the
// time-out ends; never asks for more than are still missing, so that bytes
// after them stay in the port.
std::vector<uint8_t> ReadPortExactly(int32_t handle, size_t size,
                                     std::chrono::milliseconds timeout);

}  // namespace zortcp::testing
