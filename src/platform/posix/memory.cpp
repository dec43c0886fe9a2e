// Zero-filled memory blocks.
#include <cerrno>
#include <new>

#include "platform/fault_injection.h"
#include "platform/platform.h"

namespace zortcp::platform {

MemoryBlock AllocateZeroed(size_t bytes) {
  int32_t injected = 0;
  if (faults::ShouldFail(faults::Operation::kAllocate, kNoSocket, &injected)) {
    SetLastSystemError(injected);
    return nullptr;
  }
  try {
    // One allocation for the bytes and the count; the bytes are
    // value-initialised, that is zero.
    return std::make_shared<uint8_t[]>(bytes);
  } catch (...) {
    SetLastSystemError(ENOMEM);
    return nullptr;
  }
}

}  // namespace zortcp::platform
