// SPDX-License-Identifier: MIT
#include <sys/stat.h>

#include "support/nonregular_files.h"

namespace zortcp::testing {

std::vector<std::string> DevicePaths() { return {"/dev/null", "/dev/zero"}; }

std::string MakeLonelyPipe(const std::string& path) {
  return ::mkfifo(path.c_str(), 0600) == 0 ? path : std::string();
}

}  // namespace zortcp::testing
