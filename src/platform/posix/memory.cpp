// SPDX-License-Identifier: MIT
// Pages for large zero-filled memory blocks.
#include <sys/mman.h>

#include <cerrno>

#include "platform/platform.h"
#include "platform/system_memory.h"

namespace zortcp::platform::pages {

void* MapZeroed(size_t bytes) {
  void* mapped = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped != MAP_FAILED) return mapped;
  RecordOutOfMemory();
  return nullptr;
}

void Unmap(void* pages, size_t bytes) { munmap(pages, bytes); }

void RecordOutOfMemory() { SetLastSystemError(ENOMEM); }

}  // namespace zortcp::platform::pages
