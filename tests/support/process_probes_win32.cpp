// SPDX-License-Identifier: MIT
// Threads, handles and resident memory (the working set) of this process.
#include <windows.h>
// After windows.h, which they need.
#include <psapi.h>
#include <tlhelp32.h>

#include <thread>

#include "support/client_port.h"

namespace zortcp::testing {

size_t BaselineThreadCount() {
  std::thread([] {}).join();
  // GoogleTest on Windows starts a thread that watches this one the first
  // time this thread holds a per-thread result reporter (the first
  // ASSERT_NO_FATAL_FAILURE of the process); it lives as long as this
  // thread. Have it start now, not half-way through a test.
  EXPECT_NO_FATAL_FAILURE({});
  return ThreadCount();
}

size_t ThreadCount() {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  const DWORD self = GetCurrentProcessId();
  size_t count = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == self) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

size_t DescriptorCount() {
  DWORD handles = 0;
  GetProcessHandleCount(GetCurrentProcess(), &handles);
  return handles;
}

size_t ResidentBytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof(counters);
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) return 0;
  return counters.WorkingSetSize;
}

size_t ThreadsAtTimeCriticalPriority() {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  const DWORD self = GetCurrentProcessId();
  size_t count = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != self) continue;
    const HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID);
    if (thread == nullptr) continue;
    if (GetThreadPriority(thread) == THREAD_PRIORITY_TIME_CRITICAL) ++count;
    CloseHandle(thread);
  }
  CloseHandle(snapshot);
  return count;
}

// Any process may raise its own threads to time-critical on Windows.
bool MayRaisePriority() { return true; }

}  // namespace zortcp::testing
