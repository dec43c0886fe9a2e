// SPDX-License-Identifier: MIT
// Zero-filled memory blocks.
#include <new>

#include "platform/fault_injection.h"
#include "platform/platform.h"
#include "platform/system_memory.h"

namespace zortcp::platform {
namespace {

// From this size up a block is mapped straight from the system: its pages
// are zero and take no resident memory until they are first touched, so a
// large ring that carries little traffic stays small. Smaller blocks come
// from the heap, where a page-granular mapping (64 KiB-granular on
// Windows) would waste more than it saves.
constexpr size_t kMappedBlockBytes = 128 * 1024;

MemoryBlock HeapZeroed(size_t bytes) {
  try {
    // One allocation for the bytes and the count; the bytes are
    // value-initialised, that is zero.
    return std::make_shared<uint8_t[]>(bytes);
  } catch (...) {
    pages::RecordOutOfMemory();
    return nullptr;
  }
}

MemoryBlock MappedZeroed(size_t bytes) {
  void* mapped = pages::MapZeroed(bytes);
  if (mapped == nullptr) return nullptr;
  try {
    return MemoryBlock(static_cast<uint8_t*>(mapped),
                       [bytes](uint8_t* block) { pages::Unmap(block, bytes); });
  } catch (...) {
    // The shared pointer has already unmapped the pages with its deleter.
    pages::RecordOutOfMemory();
    return nullptr;
  }
}

}  // namespace

MemoryBlock AllocateZeroed(size_t bytes) {
  int32_t injected = 0;
  if (faults::ShouldFail(faults::Operation::kAllocate, kNoSocket, &injected)) {
    SetLastSystemError(injected);
    return nullptr;
  }
  return bytes < kMappedBlockBytes ? HeapZeroed(bytes) : MappedZeroed(bytes);
}

}  // namespace zortcp::platform
