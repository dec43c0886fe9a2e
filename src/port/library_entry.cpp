// SPDX-License-Identifier: MIT
// What the shared library does when the system loads it (every block fresh)
// and unloads it (closing every open port). The system's entry point in the
// platform layer calls it.
#include "platform/platform.h"
#include "port/port_table.h"

namespace zortcp::platform {

const LibraryLife kLibraryLife{[] { LibraryLoad(); }, [] { LibraryUnload(); }};

}  // namespace zortcp::platform
