// SPDX-License-Identifier: MIT
// What the rest of the platform layer needs to know about the calling
// thread: whether it is a library thread, and how its waits are ended when
// it is terminated.
#pragma once

namespace zortcp::platform::posix {

// The calling library thread's termination descriptor: an eventfd that
// becomes readable, and stays so, once the thread is terminated. -1 on a
// thread the library did not create.
int TerminationDescriptor();

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

}  // namespace zortcp::platform::posix
