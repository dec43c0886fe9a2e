// SPDX-License-Identifier: MIT
// Threads, descriptors and resident memory of this process, from /proc.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "support/client_port.h"

namespace zortcp::testing {
namespace {

size_t EntriesIn(const char* directory) {
  size_t count = 0;
  std::error_code ignored;
  for (auto it = std::filesystem::directory_iterator(directory, ignored);
       it != std::filesystem::directory_iterator(); it.increment(ignored)) {
    ++count;
  }
  return count;
}

}  // namespace

size_t BaselineThreadCount() {
  // A thread's join returns when its id is cleared, a moment before its
  // entry leaves /proc/self/task: wait for that, or the baseline counts it.
  pid_t tid = 0;
  std::thread([&tid] { tid = gettid(); }).join();
  const std::string entry = "/proc/self/task/" + std::to_string(tid);
  for (int look = 0; look < 5000 && std::filesystem::exists(entry); ++look) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return ThreadCount();
}

size_t ThreadCount() { return EntriesIn("/proc/self/task"); }

size_t DescriptorCount() { return EntriesIn("/proc/self/fd"); }

size_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  size_t size = 0;
  size_t resident = 0;
  statm >> size >> resident;
  return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// From the nice field of /proc/self/task/*/stat.
size_t ThreadsAtTimeCriticalPriority() {
  const std::string nice = "-20";
  size_t count = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream in(task.path() / "stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    for (int index = 3; index <= 19 && fields >> field; ++index) {
      if (index == 19 && field == nice) ++count;
    }
  }
  return count;
}

bool MayRaisePriority() {
  bool permitted = false;
  std::thread([&] {
    permitted = setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), -20) == 0;
  }).join();
  return permitted;
}

}  // namespace zortcp::testing
