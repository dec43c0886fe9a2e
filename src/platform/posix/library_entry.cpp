// SPDX-License-Identifier: MIT
// The shared object's entry point: a constructor when the process loads it
// and a destructor when it unloads it, at dlclose or at exit.
#include "platform/platform.h"

namespace zortcp::platform {
namespace {

__attribute__((constructor)) void LoadLibrary() { kLibraryLife.load(); }

__attribute__((destructor)) void UnloadLibrary() {
  kLibraryLife.unload();
  // A dlclose unmaps the code as soon as this returns: a monitor that the
  // unload had to leave in the host's handler must have left the library
  // first. At exit the code stays mapped and nothing need wait.
  if (ProcessExiting()) return;
  WaitForLeftThreads();
  ReleaseIdleMemory();
}

}  // namespace
}  // namespace zortcp::platform
