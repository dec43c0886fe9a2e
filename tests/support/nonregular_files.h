// SPDX-License-Identifier: MIT
// Files that are not regular files, which a configuration or log open must
// refuse at once: the system's devices, and a pipe that nobody writes to or
// reads from. One version per system (nonregular_files_*.cpp).
#pragma once

#include <string>
#include <vector>

namespace zortcp::testing {

// Paths of devices: the empty one and, where there is one, an endless one.
std::vector<std::string> DevicePaths();

// Makes a pipe with no other end for the name, as a FIFO at path on Linux
// and as a named pipe (in the system's pipe namespace) on Windows; returns
// the path to open, or an empty text on failure.
std::string MakeLonelyPipe(const std::string& path);

}  // namespace zortcp::testing
