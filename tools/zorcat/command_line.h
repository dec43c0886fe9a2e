// SPDX-License-Identifier: MIT
// zorcat's command line, parsed with CLI11.
#pragma once

#include <optional>

#include "zorcat/options.h"

namespace zorcat {

struct Invocation {
  Command command = Command::kDemo;
  PortOptions port;
};

// Parses the command line. Returns the invocation, or nothing after it has
// printed help, the version or a usage error; exitStatus is then set.
std::optional<Invocation> ParseCommandLine(int argc, char** argv, int& exitStatus);

}  // namespace zorcat
