// SPDX-License-Identifier: MIT
// Round trips of 16-byte messages through a client port to an echo peer
// (median and 99th percentile), requests 20 ms apart and back to back.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "port_bench/links.h"
#include "port_bench/measurements.h"
#include "port_bench/port_events.h"
#include "port_bench/traffic.h"
#include "zortcp.h"

namespace port_bench {
namespace {

constexpr int32_t kMessageSize = 16;

void EchoPeer(PeerConnection& peer) {
  uint8_t buffer[kChunkSize];
  for (;;) {
    const int64_t got = peer.ReceiveOnce(buffer, sizeof(buffer));
    if (got <= 0 || !peer.SendAll(buffer, static_cast<size_t>(got))) return;
  }
}

// Blocks until size bytes have come; false when the connection ends first.
bool ReceiveExactly(const PeerConnection& connection, uint8_t* data, size_t size) {
  while (size > 0) {
    const int64_t got = connection.ReceiveOnce(data, size);
    if (got <= 0) return false;
    data += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

// Waits until a whole message has come back through the port.
bool PortAwaitMessage(const Link& link, uint8_t* answer) {
  const auto deadline = Clock::now() + kConnectWait;
  for (int32_t have = 0;;) {
    const uint64_t seen = ReceivedEvents(link.slot);
    int32_t got = 0;
    ZorReadPort(link.handle, answer + have, kMessageSize - have, &got);
    have += got;
    if (have == kMessageSize) return true;
    if (got == 0 && !AwaitReceived(link.slot, seen, deadline)) return false;
  }
}

bool Exchange(Link& link, const uint8_t* message, uint8_t* answer) {
  if (link.mode == Mode::kPlain) {
    return link.plain.SendAll(message, kMessageSize) &&
           ReceiveExactly(link.plain, answer, kMessageSize);
  }
  ZorWritePort(link.handle, message, kMessageSize);
  return PortAwaitMessage(link, answer);
}

}  // namespace

RoundTrip MeasureRoundTrip(Mode mode, Host host, int messages, milliseconds gap,
                           const Options& options) {
  if (Skipped(mode, options)) return RoundTrip{};
  LoopbackListener listener;
  Link link;
  OpenLink(link, listener, mode, 0, host);
  std::thread echo([&link] { EchoPeer(link.peer); });
  uint8_t message[kMessageSize];
  uint8_t answer[kMessageSize];
  std::vector<double> samples;
  samples.reserve(static_cast<size_t>(messages));
  const int warmup = std::max(10, messages / 20);
  for (int i = 0; i < messages + warmup; ++i) {
    std::memset(message, i & 0xFF, sizeof(message));
    const auto start = Clock::now();
    const bool ok = Exchange(link, message, answer);
    const double us = Seconds(Clock::now() - start) * 1e6;
    if (!ok || std::memcmp(message, answer, sizeof(message)) != 0) {
      std::fprintf(stderr, "round trip %d failed\n", i);
      std::exit(2);
    }
    if (i >= warmup) samples.push_back(us);
    std::this_thread::sleep_until(start + gap);
  }
  link.peer.Shutdown();
  echo.join();
  CloseLink(link);
  std::sort(samples.begin(), samples.end());
  const auto at = [&](double q) {
    return samples[static_cast<size_t>(q * static_cast<double>(samples.size() - 1))];
  };
  return RoundTrip{at(0.5), at(0.99)};
}

void RunLatency(const Options& options, Report& report) {
  report.Section("The tuned host", kTunedHost);
  // Requests 20 ms apart, as a host that asks and waits: the default mode's
  // transmit monitor then sleeps (rather than pausing 10 ms) when the next
  // request comes.
  constexpr milliseconds kGap(20);
  const RoundTrip plain =
      MeasureRoundTrip(Mode::kPlain, Host::kTuned, options.spacedMessages, kGap, options);
  const RoundTrip standard =
      MeasureRoundTrip(Mode::kDefault, Host::kTuned, options.spacedMessages, kGap, options);
  const RoundTrip fast =
      MeasureRoundTrip(Mode::kFast, Host::kTuned, options.spacedMessages, kGap, options);
  report.Add({"Round trip 16 B, 20 ms apart, median", "us", plain.medianUs, standard.medianUs,
              fast.medianUs, 2});
  report.Add({"Round trip 16 B, 20 ms apart, 99th percentile", "us", plain.p99Us, standard.p99Us,
              fast.p99Us, 2});
  report.Check("default mode round trip median <= 2.5 ms", standard.medianUs / 1e3, "ms",
               standard.medianUs <= 2500);
  report.Check("fast mode round trip median <= 2x plain socket", fast.medianUs / plain.medianUs,
               "x plain", fast.medianUs <= 2 * plain.medianUs);

  const RoundTrip plainBurst =
      MeasureRoundTrip(Mode::kPlain, Host::kTuned, options.fastMessages, milliseconds(0), options);
  const RoundTrip standardBurst = MeasureRoundTrip(
      Mode::kDefault, Host::kTuned, options.defaultMessages, milliseconds(0), options);
  const RoundTrip fastBurst =
      MeasureRoundTrip(Mode::kFast, Host::kTuned, options.fastMessages, milliseconds(0), options);
  report.Add({"Round trip 16 B, back to back, median", "us", plainBurst.medianUs,
              standardBurst.medianUs, fastBurst.medianUs, 2});
}

}  // namespace port_bench
