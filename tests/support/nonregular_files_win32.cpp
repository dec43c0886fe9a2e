// SPDX-License-Identifier: MIT
#include <windows.h>

#include <filesystem>

#include "support/nonregular_files.h"

namespace zortcp::testing {

std::vector<std::string> DevicePaths() { return {"NUL", "\\\\.\\NUL"}; }

// The server end stays open until the process ends (each test runs in a
// process of its own), so that an open of the name finds a pipe that never
// delivers a byte.
std::string MakeLonelyPipe(const std::string& path) {
  const std::string name = "\\\\.\\pipe\\zortcp-" + std::to_string(GetCurrentProcessId()) + "-" +
                           std::filesystem::path(path).filename().string();
  const HANDLE pipe = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX,
                                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                       PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
  return pipe == INVALID_HANDLE_VALUE ? std::string() : name;
}

}  // namespace zortcp::testing
