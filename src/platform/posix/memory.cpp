// SPDX-License-Identifier: MIT
// Zero-filled memory blocks.
#include <sys/mman.h>

#include <cerrno>
#include <new>

#include "platform/fault_injection.h"
#include "platform/platform.h"

namespace zortcp::platform {
namespace {

// From this size up a block is mapped straight from the system: its pages
// are zero and take no resident memory until they are first touched, so a
// large ring that carries little traffic stays small. Smaller blocks come
// from the heap, where a page-granular mapping would waste more than it
// saves.
constexpr size_t kMappedBlockBytes = 128 * 1024;

MemoryBlock HeapZeroed(size_t bytes) {
  try {
    // One allocation for the bytes and the count; the bytes are
    // value-initialised, that is zero.
    return std::make_shared<uint8_t[]>(bytes);
  } catch (...) {
    SetLastSystemError(ENOMEM);
    return nullptr;
  }
}

MemoryBlock MappedZeroed(size_t bytes) {
  void* pages = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) {
    SetLastSystemError(ENOMEM);
    return nullptr;
  }
  try {
    return MemoryBlock(static_cast<uint8_t*>(pages),
                       [bytes](uint8_t* block) { munmap(block, bytes); });
  } catch (...) {
    // The shared pointer has already unmapped the pages with its deleter.
    SetLastSystemError(ENOMEM);
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
