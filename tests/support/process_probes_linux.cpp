// SPDX-License-Identifier: MIT
// Threads, descriptors and resident memory of this process, from /proc.
#include <sys/resource.h>
#include <unistd.h>

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
