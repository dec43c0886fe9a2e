// SPDX-License-Identifier: MIT
// Every measurement of port_bench, in the order they run and print: the
// name --only takes, and the function that measures and adds its rows to
// the report, each in a file of its own in bench/port_bench/. A new
// measurement is such a file (listed in bench/CMakeLists.txt) and a line
// here.
#pragma once

#include "port_bench/options.h"
#include "port_bench/report.h"

#define PORT_BENCH_MEASUREMENTS(X) \
  X("ordinary", RunOrdinary)       \
  X("throughput", RunThroughput)   \
  X("latency", RunLatency)         \
  X("idle", RunIdle)               \
  X("log", RunLogDump)

namespace port_bench {

#define PORT_BENCH_DECLARE(name, function) void function(const Options& options, Report& report);
PORT_BENCH_MEASUREMENTS(PORT_BENCH_DECLARE)
#undef PORT_BENCH_DECLARE

struct Measurement {
  const char* name;
  void (*run)(const Options& options, Report& report);
};

#define PORT_BENCH_ENTRY(name, function) Measurement{name, &function},
inline constexpr Measurement kMeasurements[] = {PORT_BENCH_MEASUREMENTS(PORT_BENCH_ENTRY)};
#undef PORT_BENCH_ENTRY

}  // namespace port_bench
