// SPDX-License-Identifier: MIT
// Pages for large zero-filled memory blocks.
#include "platform/platform.h"
#include "platform/system_memory.h"
#include "platform/win32/system.h"

namespace zortcp::platform::pages {

void* MapZeroed(size_t bytes) {
  // Committed pages are demand-zero.
  void* mapped = VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (mapped == nullptr) SetLastSystemError(static_cast<int32_t>(GetLastError()));
  return mapped;
}

void Unmap(void* pages, size_t /*bytes*/) { VirtualFree(pages, 0, MEM_RELEASE); }

void RecordOutOfMemory() { SetLastSystemError(ERROR_NOT_ENOUGH_MEMORY); }

}  // namespace zortcp::platform::pages
