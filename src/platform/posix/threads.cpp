// SPDX-License-Identifier: MIT
// Library threads: created held at a start gate, resumed, self-suspended,
// and terminated cooperatively.
//
// Linux has no safe way to end another thread, so termination is a request
// that every wait of the library honours at once: the thread's termination
// eventfd becomes readable (socket and sleep waits poll it) and its
// condition variable is signalled (the start gate and self-suspension wait
// on it); the wait then throws ThreadTerminated, which unwinds to the
// thread's entry function.
#include <cxxabi.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/fault_injection.h"
#include "platform/never_destroyed.h"
#include "platform/platform.h"
#include "platform/posix/process_life.h"
#include "platform/posix/thread_context.h"

namespace zortcp::platform {
namespace {

// How long closing a handle waits for a thread that has been terminated (or
// is returning) to finish before leaving it to finish on its own.
constexpr auto kExitGrace = std::chrono::milliseconds(500);

constexpr int kNiceNormal = 0;
constexpr int kNiceTimeCritical = -20;
constexpr unsigned long kMonitorTimerSlackNs = 1;

// The state shared by the handle and the thread itself, so that whichever
// lets go last frees it: a terminated thread stuck in host code that
// returns long after its handle was closed still finds it.
struct ThreadCore {
  ThreadRoutine routine = nullptr;
  void* argument = nullptr;
  int terminationFd = -1;  // eventfd, written once by TerminateThread

  std::atomic<bool> terminated{false};

  std::mutex mutex;
  std::condition_variable changed;
  bool started = false;      // guarded by mutex: the start gate is open
  bool resumeToken = false;  // guarded by mutex: a resume not yet consumed
  bool finished = false;     // guarded by mutex: the entry function is done

  ~ThreadCore() {
    if (terminationFd >= 0) close(terminationFd);
  }
};

thread_local ThreadCore* currentThread = nullptr;

std::atomic<int32_t> waitingThreads{0};

void SignalTermination(ThreadCore& core) {
  if (core.terminated.exchange(true, std::memory_order_acq_rel)) return;
  const uint64_t one = 1;
  if (write(core.terminationFd, &one, sizeof(one)) < 0) {
    // Cannot happen for an eventfd counter far below its limit; the
    // condition variable and the flag still end every wait but polls.
  }
  std::lock_guard lock(core.mutex);
  core.changed.notify_all();
}

// Waits at the start gate; false when the thread was terminated first.
bool PassStartGate(ThreadCore& core) {
  std::unique_lock lock(core.mutex);
  core.changed.wait(
      lock, [&] { return core.started || core.terminated.load(std::memory_order_acquire); });
  return !core.terminated.load(std::memory_order_acquire);
}

void MarkFinished(ThreadCore& core) {
  std::lock_guard lock(core.mutex);
  core.finished = true;
  core.changed.notify_all();
}

void ThreadEntry(std::shared_ptr<ThreadCore> core) {
  currentThread = core.get();
  prctl(PR_SET_TIMERSLACK, kMonitorTimerSlackNs, 0, 0, 0);
  try {
    if (PassStartGate(*core)) core->routine(core->argument);
  } catch (const abi::__forced_unwind&) {
    // The host's handler ended the thread (pthread_exit; Python does so to
    // a thread that calls into an interpreter that is finalizing): the
    // unwinding must go on, or the process aborts.
    currentThread = nullptr;
    MarkFinished(*core);
    throw;
  } catch (...) {
    // ThreadTerminated ends the thread here; nothing else may escape
    // either, since an exception leaving a thread ends the process.
  }
  currentThread = nullptr;
  MarkFinished(*core);
}

bool WaitFinished(ThreadCore& core) {
  std::unique_lock lock(core.mutex);
  return core.changed.wait_for(lock, kExitGrace, [&] { return core.finished; });
}

bool Finished(ThreadCore& core) {
  std::lock_guard lock(core.mutex);
  return core.finished;
}

}  // namespace

// The handle: the thread object, and the handle's share of the state.
struct ThreadState {
  std::shared_ptr<ThreadCore> core;
  std::thread thread;
};

namespace {

// Handles whose threads were still running when they were closed: kept
// joinable, so that an unload can wait until those threads have left the
// library's code, and joined as soon as they are seen finished.
struct LeftThreads {
  std::mutex mutex;
  std::vector<ThreadState*> handles;  // guarded by mutex
};

constinit NeverDestroyed<LeftThreads> leftThreads;

void JoinAndDelete(ThreadState* handle) {
  handle->thread.join();
  delete handle;
}

// Joins the left threads that have finished; called with the list's lock.
void ReapFinished(std::vector<ThreadState*>& handles) {
  std::erase_if(handles, [](ThreadState* handle) {
    if (!Finished(*handle->core)) return false;
    JoinAndDelete(handle);
    return true;
  });
}

void Leave(ThreadState* handle) {
  {
    std::lock_guard lock(leftThreads->mutex);
    ReapFinished(leftThreads->handles);
    try {
      leftThreads->handles.push_back(handle);
    } catch (...) {
      // No memory for the list: the thread frees its own state instead.
      handle->thread.detach();
      delete handle;
    }
  }
  // Unless a running unload waits for it, the thread may return into the
  // library's code at any later time, whatever the host does meanwhile.
  posix::KeepCodeLoaded();
}

}  // namespace

namespace posix {

int TerminationDescriptor() { return currentThread != nullptr ? currentThread->terminationFd : -1; }

bool TerminationRequested() {
  return currentThread != nullptr && currentThread->terminated.load(std::memory_order_acquire);
}

CountedThreadWait::CountedThreadWait() { waitingThreads.fetch_add(1, std::memory_order_release); }
CountedThreadWait::~CountedThreadWait() { waitingThreads.fetch_sub(1, std::memory_order_release); }

}  // namespace posix

ThreadHandle CreateSuspendedThread(ThreadRoutine routine, void* argument) {
  int32_t injected = 0;
  if (faults::ShouldFail(faults::Operation::kCreateThread, kNoSocket, &injected)) {
    SetLastSystemError(injected);
    return nullptr;
  }
  std::shared_ptr<ThreadCore> core;
  try {
    core = std::make_shared<ThreadCore>();
  } catch (...) {
    SetLastSystemError(ENOMEM);
    return nullptr;
  }
  core->routine = routine;
  core->argument = argument;
  core->terminationFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (core->terminationFd < 0) {
    SetLastSystemError(errno);
    return nullptr;
  }
  auto* handle = new (std::nothrow) ThreadState{core, {}};
  if (handle == nullptr) {
    SetLastSystemError(ENOMEM);
    return nullptr;
  }
  try {
    handle->thread = std::thread(ThreadEntry, core);
  } catch (const std::system_error& failure) {
    SetLastSystemError(failure.code().value());
    delete handle;
    return nullptr;
  } catch (...) {
    SetLastSystemError(ENOMEM);
    delete handle;
    return nullptr;
  }
  return handle;
}

void ResumeThread(ThreadHandle thread) {
  if (thread == nullptr) return;
  ThreadCore& core = *thread->core;
  std::lock_guard lock(core.mutex);
  if (!core.started) {
    core.started = true;
  } else {
    core.resumeToken = true;
  }
  core.changed.notify_all();
}

namespace {

// Waits with wait(condition, lock, resumed) for a resume, which it consumes;
// false at once on a thread the library did not create.
template <typename Wait>
bool SuspendWith(Wait wait) {
  ThreadCore* core = currentThread;
  if (core == nullptr) return false;  // nothing could ever resume a host thread
  std::unique_lock lock(core->mutex);
  // Counted under the mutex: a resume after the count has risen finds the
  // thread in its wait.
  const posix::CountedThreadWait counted;
  wait(core->changed, lock,
       [core] { return core->resumeToken || core->terminated.load(std::memory_order_acquire); });
  if (core->terminated.load(std::memory_order_acquire)) throw ThreadTerminated{};
  core->resumeToken = false;
  return true;
}

}  // namespace

void SuspendCurrentThread() {
  SuspendWith([](auto& changed, auto& lock, auto resumed) { changed.wait(lock, resumed); });
}

bool SuspendCurrentThreadFor(uint32_t ms) {
  return SuspendWith([ms](auto& changed, auto& lock, auto resumed) {
    changed.wait_for(lock, std::chrono::milliseconds(ms), resumed);
  });
}

void TerminateThread(ThreadHandle thread) {
  if (thread == nullptr) return;
  SignalTermination(*thread->core);
}

void CloseThreadHandle(ThreadHandle thread) {
  if (thread == nullptr) return;
  ThreadCore& core = *thread->core;
  bool neverStarted = false;
  {
    std::lock_guard lock(core.mutex);
    neverStarted = !core.started;
  }
  // A thread that never ran would otherwise wait at its gate for ever.
  if (neverStarted) SignalTermination(core);
  if (thread->thread.joinable()) {
    const bool ownHandle = thread->thread.get_id() == std::this_thread::get_id();
    if (ownHandle || !WaitFinished(core)) {
      Leave(thread);
      return;
    }
    thread->thread.join();
  }
  delete thread;
  posix::ReapLeftThreads();
}

int32_t WaitingLibraryThreads() { return waitingThreads.load(std::memory_order_acquire); }

void* CurrentThreadArgument() {
  return currentThread != nullptr ? currentThread->argument : nullptr;
}

void WaitForLeftThreads() {
  std::vector<ThreadState*> waited;
  {
    std::lock_guard lock(leftThreads->mutex);
    std::erase_if(leftThreads->handles, [&](ThreadState* handle) {
      if (handle->thread.get_id() == std::this_thread::get_id()) return false;
      waited.push_back(handle);
      return true;
    });
  }
  for (ThreadState* handle : waited) JoinAndDelete(handle);
}

namespace posix {

void ReapLeftThreads() {
  std::lock_guard lock(leftThreads->mutex);
  ReapFinished(leftThreads->handles);
}

void ReleaseIdleThreadMemory() {
  std::lock_guard lock(leftThreads->mutex);
  if (leftThreads->handles.empty()) std::vector<ThreadState*>().swap(leftThreads->handles);
}

void ForgetInheritedThreads() {
  // The parent's threads do not exist here: their handles are dropped
  // without a join, and a lock that one of them held is made anew.
  std::construct_at(&*leftThreads);
  // A host's handler that forked on a library thread: the child leaves the
  // library's code when the handler returns, without running a monitor.
  if (currentThread != nullptr) currentThread->terminated.store(true, std::memory_order_release);
}

}  // namespace posix

void TerminationPoint() {
  if (posix::TerminationRequested()) throw ThreadTerminated{};
}

void RethrowThreadEnd(void (*onHostEnd)(void*), void* context) {
  try {
    throw;
  } catch (const ThreadTerminated&) {
    throw;
  } catch (const abi::__forced_unwind&) {
    onHostEnd(context);
    throw;  // a thread being cancelled must unwind to its end
  } catch (...) {
  }
}

void SetCurrentThreadPriority(ThreadPriority priority) {
  const int nice = priority == ThreadPriority::kTimeCritical ? kNiceTimeCritical : kNiceNormal;
  // Raising the priority needs a privilege most users lack; the thread then
  // simply runs at its present one.
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), nice);
}

}  // namespace zortcp::platform
