// SPDX-License-Identifier: MIT
// The storage of the port table and the library-wide values.
#include "core/control_block.h"

#include <type_traits>

#include "platform/never_destroyed.h"

namespace zortcp {
namespace {

// The blocks hold the rings' memory, which a static destructor would free
// under monitors that still run when a host that loaded the library at run
// time calls exit(): the table is never destroyed.
constinit NeverDestroyed<std::array<PortControlBlock, kPortCount>> table;
LibraryState library;
static_assert(std::is_trivially_destructible_v<LibraryState>);

}  // namespace

std::array<PortControlBlock, kPortCount>& PortTable() { return *table; }
LibraryState& Library() { return library; }

}  // namespace zortcp
