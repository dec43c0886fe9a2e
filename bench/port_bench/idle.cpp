// SPDX-License-Identifier: MIT
// Processor time of 1 and 32 idle connected ports, beside the floor of a
// thread that only sleeps 1 ms per turn.
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#endif

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "port_bench/host_sides.h"
#include "port_bench/library_thread.h"
#include "port_bench/measurements.h"

namespace port_bench {
namespace {

double ProcessCpuSeconds() {
#ifdef _WIN32
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  const auto seconds = [](const FILETIME& t) {  // in 100 ns units
    return static_cast<double>((uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime) / 1e7;
  };
  return seconds(kernel) + seconds(user);
#else
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
#endif
}

// Percent of one core spent by the whole process over the idle period.
// The period is marked on the standard error ("idle period: start NAME",
// "idle period: end"), so that a watcher can read what other processes
// spent over the same period (Wine's server, say).
double IdleCpuPercent(const Options& options, const std::string& name) {
  std::fprintf(stderr, "idle period: start %s\n", name.c_str());
  std::fflush(stderr);
  const double cpuBefore = ProcessCpuSeconds();
  const auto start = Clock::now();
  std::this_thread::sleep_for(duration<double>(options.idleSeconds));
  const double cpu = ProcessCpuSeconds() - cpuBefore;
  const double percent = cpu / Seconds(Clock::now() - start) * 100.0;
  std::fprintf(stderr, "idle period: end\n");
  std::fflush(stderr);
  return percent;
}

// Percent of one core per connected port that does nothing, from the
// processor time of the whole process (the peers block in recv).
double MeasureIdle(Mode mode, int ports, const Options& options) {
  LoopbackListener listener;
  std::vector<Link> links = OpenLinks(mode, ports, listener);
  std::vector<std::thread> readers;
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> ignored{0};
  for (auto& link : links) {
    readers.emplace_back([&link, &stop, &ignored] { PlainReader(link.peer, stop, ignored); });
    if (mode == Mode::kPlain) {
      readers.emplace_back([&link, &stop, &ignored] { PlainReader(link.plain, stop, ignored); });
    }
  }
  std::this_thread::sleep_for(milliseconds(300));  // past the connect turns
  constexpr const char* kModeNames[] = {"plain", "default", "fast"};
  const double percent = IdleCpuPercent(
      options, std::string(kModeNames[static_cast<int>(mode)]) + "-" + std::to_string(ports));
  stop.store(true);
  for (auto& link : links) {
    link.peer.Shutdown();
    link.plain.Shutdown();
  }
  for (auto& reader : readers) reader.join();
  CloseLinks(links);
  return percent / ports;
}

// The floor under the default mode's idle cost on this machine: a library
// thread that does nothing but sleep 1 ms per turn, as an idle receive
// monitor does between its polls. Percent of one core, from the process's
// processor time as above.
double MeasureSleepFloor(const Options& options) {
  LibraryThread sleeper([] {
    zortcp::platform::Sleep(1);
    return true;
  });
  std::this_thread::sleep_for(milliseconds(300));
  return IdleCpuPercent(options, "floor");
}

}  // namespace

void RunIdle(const Options& options, Report& report) {
  report.Section("Idle ports");
  const double floor = MeasureSleepFloor(options);
  report.Add({"Idle floor: a thread sleeping 1 ms per turn", "% of a core", floor, 0, 0});
  report.Note(
      "The idle floor is measured in the same run: a library thread that only sleeps "
      "1 ms per turn, as an idle default-mode receive monitor does between its polls. "
      "It is what a wake-up costs on this machine, whatever the thread does when "
      "awake.");
  for (int ports : {1, kManyPorts}) {
    const double plain = MeasureIdle(Mode::kPlain, ports, options);
    const double standard = MeasureIdle(Mode::kDefault, ports, options);
    const double fast = MeasureIdle(Mode::kFast, ports, options);
    const std::string name = "Idle connected port, " + std::to_string(ports) +
                             (ports == 1 ? " port" : " ports") + " (per port)";
    report.Add({name, "% of a core", plain, standard, fast, 3});
    if (ports == 1) {
      report.Check("default mode idle port < 0.5% of a core", standard, "%", standard < 0.5);
      // A port that sleeps as the floor's thread does cannot cost less; a
      // tenth above it leaves room for the noise of one measurement.
      report.Check("default mode idle port at the idle floor (within 10%)", standard / floor,
                   "x floor", standard <= 1.1 * floor, Host::kOrdinary);
      report.Check("fast mode idle port < 0.05% of a core", fast, "%", fast < 0.05,
                   Host::kOrdinary);
    }
  }
}

}  // namespace port_bench
