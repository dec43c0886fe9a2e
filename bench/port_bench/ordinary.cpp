// SPDX-License-Identifier: MIT
// The ordinary host: a host that turns the fast mode on and nothing more.
// Its ports keep the library's default rings, it writes 64 KiB at a time
// and lets ZorWritePort wait until the ring has taken the block, and its
// reader waits on a condition variable that the handler notifies for each
// kind 3 event. Throughput each way through 1 and 32 ports, round trips back
// to back, 5 ms and 20 ms apart, beside the plain socket and the default
// mode driven the same way; each figure the median of --runs runs.
#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "port_bench/measurements.h"
#include "port_bench/traffic.h"

namespace port_bench {
namespace {

constexpr Mode kModes[] = {Mode::kPlain, Mode::kDefault, Mode::kFast};
constexpr size_t kModeCount = std::size(kModes);

// Each with the least share of the plain socket the fast mode aims for.
struct FlowCase {
  const char* name;
  int ports;
  Direction direction;
  const char* way;
  double target;
};
constexpr FlowCase kFlows[] = {
    {"Host to peer, 1 port", 1, Direction::kHostToPeer, "host to peer", 0.5},
    {"Peer to host, 1 port", 1, Direction::kPeerToHost, "peer to host", 0.7},
    {"Host to peer, 32 ports (sum)", kManyPorts, Direction::kHostToPeer, "host to peer", 0.5},
    {"Peer to host, 32 ports (sum)", kManyPorts, Direction::kPeerToHost, "peer to host", 0.5},
};
constexpr size_t kFlowCount = std::size(kFlows);

struct GapCase {
  const char* name;
  milliseconds gap;
};
constexpr GapCase kGaps[] = {
    {"back to back", milliseconds(0)},
    {"5 ms apart", milliseconds(5)},
    {"20 ms apart", milliseconds(20)},
};
constexpr size_t kGapCount = std::size(kGaps);

// The figures of one run, by case and mode.
struct OrdinaryRun {
  double ceiling = 0;
  std::array<std::array<Throughput, kModeCount>, kFlowCount> flows{};
  std::array<std::array<RoundTrip, kModeCount>, kGapCount> trips{};
};

// The default mode's round trips take about 10 ms each when they come
// closer than its transmit monitor's pause, so it is given fewer.
int MessagesFor(Mode mode, milliseconds gap, const Options& options) {
  if (gap >= milliseconds(20)) return options.spacedMessages;
  if (mode == Mode::kDefault) return options.defaultMessages;
  return gap == milliseconds(0) ? options.fastMessages : options.closeMessages;
}

OrdinaryRun MeasureOnce(const Options& options) {
  OrdinaryRun run;
  if (!Skipped(Mode::kDefault, options)) run.ceiling = MeasurePacingCeiling(options);
  for (size_t f = 0; f < kFlowCount; ++f) {
    for (size_t m = 0; m < kModeCount; ++m) {
      run.flows[f][m] = MeasureThroughput(kModes[m], Host::kOrdinary, kFlows[f].ports,
                                          kFlows[f].direction, options);
    }
  }
  for (size_t g = 0; g < kGapCount; ++g) {
    for (size_t m = 0; m < kModeCount; ++m) {
      const int messages = MessagesFor(kModes[m], kGaps[g].gap, options);
      run.trips[g][m] =
          MeasureRoundTrip(kModes[m], Host::kOrdinary, messages, kGaps[g].gap, options);
    }
  }
  return run;
}

// The median over the runs of one figure.
template <typename Figure>
double Median(const std::vector<OrdinaryRun>& runs, Figure figure) {
  std::vector<double> values;
  for (const auto& run : runs) values.push_back(figure(run));
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// A row of the three modes, each the median of its figure.
template <typename Figure>
Row MedianRow(const std::vector<OrdinaryRun>& runs, std::string name, std::string unit,
              Figure figure) {
  double medians[kModeCount];
  for (size_t m = 0; m < kModeCount; ++m) {
    medians[m] = Median(runs, [&](const OrdinaryRun& run) { return figure(run, m); });
  }
  return Row{std::move(name), std::move(unit), medians[0], medians[1], medians[2]};
}

double ShareOfMean(const Throughput& flow) {
  return flow.meanMBps > 0 ? flow.minMBps / flow.meanMBps : 0;
}

void AddFlowRows(const std::vector<OrdinaryRun>& runs, Report& report) {
  for (size_t f = 0; f < kFlowCount; ++f) {
    const Row row = MedianRow(runs, kFlows[f].name, "MB/s", [f](const OrdinaryRun& run, size_t m) {
      return run.flows[f][m].totalMBps;
    });
    report.Add(row);
    const std::string way = kFlows[f].way;
    char share[16];
    std::snprintf(share, sizeof(share), "%.1f", kFlows[f].target);
    const std::string what = kFlows[f].ports == 1 ? ", 1 port" : " 32 busy ports: sum";
    report.Check("fast mode " + way + what + " >= " + share + " x plain socket",
                 row.fast / row.plain, "x plain", row.fast >= kFlows[f].target * row.plain,
                 Host::kOrdinary);
    if (kFlows[f].ports == 1) continue;
    const Row slowest =
        MedianRow(runs, "Slowest of 32 ports / mean, " + way, "ratio",
                  [f](const OrdinaryRun& run, size_t m) { return ShareOfMean(run.flows[f][m]); });
    report.Add(slowest);
    report.Check("fast mode 32 busy ports " + way + ": slowest >= 0.5 of the mean", slowest.fast,
                 "of mean", slowest.fast >= 0.5, Host::kOrdinary);
  }
}

void AddRoundTripRows(const std::vector<OrdinaryRun>& runs, Report& report) {
  for (size_t g = 0; g < kGapCount; ++g) {
    const std::string name = std::string("Round trip 16 B, ") + kGaps[g].name;
    const Row median =
        MedianRow(runs, name + ", median", "us",
                  [g](const OrdinaryRun& run, size_t m) { return run.trips[g][m].medianUs; });
    const Row p99 =
        MedianRow(runs, name + ", 99th percentile", "us",
                  [g](const OrdinaryRun& run, size_t m) { return run.trips[g][m].p99Us; });
    report.Add(median);
    report.Add(p99);
    if (kGaps[g].gap >= milliseconds(20)) continue;
    report.Check("fast mode round trip " + std::string(kGaps[g].name) + ", median <= 2 x plain",
                 median.fast / median.plain, "x plain", median.fast <= 2 * median.plain,
                 Host::kOrdinary);
    report.Check(
        "fast mode round trip " + std::string(kGaps[g].name) + ", 99th percentile <= 3 x plain",
        p99.fast / p99.plain, "x plain", p99.fast <= 3 * p99.plain, Host::kOrdinary);
  }
}

}  // namespace

void RunOrdinary(const Options& options, Report& report) {
  report.Section(
      "The ordinary host",
      "The fast mode switched on and nothing else: the library's default rings (65536 and "
      "8192 bytes), `ZorWritePort` of 64 KiB blocks that waits until the transmit ring has "
      "taken each, and a reader thread that waits on a condition variable, which the "
      "handler notifies on the kind 3 events, and calls `ZorReadPort`. The default-mode column is "
      "the same host with the fast mode left off. Each figure is the median of " +
          std::to_string(options.runs) + (options.runs == 1 ? " run." : " runs."));
  std::vector<OrdinaryRun> runs;
  for (int i = 0; i < options.runs; ++i) {
    std::printf("  run %d of %d\n", i + 1, options.runs);
    std::fflush(stdout);
    runs.push_back(MeasureOnce(options));
  }
  const double ceiling = Median(runs, [](const OrdinaryRun& run) { return run.ceiling; });
  report.Add({"Pacing ceiling: one recv of <= 4096 B per 1 ms turn", "MB/s", ceiling, 0, 0});
  AddFlowRows(runs, report);
  const double standardToHost =
      Median(runs, [](const OrdinaryRun& run) { return run.flows[1][1].totalMBps; });
  report.Check("default mode peer to host, 1 port >= 95% of the pacing ceiling",
               standardToHost / ceiling * 100, "%", standardToHost >= 0.95 * ceiling,
               Host::kOrdinary);
  AddRoundTripRows(runs, report);
}

}  // namespace port_bench
