// SPDX-License-Identifier: MIT
#include "diagnostics/debug_log.h"

#include <cstdarg>
#include <cstdio>

#include "core/control_block.h"
#include "platform/platform.h"

namespace zortcp {
namespace {

constexpr int32_t kBytesPerRow = 16;
constexpr int32_t kBytesPerHalfRow = 8;
constexpr unsigned char kFirstPrintable = 32;

// Room for the longest row: an eight-digit offset, 16 bytes in hex with the
// separator, the gap and 16 characters.
constexpr int kRowBufferSize = 128;

bool LevelEnabled(const PortControlBlock& block, int32_t level) {
  return level <= block.log.level.load(std::memory_order_relaxed);
}

// Accumulates one dump row so that it reaches the stream in one write.
class RowBuffer {
 public:
  void Offset(int32_t offset) {
    // "%.4x" prints as "%04.4x" does: the zero flag is ignored when a
    // precision is given.
    length_ += std::snprintf(text_ + length_, sizeof text_ - static_cast<size_t>(length_),
                             "%.4x:  ", static_cast<unsigned>(offset));
  }
  void HexByte(unsigned char byte) {
    static constexpr char kDigits[] = "0123456789abcdef";
    text_[length_++] = kDigits[byte >> 4];
    text_[length_++] = kDigits[byte & 0x0F];
    text_[length_++] = ' ';
  }
  void Text(const char* text) {
    while (*text != '\0') text_[length_++] = *text++;
  }
  void Characters(const unsigned char* bytes, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
      text_[length_++] = bytes[i] < kFirstPrintable ? '.' : static_cast<char>(bytes[i]);
    }
  }
  void WriteTo(std::FILE* file) {
    std::fwrite(text_, 1, static_cast<size_t>(length_), file);
    length_ = 0;
  }

 private:
  char text_[kRowBufferSize];
  int length_ = 0;
};

// The hex column always spans 16 byte cells and the half-row separator, so
// the characters of a partial row line up with those of a full one.
void FinishRow(RowBuffer& row, const unsigned char* rowStart, int32_t count) {
  if (count <= kBytesPerHalfRow) row.Text("  ");
  for (int32_t missing = count; missing < kBytesPerRow; ++missing) row.Text("   ");
  row.Text("  ");
  row.Characters(rowStart, count);
  row.Text("\n");
}

void WriteDump(std::FILE* file, const unsigned char* bytes, int32_t size) {
  std::fprintf(file, "Raw Data Dump - %d Bytes\n", size);
  RowBuffer row;
  row.Offset(0);
  if (size <= 0) {
    // An empty dump ends its row so that the next line starts on its own.
    row.Text("\n");
    row.WriteTo(file);
    return;
  }
  for (int32_t rowStart = 0; rowStart < size; rowStart += kBytesPerRow) {
    const int32_t count = size - rowStart < kBytesPerRow ? size - rowStart : kBytesPerRow;
    if (rowStart != 0) row.Offset(rowStart);
    for (int32_t i = 0; i < count; ++i) {
      row.HexByte(bytes[rowStart + i]);
      if (i + 1 == kBytesPerHalfRow && count > kBytesPerHalfRow) row.Text("- ");
    }
    FinishRow(row, bytes + rowStart, count);
    row.WriteTo(file);
  }
}

}  // namespace

bool LogIsOpen(const PortControlBlock& block) {
  return block.log.file.load(std::memory_order_acquire) != nullptr;
}

void LogMessage(PortControlBlock& block, int32_t level, const char* format, ...) {
  if (!LevelEnabled(block, level) || !LogIsOpen(block)) return;
  SpinLockGuard guard(block.log.lock);
  // Looked at again under the lock: CloseDebugLog clears it under the same
  // lock, so no line reaches a closed stream.
  std::FILE* file = block.log.file.load(std::memory_order_acquire);
  if (file == nullptr) return;

  const platform::LocalTime now = platform::CurrentLocalTime();
  // "%.2d" prints as "%02.2d" does: the zero flag is ignored when a
  // precision is given.
  std::fprintf(file, "[%.2d/%.2d/%.4d %.2d:%.2d:%.2d.%.3d] ", now.day, now.month, now.year,
               now.hour, now.minute, now.second, now.milliseconds);
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(file, format, arguments);
  va_end(arguments);
  std::fflush(file);
}

void LogDataDump(PortControlBlock& block, int32_t level, const void* data, int32_t size) {
  if (!LevelEnabled(block, level) || !LogIsOpen(block)) return;
  SpinLockGuard guard(block.log.lock);
  std::FILE* file = block.log.file.load(std::memory_order_acquire);
  if (file == nullptr) return;
  WriteDump(file, static_cast<const unsigned char*>(data), size);
  std::fflush(file);
}

void OpenDebugLog(PortControlBlock& block) {
  // A file that cannot be opened at once (a FIFO without a reader) counts
  // as one that cannot be created.
  std::FILE* file = platform::CreateTextFile(block.log.fileName);
  if (file == nullptr) {
    block.log.level.store(0, std::memory_order_relaxed);
    return;
  }
  SpinLockGuard guard(block.log.lock);
  block.log.file.store(file, std::memory_order_release);
}

void ForgetInheritedLog(PortControlBlock& block) {
  std::FILE* file = block.log.file.exchange(nullptr, std::memory_order_acq_rel);
  if (file == nullptr) return;
  platform::DiscardFile(file);
}

void CloseDebugLog(PortControlBlock& block) {
  SpinLockGuard guard(block.log.lock);
  std::FILE* file = block.log.file.exchange(nullptr, std::memory_order_acq_rel);
  if (file != nullptr) std::fclose(file);
}

}  // namespace zortcp
