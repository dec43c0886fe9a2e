// SPDX-License-Identifier: MIT
// What the rest of the platform layer needs to know about the calling
// thread: whether it is a library thread, and how its waits are ended when
// it is terminated.
#pragma once

#include "platform/win32/system.h"

namespace zortcp::platform::win32 {

// The calling library thread's termination event: a manual-reset event
// that is set, and stays so, once the thread is terminated. Null on a
// thread the library did not create.
HANDLE TerminationEvent();

// The calling library thread's own waitable timer for sleeps (high
// resolution where the system has it); null on other threads, or when the
// system could give none.
HANDLE SleepTimer();

// True when the calling thread is a library thread that has been terminated.
bool TerminationRequested();

// Counts a library thread's wait in WaitingLibraryThreads while it lives.
class CountedThreadWait {
 public:
  CountedThreadWait();
  ~CountedThreadWait();
  CountedThreadWait(const CountedThreadWait&) = delete;
  CountedThreadWait& operator=(const CountedThreadWait&) = delete;
};

}  // namespace zortcp::platform::win32
