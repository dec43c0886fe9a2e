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
//
// The DLL carries its own copy of the C++ runtime, whose heap blocks come
// from the process's C library and so outlive the DLL: whatever the runtime
// keeps until the process ends is lost at each unload. The largest is the
// reserve from which exceptions are made when memory runs out (19 KB in the
// 32-bit DLL, 75 KB in the 64-bit one); the unload gives it back. What the
// runtime's thread library keeps for the threads that used it is out of
// reach (docs/windows.md).
#include "platform/platform.h"
#include "platform/win32/process_life.h"
#include "platform/win32/system.h"

#if defined(__GLIBCXX__)
namespace __gnu_cxx {
// libstdc++'s own call that frees its exception reserve; it has no header.
void __freeres();  // NOLINT(bugprone-reserved-identifier)
}  // namespace __gnu_cxx
#endif

namespace {

// Keeps ws2_32.dll loaded for the rest of the process's life. Seen under
// Wine 8: once a process has let ws2_32.dll go (this DLL was its only
// user) and loads it again, bind and connect refuse every new socket with
// 10038, so a host that freed the DLL and loaded it again could open no
// port. Windows is not known to do so (not tried there); a system DLL left
// loaded costs nothing.
void KeepWinsockLoaded() {
  HMODULE winsock = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN, L"ws2_32.dll", &winsock);
}

// Frees what the C++ runtime keeps for the process's life: at an unload
// only, once no library thread is left, so nothing can throw any more
// (the static destructors that follow throw nothing).
void ReleaseRuntimeMemory() {
#if defined(__GLIBCXX__)
  __gnu_cxx::__freeres();
#endif
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE /*module*/, DWORD reason, LPVOID reserved) {
  using namespace zortcp::platform;
  if (reason == DLL_PROCESS_ATTACH) {
    KeepWinsockLoaded();
    kLibraryLife.load();
  } else if (reason == DLL_PROCESS_DETACH) {
    if (reserved != nullptr) {
      win32::MarkProcessExiting();
      return TRUE;
    }
    kLibraryLife.unload();
    ReleaseIdleMemory();
    ReleaseRuntimeMemory();
  }
  return TRUE;
}
