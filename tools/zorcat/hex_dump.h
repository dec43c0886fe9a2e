// SPDX-License-Identifier: MIT
// Received bytes as a hexadecimal dump, for --hex.
//
// Each row shows the stream offset of its first byte in eight hexadecimal
// digits, up to 16 bytes in two groups of eight, and the bytes as
// characters between bars, with "." for anything but printable ASCII:
//
//   00000000  48 65 6c 6c 6f 2c 20 7a  6f 72 74 63 70 21 0d 0a  |Hello, zortcp!..|
//   00000010  41 42 43                                          |ABC|
//
// Every receive starts a row of its own, so a device's replies stay apart;
// the offsets count on through the whole connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zorcat {

class HexDump {
 public:
  static constexpr size_t kRowBytes = 16;

  // The rows of one receive, each ending in "\n".
  std::string Rows(const uint8_t* data, size_t size);

 private:
  static std::string Row(uint64_t offset, const uint8_t* data, size_t size);
  uint64_t offset_ = 0;
};

}  // namespace zorcat
