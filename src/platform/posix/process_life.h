// SPDX-License-Identifier: MIT
// The parts of the platform layer that take part in fork() and in keeping
// the library's code mapped.
#pragma once

namespace zortcp::platform::posix {

// Keeps the shared object that holds the library mapped until the process
// ends (once; nothing when the library is part of the program itself or
// the process is exiting).
void KeepCodeLoaded();

// The socket table: its lock is held across a fork; the child closes its
// copies of the descriptors and starts with an empty table.
void HoldSocketsForFork();
void ReleaseSocketsAfterFork();
void ForgetInheritedSockets();

// The threads: the child drops the parent's left threads.
void ForgetInheritedThreads();
// Joins the left threads that have finished, without waiting for others.
void ReapLeftThreads();

// The memory that the socket table and the list of left threads keep for
// their next entries, given back when they are empty.
void ReleaseIdleSocketMemory();
void ReleaseIdleThreadMemory();

}  // namespace zortcp::platform::posix
