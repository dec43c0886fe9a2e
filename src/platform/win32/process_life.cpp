// SPDX-License-Identifier: MIT
// Exit and unload on Windows.
//
// Windows has no fork, so the fork hooks are never run. A library thread
// holds its own reference to the module that holds the library and gives it
// back as its last act (FreeLibraryAndExitThread), so the code stays loaded
// while any library thread may still run: a FreeLibrary with ports open
// only drops the host's reference, and nothing ever waits for a thread
// under the loader lock.
#include "platform/win32/process_life.h"

#include <atomic>

#include "platform/platform.h"

namespace zortcp::platform {
namespace {

std::atomic<bool> exiting{false};

// Its destructor runs with the exit handlers of the module that holds the
// library (a program that links it in, or the DLL at its unload, where the
// entry point has already marked an exit).
struct ExitWatch {
  ~ExitWatch() { exiting.store(true, std::memory_order_release); }
};

ExitWatch exitWatch;

}  // namespace

void WatchProcessLife(const ForkHooks& /*hooks*/) {}

bool ProcessExiting() { return exiting.load(std::memory_order_acquire); }

// Every library thread already holds the module while it runs, so a
// FreeLibrary with ports open never unloads under host code: nothing more
// to hold.
void HoldLibrary() {}
void ReleaseLibrary() {}

// Each thread left in host code holds the module itself: nothing to wait for.
void WaitForLeftThreads() {}

void ReleaseIdleMemory() { win32::ReleaseIdleSocketMemory(); }

namespace win32 {

void MarkProcessExiting() { exiting.store(true, std::memory_order_release); }

}  // namespace win32
}  // namespace zortcp::platform
