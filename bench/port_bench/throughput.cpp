// SPDX-License-Identifier: MIT
// Throughput host to peer and peer to host, through 1 port and 32 ports at
// once, with the share of the slowest of 32 ports against their mean; and
// the ceiling of the default mode's pacing, which its targets are taken
// against.
#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "port_bench/host_sides.h"
#include "port_bench/library_thread.h"
#include "port_bench/measurements.h"
#include "port_bench/port_events.h"
#include "port_bench/traffic.h"

namespace port_bench {
namespace {

// Waits (at most 5 s) until no sink has taken a byte for 100 ms.
void WaitUntilDrained(const std::vector<std::atomic<uint64_t>>& received) {
  const auto total = [&] {
    uint64_t sum = 0;
    for (const auto& count : received) sum += count.load();
    return sum;
  };
  uint64_t last = total();
  for (const auto deadline = Clock::now() + std::chrono::seconds(5); Clock::now() < deadline;) {
    std::this_thread::sleep_for(milliseconds(100));
    const uint64_t now = total();
    if (now == last) return;
    last = now;
  }
}

// Starts the source and the sink of a link: plain sockets at the peer's end
// and for the baseline, the port's writer or reader at the host's end.
void StartEnds(Link& link, Direction direction, const std::atomic<bool>& sourcesStop,
               const std::atomic<bool>& sinksStop, std::atomic<uint64_t>& sink,
               std::vector<std::thread>& threads) {
  const bool toPeer = direction == Direction::kHostToPeer;
  const bool plain = link.mode == Mode::kPlain;
  PeerConnection& sinkEnd = toPeer ? link.peer : link.plain;
  PeerConnection& sourceEnd = toPeer ? link.plain : link.peer;
  if (toPeer || plain) {
    threads.emplace_back([&sinkEnd, &sinksStop, &sink] { PlainReader(sinkEnd, sinksStop, sink); });
  } else {
    threads.emplace_back([&link, &sinksStop, &sink] { PortReader(link, sinksStop, sink); });
  }
  if (!toPeer || plain) {
    threads.emplace_back([&sourceEnd, &sourcesStop] { PlainWriter(sourceEnd, sourcesStop); });
  } else {
    threads.emplace_back([&link, &sourcesStop] { PortWriter(link, sourcesStop); });
  }
}

// The sources stop first and the sinks drain what is under way, so that no
// receive monitor is left waiting on a full ring when its port closes.
void StopEnds(std::vector<Link>& links, Direction direction, std::atomic<bool>& sourcesStop,
              std::atomic<bool>& sinksStop, const std::vector<std::atomic<uint64_t>>& received,
              std::vector<std::thread>& threads) {
  sourcesStop.store(true);
  for (auto& link : links) {
    const bool plain = link.mode == Mode::kPlain;
    if (direction == Direction::kPeerToHost) link.peer.Shutdown();
    if (direction == Direction::kHostToPeer && plain) link.plain.Shutdown();
    if (direction == Direction::kHostToPeer && !plain) StopSlot(link.slot);
  }
  WaitUntilDrained(received);
  sinksStop.store(true);
  for (auto& link : links) {
    StopSlot(link.slot);
    link.peer.Shutdown();
    link.plain.Shutdown();
  }
  for (auto& thread : threads) thread.join();
}

}  // namespace

bool Skipped(Mode mode, const Options& options) {
  static const char* const kNames[] = {"plain", "default", "fast"};
  if (options.modes.empty()) return false;
  return std::find(options.modes.begin(), options.modes.end(), kNames[static_cast<int>(mode)]) ==
         options.modes.end();
}

// Starts the two ends of every link, lets them run through the warm-up,
// and measures what the receiving ends took during the window.
Throughput MeasureThroughput(Mode mode, Host host, int ports, Direction direction,
                             const Options& options) {
  if (Skipped(mode, options)) return Throughput{};
  LoopbackListener listener;
  std::vector<Link> links = OpenLinks(mode, ports, listener, host);
  std::atomic<bool> sourcesStop{false};
  std::atomic<bool> sinksStop{false};
  std::vector<std::atomic<uint64_t>> received(static_cast<size_t>(ports));
  std::vector<std::thread> threads;
  for (size_t i = 0; i < links.size(); ++i) {
    StartEnds(links[i], direction, sourcesStop, sinksStop, received[i], threads);
  }
  std::this_thread::sleep_for(duration<double>(options.warmupSeconds));
  std::vector<uint64_t> before(links.size());
  for (size_t i = 0; i < links.size(); ++i) before[i] = received[i].load();
  const auto start = Clock::now();
  std::this_thread::sleep_for(duration<double>(options.windowSeconds));
  const double elapsed = Seconds(Clock::now() - start);
  std::vector<double> rates(links.size());
  for (size_t i = 0; i < links.size(); ++i) {
    rates[i] = static_cast<double>(received[i].load() - before[i]) / elapsed / kMega;
  }
  StopEnds(links, direction, sourcesStop, sinksStop, received, threads);
  CloseLinks(links);

  Throughput result;
  for (double rate : rates) result.totalMBps += rate;
  result.meanMBps = result.totalMBps / ports;
  result.minMBps = *std::min_element(rates.begin(), rates.end());
  return result;
}

// The ceiling of the default pacing, measured rather than assumed: a plain
// socket read with one recv of at most 4096 bytes per 1 ms turn, slept on a
// library thread as the monitors sleep, from a peer that keeps it fed.
double MeasurePacingCeiling(const Options& options) {
  LoopbackListener listener;
  Link link;
  OpenLink(link, listener, Mode::kPlain, 0);
  std::atomic<bool> stop{false};
  std::thread feeder([&] { PlainWriter(link.peer, stop); });
  std::atomic<uint64_t> bytes{0};
  LibraryThread reader([&link, &bytes] {
    uint8_t buffer[kChunkSize];
    const int64_t got = link.plain.ReceiveOnce(buffer, sizeof(buffer));
    if (got <= 0) return false;
    bytes.fetch_add(static_cast<uint64_t>(got));
    zortcp::platform::Sleep(1);
    return true;
  });
  std::this_thread::sleep_for(duration<double>(options.warmupSeconds));
  const uint64_t before = bytes.load();
  const auto start = Clock::now();
  std::this_thread::sleep_for(duration<double>(options.windowSeconds));
  const double elapsed = Seconds(Clock::now() - start);
  const double rate = static_cast<double>(bytes.load() - before) / elapsed / kMega;
  stop.store(true);
  link.peer.Shutdown();
  link.plain.Shutdown();
  feeder.join();
  reader.Stop();
  CloseLink(link);
  return rate;
}

void RunThroughput(const Options& options, Report& report) {
  report.Section("The tuned host", kTunedHost);
  const double ceiling = MeasurePacingCeiling(options);
  report.Add({"Pacing ceiling: one recv of <= 4096 B per 1 ms turn", "MB/s", ceiling, 0, 0});
  report.Note(
      "The pacing ceiling is measured in the same run: a plain socket read with one "
      "recv of at most 4096 bytes per 1 ms turn, slept on a library thread as the "
      "monitors sleep. The default mode's targets are taken against it.");

  struct Case {
    const char* name;
    int ports;
    Direction direction;
  };
  const Case cases[] = {
      {"Throughput host to peer, 1 port", 1, Direction::kHostToPeer},
      {"Throughput peer to host, 1 port", 1, Direction::kPeerToHost},
      {"Throughput host to peer, 32 ports (sum)", kManyPorts, Direction::kHostToPeer},
      {"Throughput peer to host, 32 ports (sum)", kManyPorts, Direction::kPeerToHost},
  };
  for (const Case& c : cases) {
    if (options.throughputCase >= 0 && &c != &cases[options.throughputCase]) continue;
    const Throughput plain =
        MeasureThroughput(Mode::kPlain, Host::kTuned, c.ports, c.direction, options);
    const Throughput standard =
        MeasureThroughput(Mode::kDefault, Host::kTuned, c.ports, c.direction, options);
    const Throughput fast =
        MeasureThroughput(Mode::kFast, Host::kTuned, c.ports, c.direction, options);
    report.Add({c.name, "MB/s", plain.totalMBps, standard.totalMBps, fast.totalMBps, 1});
    const std::string way = c.direction == Direction::kHostToPeer ? "host to peer" : "peer to host";
    if (c.ports == 1) {
      report.Check("default mode " + way + " >= 95% of the pacing ceiling",
                   standard.totalMBps / ceiling * 100, "%", standard.totalMBps >= 0.95 * ceiling);
      report.Check("fast mode " + way + " >= 1/2 of plain socket", fast.totalMBps / plain.totalMBps,
                   "x plain", fast.totalMBps >= 0.5 * plain.totalMBps);
    } else {
      report.Add({"Slowest of 32 ports / mean, " + way, "ratio", plain.minMBps / plain.meanMBps,
                  standard.minMBps / standard.meanMBps, fast.minMBps / fast.meanMBps});
      report.Check("fast mode 32 busy ports " + way + ": none below 1/2 of the mean",
                   fast.minMBps / fast.meanMBps, "of mean", fast.minMBps >= 0.5 * fast.meanMBps);
    }
  }
}

}  // namespace port_bench
