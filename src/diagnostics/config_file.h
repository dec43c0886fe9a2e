// SPDX-License-Identifier: MIT
// Library-wide defaults that every open starts from, and the per-port
// configuration file that overrides them.
#pragma once

#include <cstdint>

#include "core/control_block.h"

namespace zortcp {

inline constexpr int32_t kDefaultTextSize = 36;
inline constexpr uint32_t kMinimumRxRingSize = 0x5000;
inline constexpr uint32_t kMinimumTxRingSize = 0x1000;

struct LibraryDefaults {
  char defaultService[kDefaultTextSize] = "12999";
  char defaultServiceType[kDefaultTextSize] = "tcp";
  int32_t defaultConnectRetryCount = 0;
  int32_t defaultLookupHostName = 0;
  uint32_t defaultRxRingSize = 65536;
  uint32_t defaultTxRingSize = 8192;
  // Whether the host chose each size (ZorChangeBufferSizes); a port whose
  // pacing has ring sizes of its own uses them for a size not chosen.
  bool rxRingSizeChosen = false;
  bool txRingSizeChosen = false;
  int32_t defaultFastTransfer = 0;
  uint32_t defaultKeepAliveSeconds = 0;  // 0: off
  uint32_t defaultConnectTimeoutMs = 0;  // 0: the system's own
};

// The ranges of "Keep Alive" (seconds) and "Connect Timeout" (milliseconds);
// 0 turns either off, and a value outside its range is ignored.
inline constexpr uint32_t kMaxKeepAliveSeconds = 7200;
inline constexpr uint32_t kMaxConnectTimeoutMs = 600000;

// The defaults live from load to unload and are never reset.
LibraryDefaults& Defaults();

// The settings as the file named by fileName changes them: "Service Type",
// "Service Name", "Connect Retry Count", "Lookup Host Name", "Debug Level",
// "Debug Output File", "Fast Transfer", "Keep Alive", "Connect Timeout" and
// "Allowed Peers" (whose lines add to one list).
// A file that cannot be read changes nothing.
PortSettings ReadConfigFile(const char* fileName, PortSettings settings);

}  // namespace zortcp
