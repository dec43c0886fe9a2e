// SPDX-License-Identifier: MIT
// The command line of port_bench.
#pragma once

#include <string>
#include <vector>

namespace port_bench {

struct Options {
  double windowSeconds = 3.0;  // each throughput measurement
  double warmupSeconds = 0.5;
  double idleSeconds = 10.0;  // each idle measurement
  int spacedMessages = 250;   // round trips 20 ms apart, each mode
  int closeMessages = 500;    // round trips 5 ms apart, fast and plain
  int defaultMessages = 100;  // back-to-back round trips, default mode
  int fastMessages = 5000;    // back-to-back round trips, fast and plain
  double logSeconds = 1.0;
  std::string only;                // one measurement by name; empty for all
  int runs = 1;                    // the ordinary host's figures: the median of runs
  std::vector<std::string> modes;  // "plain", "default", "fast": those columns only
  int throughputCase = -1;         // 0 to 3: that throughput row only
  std::string markdownPath;
  std::string dataPath;
};

// Reads the command line into options, given the names --only accepts.
// False when the program is to end at once with status: after --help, or
// after reporting a usage error.
bool ParseOptions(int argc, char** argv, const std::vector<std::string>& measurements,
                  Options& options, int& status);

}  // namespace port_bench
