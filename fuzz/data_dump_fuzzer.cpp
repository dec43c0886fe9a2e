// SPDX-License-Identifier: MIT
// The raw data dump of any bytes, read back and taken apart: a header line
// with the count, then one row per 16 bytes (a lone empty row for none),
// each with its offset in at least four lower-case hex digits and ":  ",
// the bytes in hex with "- " after the eighth of a longer row, and the
// bytes as characters from column 59 (one further per extra offset digit),
// control characters shown as dots. Nothing else may reach the log.
//
// Inputs stay within libFuzzer's 4096 bytes by default, so the offsets
// have four digits here; DebugLogTest.OffsetsTakeFiveDigitsFrom0x10000
// covers the fifth.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/control_block.h"
#include "core/text.h"
#include "diagnostics/debug_log.h"
#include "fuzz/fuzz_support.h"

namespace {

using zortcp::fuzzing::ScratchFile;

constexpr int kDumpLevel = 3;
constexpr size_t kBytesPerRow = 16;
constexpr size_t kHexColumns = 52;  // 16 cells of 3, the "- " or its blanks, and the gap

// The check itself is left out of the coverage that guides the fuzzer.
#define ZORTCP_NOT_GUIDING __attribute__((no_sanitize("coverage")))

ZORTCP_NOT_GUIDING void AppendHex(std::string& text, size_t value, size_t digits) {
  static constexpr char kDigits[] = "0123456789abcdef";
  char reversed[16];
  size_t length = 0;
  for (; value != 0 || length < digits; value >>= 4) reversed[length++] = kDigits[value & 0xF];
  while (length > 0) text += reversed[--length];
}

// The row that must stand for bytes[offset .. offset + count).
ZORTCP_NOT_GUIDING void AppendRow(std::string& text, const uint8_t* bytes, size_t offset,
                                  size_t count) {
  const size_t rowStart = text.size();
  AppendHex(text, offset, 4);
  text += ":  ";
  const size_t charactersAt = text.size() - rowStart + kHexColumns;
  for (size_t i = 0; i < count; ++i) {
    AppendHex(text, bytes[offset + i], 2);
    text += ' ';
    if (i == 7 && count > 8) text += "- ";
  }
  text.resize(rowStart + charactersAt, ' ');
  for (size_t i = 0; i < count; ++i) {
    const uint8_t byte = bytes[offset + i];
    text += byte < 0x20 ? '.' : static_cast<char>(byte);
  }
  text += '\n';
}

ZORTCP_NOT_GUIDING std::string ExpectedDump(const std::vector<uint8_t>& bytes) {
  std::string text = "Raw Data Dump - " + std::to_string(bytes.size()) + " Bytes\n";
  text.reserve(text.size() + (bytes.size() / kBytesPerRow + 1) * 80);
  if (bytes.empty()) return text + "0000:  \n";  // an empty dump is one ended row
  for (size_t offset = 0; offset < bytes.size(); offset += kBytesPerRow) {
    AppendRow(text, bytes.data(), offset, std::min(kBytesPerRow, bytes.size() - offset));
  }
  return text;
}

ZORTCP_NOT_GUIDING void CheckLayout(const std::string& log, const std::vector<uint8_t>& bytes) {
  const std::string expected = ExpectedDump(bytes);
  if (log == expected) return;
  const size_t differs =
      std::mismatch(log.begin(), log.end(), expected.begin(), expected.end()).first - log.begin();
  std::fprintf(stderr, "the dump of %zu bytes differs from byte %zu of its text on\n", bytes.size(),
               differs);
  ZORTCP_FUZZ_CHECK(false,
                    "the dump has its header, offsets, hex and characters, and nothing else");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ScratchFile file("dump");
  const std::vector<uint8_t> bytes(data, data + size);

  auto block = std::make_unique<zortcp::PortControlBlock>();
  zortcp::CopyText(block->log.fileName, file.path().c_str());
  block->log.level.store(kDumpLevel);
  zortcp::OpenDebugLog(*block);
  ZORTCP_FUZZ_CHECK(zortcp::LogIsOpen(*block), "the log opens");
  // A level above the port's writes nothing; the dump itself is exact.
  zortcp::LogDataDump(*block, kDumpLevel + 1, bytes.data(), static_cast<int32_t>(bytes.size()));
  zortcp::LogDataDump(*block, kDumpLevel, bytes.data(), static_cast<int32_t>(bytes.size()));
  zortcp::CloseDebugLog(*block);
  CheckLayout(zortcp::fuzzing::ReadWhole(file.path()), bytes);
  return 0;
}
