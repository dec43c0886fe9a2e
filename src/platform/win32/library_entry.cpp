// SPDX-License-Identifier: MIT
// The DLL's entry point. It runs under the loader lock, so it never waits
// for anything: not for a thread (a thread's exit needs the same lock).
//
// - Load: every block fresh.
// - FreeLibrary with ports open: each of their monitor threads holds its own
//   reference to the DLL, so the host's FreeLibrary only drops the host's
//   reference; the DLL stays loaded and the ports go on until the process
//   ends. The unload comes once no library thread is left, and then closes
//   what remains without waiting for any monitor, since none runs.
// - Process exit: the system has already ended every other thread, perhaps
//   inside one of the library's locks; nothing is touched.
#include "platform/platform.h"
#include "platform/win32/process_life.h"
#include "platform/win32/system.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE /*module*/, DWORD reason, LPVOID reserved) {
  using namespace zortcp::platform;
  if (reason == DLL_PROCESS_ATTACH) {
    kLibraryLife.load();
  } else if (reason == DLL_PROCESS_DETACH) {
    if (reserved != nullptr) {
      win32::MarkProcessExiting();
      return TRUE;
    }
    kLibraryLife.unload();
    ReleaseIdleMemory();
  }
  return TRUE;
}
