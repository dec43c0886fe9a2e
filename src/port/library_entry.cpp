// SPDX-License-Identifier: MIT
// The shared library's entry point: load when the process loads the
// library, unload (closing every open port) when it unloads it.
#include "platform/platform.h"
#include "port/port_table.h"

namespace {

__attribute__((constructor)) void LoadLibrary() { zortcp::LibraryLoad(); }

__attribute__((destructor)) void UnloadLibrary() {
  zortcp::LibraryUnload();
  // A dlclose unmaps the code as soon as this returns: a monitor that the
  // unload had to leave in the host's handler must have left the library
  // first. At exit the code stays mapped and nothing need wait.
  if (zortcp::platform::ProcessExiting()) return;
  zortcp::platform::WaitForLeftThreads();
  zortcp::platform::ReleaseIdleMemory();
}

}  // namespace
