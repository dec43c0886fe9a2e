// The shared library's entry point: load when the process loads the
// library, unload (closing every open port) when it unloads it.
#include "port/control_block.h"

namespace {

__attribute__((constructor)) void LoadLibrary() { zortcp::LibraryLoad(); }
__attribute__((destructor)) void UnloadLibrary() { zortcp::LibraryUnload(); }

}  // namespace
