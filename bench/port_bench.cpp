// SPDX-License-Identifier: MIT
// End-to-end figures of zortcp ports beside plain sockets, in one run:
//   - the ordinary host (the fast mode switched on, nothing tuned):
//     throughput each way through 1 and 32 ports, round trips back to back,
//     5 ms and 20 ms apart; each figure the median of --runs runs;
//   - throughput host-to-peer and peer-to-host, through 1 port and 32 ports
//     at once (client ports against plain-socket peers on 127.0.0.1), with
//     the share of the slowest of 32 ports against their mean;
//   - round trip of 16-byte messages through a client port to an echo peer
//     (median and 99th percentile);
//   - processor time of 1 and 32 idle connected ports;
//   - LogDataDump of 4 KiB at level 3, to a temporary file.
// Each is measured for the default mode and for the fast transfer mode, and
// for the plain-socket baseline (a host thread on a plain socket to the same
// peer). Results go to standard output; --markdown and --data write the
// table and the plot data that scripts/bench.sh puts into
// docs/performance.md.
//
// The rows from throughput on are the tuned host's: its ports are shaped
// for the mode (links.h). The measurements are listed in
// port_bench/measurements.h, one file each;
// the links, the host's threads and the report they share are beside them.
#include <string>
#include <vector>

#include "port/port_table.h"
#include "port_bench/measurements.h"

int main(int argc, char** argv) {
  using namespace port_bench;
  std::vector<std::string> names;
  for (const Measurement& measurement : kMeasurements) names.emplace_back(measurement.name);
  Options options;
  int status = 0;
  if (!ParseOptions(argc, argv, names, options, status)) return status;
  zortcp::LibraryLoad();
  Report report;
  for (const Measurement& measurement : kMeasurements) {
    if (options.only.empty() || options.only == measurement.name) measurement.run(options, report);
  }
  zortcp::LibraryUnload();
  if (!options.markdownPath.empty()) report.WriteMarkdown(options.markdownPath);
  if (!options.dataPath.empty()) report.WriteData(options.dataPath);
  return 0;
}
