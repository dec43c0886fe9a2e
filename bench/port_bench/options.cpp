// SPDX-License-Identifier: MIT
#include "port_bench/options.h"

#include <CLI/CLI.hpp>

namespace port_bench {
namespace {

// Short runs, about a minute and a half in all (the ordinary host alone
// about 30 s); --window and --idle still set their own.
void ShortenRuns(Options& options) {
  options.windowSeconds = 0.8;
  options.warmupSeconds = 0.3;
  options.idleSeconds = 3.0;
  options.spacedMessages = 60;
  options.closeMessages = 150;
  options.defaultMessages = 30;
  options.fastMessages = 1000;
  options.logSeconds = 0.3;
}

}  // namespace

bool ParseOptions(int argc, char** argv, const std::vector<std::string>& measurements,
                  Options& options, int& status) {
  CLI::App app{"port_bench: zortcp ports beside plain sockets on 127.0.0.1.", "port_bench"};
  bool quick = false;
  double window = 0;
  double idle = 0;
  app.add_flag("--quick", quick, "Short runs (about 90 s in all): 0.8 s windows, 3 s idle");
  app.add_option("--only", options.only, "Run one measurement only")
      ->check(CLI::IsMember(measurements));
  app.add_option("--mode", options.modes,
                 "Measure throughput and round trips in these columns only (plain, default, "
                 "fast; comma-separated)")
      ->delimiter(',')
      ->check(CLI::IsMember({"plain", "default", "fast"}));
  app.add_option("--runs", options.runs,
                 "Each figure of the ordinary host is the median of N runs (default 1)")
      ->type_name("N")
      ->check(CLI::Range(1, 9));
  app.add_option("--case", options.throughputCase,
                 "That throughput row only: 0 and 1 host to peer and peer to host through "
                 "1 port, 2 and 3 through 32")
      ->check(CLI::Range(0, 3));
  CLI::Option* windowOption =
      app.add_option("--window", window, "Seconds of each throughput measurement")
          ->type_name("S")
          ->check(CLI::PositiveNumber);
  CLI::Option* idleOption = app.add_option("--idle", idle, "Seconds of each idle measurement")
                                ->type_name("S")
                                ->check(CLI::PositiveNumber);
  app.add_option("--markdown", options.markdownPath, "Write the results table to FILE")
      ->type_name("FILE");
  app.add_option("--data", options.dataPath,
                 "Write the plot data to FILE-throughput.dat, FILE-roundtrip.dat, FILE-idle.dat")
      ->type_name("FILE");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    status = app.exit(error) == 0 ? 0 : 2;  // 2 after a usage error
    return false;
  }
  if (quick) ShortenRuns(options);
  if (windowOption->count() > 0) options.windowSeconds = window;
  if (idleOption->count() > 0) options.idleSeconds = idle;
  return true;
}

}  // namespace port_bench
