// SPDX-License-Identifier: MIT
// Library threads: created suspended, resumed, self-suspended, and
// terminated cooperatively.
//
// TerminateThread would end a thread inside a lock or an allocation, so
// termination is a request that every wait of the library honours at once:
// the thread's termination event is set (every wait of the library waits on
// it too) and the wait throws ThreadTerminated, which unwinds to the
// thread's entry function.
//
// Each thread holds a reference to the module that holds the library from
// its creation on and gives it back with FreeLibraryAndExitThread, so a
// thread left in host code, or running while the host lets go of the DLL,
// never finds the library's code gone.
#include <atomic>
#include <memory>
#include <new>

#include "platform/fault_injection.h"
#include "platform/platform.h"
#include "platform/win32/system.h"
#include "platform/win32/thread_context.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace zortcp::platform {
namespace {

// How long closing a handle waits for a thread that has been terminated (or
// is returning) to finish before leaving it to finish on its own.
constexpr DWORD kExitGraceMs = 500;

// The state shared by the handle and the thread itself, so that whichever
// lets go last frees it: a terminated thread stuck in host code that
// returns long after its handle was closed still finds it.
struct ThreadCore {
  ThreadRoutine routine = nullptr;
  void* argument = nullptr;
  HANDLE terminationEvent = nullptr;  // manual reset, set once by TerminateThread
  HANDLE resumeEvent = nullptr;       // auto reset: holds one resume not yet consumed
  HANDLE sleepTimer = nullptr;        // for Sleep; may be null
  std::atomic<bool> terminated{false};

  ThreadCore() = default;
  ThreadCore(const ThreadCore&) = delete;
  ThreadCore& operator=(const ThreadCore&) = delete;
  ~ThreadCore() {
    if (terminationEvent != nullptr) CloseHandle(terminationEvent);
    if (resumeEvent != nullptr) CloseHandle(resumeEvent);
    if (sleepTimer != nullptr) CloseHandle(sleepTimer);
  }
};

thread_local ThreadCore* currentThread = nullptr;

std::atomic<int32_t> waitingThreads{0};

void SignalTermination(ThreadCore& core) {
  if (core.terminated.exchange(true, std::memory_order_acq_rel)) return;
  SetEvent(core.terminationEvent);
}

// The module that holds this code (the DLL, or a program that links the
// library in), with one more reference for the thread; null when it cannot
// be had, and the thread then simply returns.
HMODULE ReferenceOwnModule() {
  HMODULE module = nullptr;
  if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                         reinterpret_cast<LPCWSTR>(&ReferenceOwnModule), &module) == 0) {
    return nullptr;
  }
  return module;
}

// What the system starts the thread with: its share of the state and the
// module reference it gives back when it ends.
struct StartBlock {
  std::shared_ptr<ThreadCore> core;
  HMODULE module;
};

DWORD WINAPI ThreadEntry(LPVOID parameter) {
  HMODULE module = nullptr;
  {
    std::unique_ptr<StartBlock> start(static_cast<StartBlock*>(parameter));
    module = start->module;
    ThreadCore& core = *start->core;
    currentThread = &core;
    try {
      if (!core.terminated.load(std::memory_order_acquire)) core.routine(core.argument);
    } catch (...) {
      // ThreadTerminated ends the thread here; nothing else may escape
      // either, since an exception leaving a thread ends the process.
    }
    currentThread = nullptr;
  }
  // The last reference may be this one: the module may go with it, so
  // nothing of the library runs after this call.
  if (module != nullptr) FreeLibraryAndExitThread(module, 0);
  return 0;
}

HANDLE NewEvent(bool manualReset) { return CreateEventW(nullptr, manualReset, FALSE, nullptr); }

// Timed waits move in steps of the system's timer period (15.6 ms unless a
// program asks for less); a high-resolution timer (Windows 10 1803 and
// later) keeps a 1 ms sleep close to 1 ms.
HANDLE NewSleepTimer() {
  HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                        TIMER_ALL_ACCESS);
  if (timer == nullptr) timer = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
  return timer;
}

}  // namespace

// The handle: the system's thread handle, and the handle's share of the
// state.
struct ThreadState {
  std::shared_ptr<ThreadCore> core;
  HANDLE thread = nullptr;
  DWORD id = 0;
  std::atomic<bool> started{false};
};

namespace win32 {

HANDLE TerminationEvent() {
  return currentThread != nullptr ? currentThread->terminationEvent : nullptr;
}

HANDLE SleepTimer() { return currentThread != nullptr ? currentThread->sleepTimer : nullptr; }

bool TerminationRequested() {
  return currentThread != nullptr && currentThread->terminated.load(std::memory_order_acquire);
}

CountedThreadWait::CountedThreadWait() { waitingThreads.fetch_add(1, std::memory_order_release); }
CountedThreadWait::~CountedThreadWait() { waitingThreads.fetch_sub(1, std::memory_order_release); }

}  // namespace win32

namespace {

// The state of a new thread, with its events; null with the last system
// error set.
std::shared_ptr<ThreadCore> NewCore(ThreadRoutine routine, void* argument) {
  std::shared_ptr<ThreadCore> core;
  try {
    core = std::make_shared<ThreadCore>();
  } catch (...) {
    SetLastSystemError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  core->routine = routine;
  core->argument = argument;
  core->terminationEvent = NewEvent(true);
  core->resumeEvent = NewEvent(false);
  core->sleepTimer = NewSleepTimer();
  if (core->terminationEvent == nullptr || core->resumeEvent == nullptr) {
    SetLastSystemError(static_cast<int32_t>(GetLastError()));
    return nullptr;
  }
  return core;
}

}  // namespace

ThreadHandle CreateSuspendedThread(ThreadRoutine routine, void* argument) {
  int32_t injected = 0;
  if (faults::ShouldFail(faults::Operation::kCreateThread, kNoSocket, &injected)) {
    SetLastSystemError(injected);
    return nullptr;
  }
  std::shared_ptr<ThreadCore> core = NewCore(routine, argument);
  if (core == nullptr) return nullptr;
  auto* handle = new (std::nothrow) ThreadState;
  auto* start = new (std::nothrow) StartBlock{core, nullptr};
  if (handle == nullptr || start == nullptr) {
    delete handle;
    delete start;
    SetLastSystemError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  handle->core = std::move(core);
  start->module = ReferenceOwnModule();
  handle->thread = CreateThread(nullptr, 0, ThreadEntry, start, CREATE_SUSPENDED, &handle->id);
  if (handle->thread == nullptr) {
    SetLastSystemError(static_cast<int32_t>(GetLastError()));
    if (start->module != nullptr) FreeLibrary(start->module);
    delete start;
    delete handle;
    return nullptr;
  }
  return handle;
}

void ResumeThread(ThreadHandle thread) {
  if (thread == nullptr) return;
  if (!thread->started.exchange(true, std::memory_order_acq_rel)) {
    ::ResumeThread(thread->thread);
  } else {
    SetEvent(thread->core->resumeEvent);
  }
}

namespace {

// Waits for a resume, which it consumes, or a termination; false at once on
// a thread the library did not create. timeoutMs INFINITE for no limit.
bool SuspendFor(DWORD timeoutMs) {
  ThreadCore* core = currentThread;
  if (core == nullptr) return false;  // nothing could ever resume a host thread
  TerminationPoint();
  // The termination comes first, so that it wins over a resume.
  const HANDLE events[] = {core->terminationEvent, core->resumeEvent};
  const win32::CountedThreadWait counted;
  WaitForMultipleObjects(2, events, FALSE, timeoutMs);
  TerminationPoint();
  return true;
}

}  // namespace

void SuspendCurrentThread() { SuspendFor(INFINITE); }

bool SuspendCurrentThreadFor(uint32_t ms) { return SuspendFor(ms == INFINITE ? ms - 1 : ms); }

void TerminateThread(ThreadHandle thread) {
  if (thread == nullptr) return;
  SignalTermination(*thread->core);
}

void CloseThreadHandle(ThreadHandle thread) {
  if (thread == nullptr) return;
  // A thread that never ran is let run to its end, without its routine.
  if (!thread->started.exchange(true, std::memory_order_acq_rel)) {
    SignalTermination(*thread->core);
    ::ResumeThread(thread->thread);
  }
  // A thread that does not finish in time (stuck in host code) is left: it
  // holds its own state and its own reference to the module.
  if (thread->id != GetCurrentThreadId()) WaitForSingleObject(thread->thread, kExitGraceMs);
  CloseHandle(thread->thread);
  delete thread;
}

void TerminationPoint() {
  if (win32::TerminationRequested()) throw ThreadTerminated{};
}

void RethrowThreadEnd(void (*)(void*), void*) {
  try {
    throw;
  } catch (const ThreadTerminated&) {
    throw;
  } catch (...) {
  }
}

int32_t WaitingLibraryThreads() { return waitingThreads.load(std::memory_order_acquire); }

void* CurrentThreadArgument() {
  return currentThread != nullptr ? currentThread->argument : nullptr;
}

void SetCurrentThreadPriority(ThreadPriority priority) {
  // Best effort, as on every system.
  SetThreadPriority(GetCurrentThread(), priority == ThreadPriority::kTimeCritical
                                            ? THREAD_PRIORITY_TIME_CRITICAL
                                            : THREAD_PRIORITY_NORMAL);
}

}  // namespace zortcp::platform
