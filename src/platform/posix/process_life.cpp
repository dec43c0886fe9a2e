// SPDX-License-Identifier: MIT
// Fork and exit: what the platform layer does around them, and keeping the
// library's code mapped while a thread of it may still run.
//
// A dlclose unmaps the code right after the library's destructor returns,
// and a request made from within that destructor to keep it loaded
// (dlopen with RTLD_NODELETE) is accepted but not honoured by glibc: the
// decision to unmap is taken before the destructor runs. So the library
// holds a reference to itself from the moment a port that calls host code
// opens until that port is closed: a dlclose meanwhile only drops the
// host's reference, and runs no unload that would have to wait for a
// handler. A thread left in the host's code by a close is handled in two
// ways: outside an unload the code is pinned with RTLD_NODELETE at once,
// and an unload (one whose hold failed) waits for such threads
// (WaitForLeftThreads) before it returns.
#include "platform/posix/process_life.h"

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <mutex>

#include "platform/fault_injection.h"
#include "platform/platform.h"

namespace zortcp::platform {
namespace {

std::atomic<bool> exiting{false};
std::atomic<bool> codeKept{false};

// The references that HoldLibrary took and ReleaseLibrary has not given
// back, and the handle they were taken through (the same for all).
std::atomic<int32_t> heldReferences{0};
std::atomic<void*> ownModule{nullptr};

// One more reference to the shared object that holds the library, with
// extra flags; nullptr when the library is part of the program itself.
void* ReferenceOwnModule(int flags) {
  Dl_info self{};
  if (dladdr(reinterpret_cast<void*>(&ReferenceOwnModule), &self) == 0 ||
      self.dli_fname == nullptr) {
    return nullptr;
  }
  return dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD | flags);
}

// Written by WatchProcessLife at load, read by the fork handlers.
std::atomic<void (*)()> prepareHook{nullptr};
std::atomic<void (*)()> parentHook{nullptr};
std::atomic<void (*)()> childHook{nullptr};

void RunHook(const std::atomic<void (*)()>& hook) {
  if (auto function = hook.load(std::memory_order_acquire)) function();
}

// The hooks of the layers above go first and come back last, so that no
// lock of theirs is taken while one of the platform layer's is held.
void BeforeFork() {
  RunHook(prepareHook);
  faults::HoldForFork();
  posix::HoldSocketsForFork();
}

void AfterForkInParent() {
  posix::ReleaseSocketsAfterFork();
  faults::ReleaseAfterFork();
  RunHook(parentHook);
}

void AfterForkInChild() {
  posix::ReleaseSocketsAfterFork();
  faults::ReleaseAfterFork();
  posix::ForgetInheritedSockets();
  posix::ForgetInheritedThreads();
  RunHook(childHook);
}

// Its destructor runs with the process's exit handlers, which come before
// the library's unload at exit (and after it at dlclose, where it no longer
// matters). A static destructor is registered for this shared object alone
// and forgotten at its dlclose, which is not true of every atexit(). Left
// threads that have finished by then are joined, so that none is left
// unjoined at the end.
struct ExitWatch {
  ~ExitWatch() {
    exiting.store(true, std::memory_order_release);
    posix::ReapLeftThreads();
  }
};

ExitWatch exitWatch;

}  // namespace

void WatchProcessLife(const ForkHooks& hooks) {
  prepareHook.store(hooks.prepare, std::memory_order_release);
  parentHook.store(hooks.parent, std::memory_order_release);
  childHook.store(hooks.child, std::memory_order_release);
  static std::once_flag watching;
  std::call_once(watching, [] {
    // It fails only for want of memory; the library then works as before,
    // without the fork handling.
    pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild);
  });
}

bool ProcessExiting() { return exiting.load(std::memory_order_acquire); }

void HoldLibrary() {
  void* module = ReferenceOwnModule(0);
  if (module == nullptr) return;
  ownModule.store(module, std::memory_order_release);
  heldReferences.fetch_add(1, std::memory_order_acq_rel);
}

void ReleaseLibrary() {
  int32_t held = heldReferences.load(std::memory_order_acquire);
  do {
    if (held == 0) return;
  } while (!heldReferences.compare_exchange_weak(held, held - 1, std::memory_order_acq_rel));
  // On a library thread the reference stays: it may be the last one.
  if (CurrentThreadArgument() != nullptr) return;
  dlclose(ownModule.load(std::memory_order_acquire));
}

void ReleaseIdleMemory() {
  posix::ReleaseIdleSocketMemory();
  posix::ReleaseIdleThreadMemory();
}

namespace posix {

void KeepCodeLoaded() {
  if (ProcessExiting() || codeKept.exchange(true)) return;
  // The reference is kept for good: the object stays loaded to the end.
  ReferenceOwnModule(RTLD_NODELETE);
}

}  // namespace posix
}  // namespace zortcp::platform
