// SPDX-License-Identifier: MIT
// The measurements of bytes in flight that more than one table takes:
// throughput over 1 or many links, the default pacing's ceiling, and round
// trips to an echo peer. A column left out by --mode measures as zeros.
#pragma once

#include "port_bench/common.h"
#include "port_bench/links.h"
#include "port_bench/options.h"

namespace port_bench {

// The heading paragraph of the tuned host's rows (throughput and round trips).
inline constexpr const char* kTunedHost =
    "Default-mode ports keep the library's default rings and are written one 4 KiB chunk at "
    "a time; fast-mode ports are given a 1048576-byte receive ring and a 262144-byte "
    "transmit ring with `ZorChangeBufferSizes` and are written 64 KiB at a time. The writer "
    "keeps at most the transmit ring's capacity queued, learning what has gone from the "
    "kind 4 events; the reader is woken by the kind 3 events.";

enum class Direction { kHostToPeer, kPeerToHost };

struct Throughput {
  double totalMBps = 0;  // all ports together
  double minMBps = 0;    // the slowest port
  double meanMBps = 0;
};

struct RoundTrip {
  double medianUs = 0;
  double p99Us = 0;
};

// --mode measures the columns it names only.
bool Skipped(Mode mode, const Options& options);

// What the receiving ends take during a window of windowSeconds, after the
// warm-up of the options.
Throughput MeasureThroughput(Mode mode, Host host, int ports, Direction direction,
                             const Options& options);

// MB/s of a plain socket read with one recv of at most 4096 bytes per 1 ms
// turn on a library thread: the most the default mode's pacing lets through.
double MeasurePacingCeiling(const Options& options);

// Round trips of 16 bytes one after the other (gap 0), or each starting gap
// after the last began; the port's reply is awaited on its kind 3 events.
RoundTrip MeasureRoundTrip(Mode mode, Host host, int messages, milliseconds gap,
                           const Options& options);

}  // namespace port_bench
