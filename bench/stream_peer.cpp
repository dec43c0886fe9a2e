// SPDX-License-Identifier: MIT
// The Python benchmark's peer (bindings/python/bench/bench.py) in C++, made
// of port_bench's own peer connections, so that a Python host's figures can
// be set beside port_bench's against the same kind of peer: a peer written
// in Python takes the processor a C host's peer does not, and on a small
// machine that alone halves what a host can send.
//
// It listens on a port of 127.0.0.1 that the system chooses, prints that
// port on a line of its own once it listens, and serves one connection at a
// time. Each connection begins with a header of 9 bytes: a letter and a
// little-endian 64-bit count. "s" takes count bytes and answers one byte,
// "g" sends count bytes and then waits for one, "e" echoes until the end of
// the stream, "q" ends the program. With no connection for 10 minutes it
// ends too, so that a benchmark that died leaves nothing behind for long.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

#include "support/loopback_peer.h"

namespace {

using zortcp::testing::LoopbackListener;
using zortcp::testing::PeerConnection;

constexpr size_t kBlock = size_t{1} << 20;
constexpr std::chrono::minutes kIdleEnd(10);
constexpr size_t kHeaderSize = 9;
constexpr std::chrono::seconds kHeaderWait(10);

void Sink(PeerConnection& connection, uint64_t count, std::vector<uint8_t>& buffer) {
  while (count > 0) {
    const int64_t got = connection.ReceiveOnce(
        buffer.data(), static_cast<size_t>(std::min<uint64_t>(count, kBlock)));
    if (got <= 0) return;
    count -= static_cast<uint64_t>(got);
  }
  connection.SendAll("k");
}

void Source(PeerConnection& connection, uint64_t count, std::vector<uint8_t>& buffer) {
  while (count > 0) {
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(count, kBlock));
    if (!connection.SendAll(buffer.data(), piece)) return;
    count -= piece;
  }
  uint8_t answer = 0;
  connection.ReceiveOnce(&answer, 1);  // until the host has had every byte
}

void Echo(PeerConnection& connection, std::vector<uint8_t>& buffer) {
  for (;;) {
    const int64_t got = connection.ReceiveOnce(buffer.data(), buffer.size());
    if (got <= 0 || !connection.SendAll(buffer.data(), static_cast<size_t>(got))) return;
  }
}

}  // namespace

int main() {
  LoopbackListener listener;
  if (listener.port() == 0) return 1;
  std::printf("%u\n", static_cast<unsigned>(listener.port()));
  std::fflush(stdout);
  std::vector<uint8_t> buffer(kBlock);
  for (;;) {
    std::optional<PeerConnection> accepted = listener.Accept(kIdleEnd);
    if (!accepted) return 0;
    PeerConnection& connection = *accepted;
    const std::vector<uint8_t> header = connection.ReceiveExactly(kHeaderSize, kHeaderWait);
    if (header.size() != kHeaderSize) continue;
    uint64_t count = 0;
    for (size_t i = 8; i >= 1; --i) count = (count << 8) | header[i];
    switch (header[0]) {
      case 'q':
        return 0;
      case 's':
        Sink(connection, count, buffer);
        break;
      case 'g':
        Source(connection, count, buffer);
        break;
      case 'e':
        Echo(connection, buffer);
        break;
      default:
        break;
    }
  }
}
