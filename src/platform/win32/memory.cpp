// SPDX-License-Identifier: MIT
// Zero-filled memory blocks.
#include <new>

#include "platform/fault_injection.h"
#include "platform/platform.h"
#include "platform/win32/system.h"

namespace zortcp::platform {
namespace {

// From this size up a block comes straight from VirtualAlloc: its pages
// are demand-zero and take no physical memory until they are first touched,
// so a large ring that carries little traffic stays small. Smaller blocks
// come from the heap, where a 64 KiB-granular reservation would waste more
// than it saves.
constexpr size_t kMappedBlockBytes = 128 * 1024;

MemoryBlock HeapZeroed(size_t bytes) {
  try {
    return std::make_shared<uint8_t[]>(bytes);
  } catch (...) {
    SetLastSystemError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

MemoryBlock MappedZeroed(size_t bytes) {
  void* pages = VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (pages == nullptr) {
    SetLastSystemError(static_cast<int32_t>(GetLastError()));
    return nullptr;
  }
  try {
    return MemoryBlock(static_cast<uint8_t*>(pages),
                       [](uint8_t* block) { VirtualFree(block, 0, MEM_RELEASE); });
  } catch (...) {
    // The shared pointer has already released the pages with its deleter.
    SetLastSystemError(ERROR_NOT_ENOUGH_MEMORY);
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
