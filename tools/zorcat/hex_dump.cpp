// SPDX-License-Identifier: MIT
#include "zorcat/hex_dump.h"

#include <algorithm>
#include <cstdio>

namespace zorcat {
namespace {

constexpr size_t kGroupBytes = 8;
constexpr uint8_t kFirstPrintable = 0x20;
constexpr uint8_t kLastPrintable = 0x7e;

}  // namespace

std::string HexDump::Rows(const uint8_t* data, size_t size) {
  std::string rows;
  for (size_t done = 0; done < size; done += kRowBytes) {
    const size_t count = std::min(kRowBytes, size - done);
    rows += Row(offset_, data + done, count);
    offset_ += count;
  }
  return rows;
}

std::string HexDump::Row(uint64_t offset, const uint8_t* data, size_t size) {
  char field[24];
  std::snprintf(field, sizeof(field), "%08llx ", static_cast<unsigned long long>(offset));
  std::string row = field;
  for (size_t i = 0; i < kRowBytes; ++i) {
    if (i % kGroupBytes == 0) row += ' ';
    if (i < size) {
      std::snprintf(field, sizeof(field), "%02x ", data[i]);
      row += field;
    } else {
      row += "   ";
    }
  }
  row += " |";
  for (size_t i = 0; i < size; ++i) {
    const bool printable = data[i] >= kFirstPrintable && data[i] <= kLastPrintable;
    row += printable ? static_cast<char>(data[i]) : '.';
  }
  row += "|\n";
  return row;
}

}  // namespace zorcat
