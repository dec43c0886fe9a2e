// SPDX-License-Identifier: MIT
// The Python benchmark's host in C: the library driven the way port_bench's
// ordinary host drives it (the fast mode and its own rings, ZorWritePort of
// 64 KiB blocks that waits for room, ZorReadPort of up to 64 KiB by a reader
// woken by the kind 3 events, with port_bench's own event handler), against the benchmark's peer
// (stream_peer or bench.py's own), so that the Python host's figures have a C figure taken against
// the same peer process, in the same run.
//
//   stream_host PORT MEGABYTES
//
// prints three lines: host to peer (MB/s), peer to host (MB/s) and the
// median 16-byte round trip (us); each opens a client port of its own to
// 127.0.0.1:PORT. Ends with 1 when a port cannot be opened or connected
// (within port_bench's connect wait), or a transfer stops for 30 s.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "port_bench/common.h"
#include "port_bench/port_events.h"
#include "zortcp.h"

namespace {

using port_bench::AwaitConnected;
using port_bench::AwaitReceived;
using port_bench::Clock;
using port_bench::OnEvent;
using port_bench::ReceivedEvents;
using port_bench::ResetSlot;
using port_bench::Seconds;

constexpr int32_t kBlock = 65536;
constexpr int kTrips = 2000;
constexpr int kWarmUp = 200;
constexpr std::chrono::seconds kStall(30);
// Each measurement's port is the only one open: it reports to slot 0.
constexpr uint32_t kSlot = 0;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "stream_host: %s\n", what);
  std::exit(1);
}

// A connected client port with the header of one measurement sent.
int32_t OpenFor(const std::string& service, char kind, uint64_t count) {
  const int32_t on = 1;
  ZorChangeDefault(ZOR_DEFAULT_FAST_TRANSFER, &on, sizeof on);
  ZorChangeDefault(ZOR_DEFAULT_SERVICE, service.c_str(), static_cast<uint32_t>(service.size() + 1));
  ResetSlot(kSlot);
  ZorSetEventHandler(&OnEvent, kSlot);
  int32_t handle = -1;
  if (ZorOpenPort("127.0.0.1", 0, 0, nullptr, &handle) != 0) Fail("ZorOpenPort failed");
  if (!AwaitConnected(kSlot)) Fail("the port did not connect");
  std::array<uint8_t, 9> header{static_cast<uint8_t>(kind)};
  for (size_t i = 1; i < header.size(); ++i)
    header[i] = static_cast<uint8_t>(count >> (8 * (i - 1)));
  ZorWritePort(handle, header.data(), static_cast<int32_t>(header.size()));
  return handle;
}

// Reads what is there, waiting for a kind 3 event while there is nothing.
int32_t ReadSome(int32_t handle, uint8_t* buffer, int32_t capacity) {
  for (;;) {
    const uint64_t seen = ReceivedEvents(kSlot);
    int32_t got = 0;
    if (ZorReadPort(handle, buffer, capacity, &got) != 0) Fail("ZorReadPort failed");
    if (got > 0) return got;
    if (!AwaitReceived(kSlot, seen, Clock::now() + kStall)) Fail("nothing came for 30 s");
  }
}

double HostToPeer(const std::string& service, uint64_t size) {
  const int32_t handle = OpenFor(service, 's', size);
  const std::vector<uint8_t> block(kBlock);
  const auto started = Clock::now();
  for (uint64_t left = size; left > 0;) {
    const auto piece = static_cast<int32_t>(std::min<uint64_t>(left, kBlock));
    if (ZorWritePort(handle, block.data(), piece) != 0) Fail("ZorWritePort failed");
    left -= static_cast<uint64_t>(piece);
  }
  uint8_t answer = 0;
  ReadSome(handle, &answer, 1);
  const double seconds = Seconds(Clock::now() - started);
  ZorClosePort(handle);
  return static_cast<double>(size) / seconds / 1e6;
}

double PeerToHost(const std::string& service, uint64_t size) {
  const int32_t handle = OpenFor(service, 'g', size);
  std::vector<uint8_t> block(kBlock);
  const auto started = Clock::now();
  for (uint64_t left = size; left > 0;) {
    const auto capacity = static_cast<int32_t>(std::min<uint64_t>(left, kBlock));
    left -= static_cast<uint64_t>(ReadSome(handle, block.data(), capacity));
  }
  const double seconds = Seconds(Clock::now() - started);
  ZorWritePort(handle, "k", 1);
  ZorClosePort(handle);
  return static_cast<double>(size) / seconds / 1e6;
}

double RoundTrip(const std::string& service) {
  const int32_t handle = OpenFor(service, 'e', 0);
  std::array<uint8_t, 16> message{};
  std::array<uint8_t, 16> answer{};
  std::vector<double> trips;
  for (int number = 0; number < kWarmUp + kTrips; ++number) {
    const auto started = Clock::now();
    ZorWritePort(handle, message.data(), static_cast<int32_t>(message.size()));
    for (int32_t got = 0; got < 16;) got += ReadSome(handle, answer.data() + got, 16 - got);
    if (number >= kWarmUp) trips.push_back(Seconds(Clock::now() - started) * 1e6);
  }
  ZorClosePort(handle);
  std::sort(trips.begin(), trips.end());
  return trips[trips.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: stream_host PORT MEGABYTES\n");
    return 2;
  }
  const std::string service = argv[1];
  const uint64_t size = std::strtoull(argv[2], nullptr, 10) << 20;
  if (service.empty() || size == 0) Fail("a port and a count of megabytes are needed");
  std::printf("%.1f\n", HostToPeer(service, size));
  std::printf("%.1f\n", PeerToHost(service, size));
  std::printf("%.1f\n", RoundTrip(service));
  return 0;
}
