// SPDX-License-Identifier: MIT
// What every part of port_bench shares: the clock and units, the library's
// figures it measures against, and the three columns of every row.
#pragma once

#include <chrono>
#include <cstdint>

namespace port_bench {

using Clock = std::chrono::steady_clock;
using std::chrono::duration;
using std::chrono::duration_cast;
using std::chrono::milliseconds;

inline double Seconds(Clock::duration span) { return duration<double>(span).count(); }

constexpr double kMega = 1e6;
constexpr int32_t kChunkSize = 4096;  // what the library moves per step
constexpr int kManyPorts = 32;
constexpr auto kConnectWait = milliseconds(3000);

// The columns: a plain socket as the baseline, then the two modes of a port.
enum class Mode { kPlain, kDefault, kFast };

}  // namespace port_bench
