// SPDX-License-Identifier: MIT
// LogDataDump of 4 KiB at level 3 to a temporary file, beside a plain hex
// dump of the same rows.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/control_block.h"
#include "diagnostics/debug_log.h"
#include "port_bench/host_sides.h"
#include "port_bench/measurements.h"

namespace port_bench {
namespace {

// A plain hex dump of the same rows (offset, 16 bytes in hexadecimal, their
// characters), formatted from a table into one buffer, one fwrite and one
// fflush per dump.
void PlainDump(std::FILE* file, const uint8_t* bytes, int32_t size) {
  static const char kHex[] = "0123456789abcdef";
  static char text[32768];
  int length = std::snprintf(text, sizeof(text), "Raw Data Dump - %d Bytes\n", size);
  for (int32_t row = 0; row < size; row += 16) {
    for (int shift = 12; shift >= 0; shift -= 4) text[length++] = kHex[(row >> shift) & 0xF];
    text[length++] = ':';
    text[length++] = ' ';
    for (int32_t i = row; i < row + 16; ++i) {
      text[length++] = ' ';
      text[length++] = kHex[bytes[i] >> 4];
      text[length++] = kHex[bytes[i] & 0xF];
    }
    text[length++] = ' ';
    text[length++] = ' ';
    for (int32_t i = row; i < row + 16; ++i) {
      text[length++] = bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
    }
    text[length++] = '\n';
  }
  std::fwrite(text, 1, static_cast<size_t>(length), file);
  std::fflush(file);
}

// Bytes dumped per second, for a block of either mode, or the plain dump.
double MeasureLogDump(Mode mode, const Options& options) {
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("zortcp-bench-log-" + std::to_string(std::random_device()())))
                               .string();
  const std::vector<uint8_t> data = Payload(kChunkSize);
  auto block = std::make_unique<zortcp::PortControlBlock>();
  std::FILE* plainFile = nullptr;
  if (mode == Mode::kPlain) {
    plainFile = std::fopen(path.c_str(), "w");
  } else {
    block->portNumber = 1;
    block->settings.fastTransfer = mode == Mode::kFast;
    block->log.level.store(3);
    std::snprintf(block->log.fileName, sizeof(block->log.fileName), "%s", path.c_str());
    zortcp::OpenDebugLog(*block);
  }
  int64_t dumps = 0;
  const auto start = Clock::now();
  const auto end = start + duration_cast<Clock::duration>(duration<double>(options.logSeconds));
  while (Clock::now() < end) {
    for (int i = 0; i < 16; ++i, ++dumps) {
      if (plainFile != nullptr) {
        PlainDump(plainFile, data.data(), kChunkSize);
      } else {
        zortcp::LogDataDump(*block, 3, data.data(), kChunkSize);
      }
    }
  }
  const double elapsed = Seconds(Clock::now() - start);
  if (plainFile != nullptr) std::fclose(plainFile);
  zortcp::CloseDebugLog(*block);
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
  return static_cast<double>(dumps) * kChunkSize / elapsed / kMega;
}

}  // namespace

void RunLogDump(const Options& options, Report& report) {
  report.Section("The debug log");
  const double plain = MeasureLogDump(Mode::kPlain, options);
  const double standard = MeasureLogDump(Mode::kDefault, options);
  const double fast = MeasureLogDump(Mode::kFast, options);
  report.Add({"LogDataDump 4 KiB at level 3", "MB/s dumped", plain, standard, fast});
}

}  // namespace port_bench
