// SPDX-License-Identifier: MIT
// The system's own page allocation behind AllocateZeroed.
#pragma once

#include <cstddef>

namespace zortcp::platform::pages {

// Zero-filled pages straight from the system, which take no memory until
// they are first touched; null with the last system error set.
void* MapZeroed(size_t bytes);

// Gives back pages that MapZeroed gave, with the size asked for then.
void Unmap(void* pages, size_t bytes);

// Sets the last system error to the system's number for memory that ran
// out.
void RecordOutOfMemory();

}  // namespace zortcp::platform::pages
