// SPDX-License-Identifier: MIT
// The exit statuses of zorcat, in one table that the help text prints.
#pragma once

#include <array>
#include <string>

namespace zorcat {

enum ExitStatus : int {
  kExitSuccess = 0,
  kExitLocalFailure = 1,
  kExitUsage = 2,
  kExitOpenFailed = 3,
  kExitNoConnection = 4,
  kExitDataNotSent = 5,
};

// A signal that ends zorcat gives the shell's usual 128 + its number.
constexpr int kExitSignalBase = 128;

struct ExitStatusMeaning {
  const char* status;
  const char* meaning;
};

inline constexpr std::array<ExitStatusMeaning, 7> kExitStatusMeanings{{
    {"0", "done: input sent, port closed (and the demo ran through)"},
    {"1", "local failure: standard input or output, or a file zorcat reads or writes"},
    {"2", "bad command line"},
    {"3", "the port could not be opened (ZorOpenPort failed)"},
    {"4", "no connection: the retry limit was reached or the port gave up"},
    {"5", "some input could not be sent, or sending stalled"},
    {"130, 143", "ended by Ctrl-C (SIGINT) or SIGTERM, after closing the port"},
}};

inline std::string ExitStatusTable() {
  std::string table = "Exit status:\n";
  for (const auto& entry : kExitStatusMeanings) {
    std::string status = entry.status;
    status.resize(10, ' ');
    table += "  " + status + entry.meaning + "\n";
  }
  return table;
}

}  // namespace zorcat
