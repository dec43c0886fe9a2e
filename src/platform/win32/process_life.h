// SPDX-License-Identifier: MIT
// The parts of the platform layer that take part in the process's exit and
// the library's unload.
#pragma once

namespace zortcp::platform::win32 {

// The process has begun to exit: its exit handlers run, or the system has
// ended every other thread and unloads the library.
void MarkProcessExiting();

// The memory that the socket table keeps for its next entries, given back
// when it is empty.
void ReleaseIdleSocketMemory();

}  // namespace zortcp::platform::win32
