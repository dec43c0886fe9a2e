// SPDX-License-Identifier: MIT
// The connections under test: a zortcp client port (or, for the baseline, a
// plain socket) and the plain-socket peer on 127.0.0.1 it is connected to.
#pragma once

#include <cstdint>
#include <vector>

#include "port_bench/common.h"
#include "support/loopback_peer.h"

namespace port_bench {

using zortcp::testing::LoopbackListener;
using zortcp::testing::PeerConnection;

// The rings a port is given and the blocks its host writes.
struct PortShape {
  uint32_t rxRing = 0;
  uint32_t txRing = 0;
  int32_t writeBlock = 0;
  // The writer lets ZorWritePort wait for room in the ring rather than
  // pacing itself by the kind 4 events.
  bool blockingWrites = false;
};

// How the host drives its ports. A tuned host shapes them for the mode, as
// below. An ordinary host turns the fast mode on and does nothing more: the
// library's default rings, ZorWritePort of 64 KiB blocks that waits until
// the ring has taken them, and a reader woken by the kind 3 events.
enum class Host { kTuned, kOrdinary };

// The default mode runs with the library's default rings and writes of one
// chunk. A host that wants the fast mode's throughput gives its ports larger
// rings (ZorChangeBufferSizes) and writes in larger blocks, as it would on a
// plain socket: the transmit monitor then never runs dry between two writes,
// the writer wakes once per block rather than once per chunk, and the
// receive monitor does not find its ring full whenever the reader is late (a
// full ring holds it in turns of a millisecond).
constexpr PortShape kDefaultShape{65536, 8192, kChunkSize};
constexpr PortShape kFastShape{1048576, 262144, 65536};
constexpr PortShape kOrdinaryShape{65536, 8192, 65536, true};

inline PortShape ShapeOf(Mode mode, Host host = Host::kTuned) {
  if (host == Host::kOrdinary) return kOrdinaryShape;
  return mode == Mode::kFast ? kFastShape : kDefaultShape;
}

struct Link {
  Mode mode = Mode::kPlain;
  PortShape shape;
  int32_t handle = -1;   // port modes
  PeerConnection plain;  // plain mode: the host's socket
  PeerConnection peer;   // the peer's end
  uint32_t slot = 0;     // port modes: the slot of its events
};

// Connects a link through the listener, or ends the program; a port is
// opened with the given shape and reports its events to the slot.
void OpenLink(Link& link, LoopbackListener& listener, Mode mode, uint32_t slot, PortShape shape);
inline void OpenLink(Link& link, LoopbackListener& listener, Mode mode, uint32_t slot,
                     Host host = Host::kTuned) {
  OpenLink(link, listener, mode, slot, ShapeOf(mode, host));
}
// Shuts the peer's end (and the plain socket) down, so that threads blocked
// on them return, then closes the port and both ends.
void CloseLink(Link& link);

// Links 0 to count - 1, each with the slot of its index.
std::vector<Link> OpenLinks(Mode mode, int count, LoopbackListener& listener,
                            Host host = Host::kTuned);
void CloseLinks(std::vector<Link>& links);

}  // namespace port_bench
