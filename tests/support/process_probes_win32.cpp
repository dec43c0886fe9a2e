// SPDX-License-Identifier: MIT
// Threads, handles and resident memory (the working set) of this process.
#include <windows.h>
// After windows.h, which they need.
#include <psapi.h>
#include <tlhelp32.h>

#include <thread>

#include "support/client_port.h"

namespace zortcp::testing {

namespace {

// Calls visit with the id of each thread of this process.
template <typename Visit>
void ForEachThreadOfThisProcess(Visit visit) {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return;
  const DWORD self = GetCurrentProcessId();
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == self) visit(entry.th32ThreadID);
  }
  CloseHandle(snapshot);
}

}  // namespace

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
  size_t count = 0;
  ForEachThreadOfThisProcess([&count](DWORD) { ++count; });
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
  size_t count = 0;
  ForEachThreadOfThisProcess([&count](DWORD id) {
    const HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, id);
    if (thread == nullptr) return;
    if (GetThreadPriority(thread) == THREAD_PRIORITY_TIME_CRITICAL) ++count;
    CloseHandle(thread);
  });
  return count;
}

// Any process may raise its own threads to time-critical on Windows.
bool MayRaisePriority() { return true; }

}  // namespace zortcp::testing
