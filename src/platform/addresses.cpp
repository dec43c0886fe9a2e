// SPDX-License-Identifier: MIT
// Byte order, and the dotted form of IPv4 addresses.
#include <bit>
#include <cstring>

#include "platform/platform.h"

namespace zortcp::platform {
namespace {

// Network byte order is big-endian.
template <typename Value>
Value SwapToNetwork(Value value) {
  if constexpr (std::endian::native == std::endian::big) return value;
  Value swapped = 0;
  for (size_t i = 0; i < sizeof(Value); ++i) {
    swapped = static_cast<Value>((swapped << 8) | (value & 0xFF));
    value = static_cast<Value>(value >> 8);
  }
  return swapped;
}

}  // namespace

uint16_t HostToNetwork16(uint16_t value) { return SwapToNetwork(value); }
uint16_t NetworkToHost16(uint16_t value) { return SwapToNetwork(value); }
uint32_t HostToNetwork32(uint32_t value) { return SwapToNetwork(value); }

std::string FormatDottedAddress(uint32_t address) {
  // The bytes of an address in network byte order are its parts, first to
  // last. Written here rather than with inet_ntoa, whose buffer other
  // calls overwrite.
  uint8_t parts[4];
  std::memcpy(parts, &address, sizeof(parts));
  std::string text;
  for (const uint8_t part : parts) {
    if (!text.empty()) text += '.';
    text += std::to_string(part);
  }
  return text;
}

}  // namespace zortcp::platform
