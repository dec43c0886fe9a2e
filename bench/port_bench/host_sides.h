// SPDX-License-Identifier: MIT
// The threads at either end of a link while bytes flow.
//
// The tuned host's writer keeps at most the TxRing's capacity queued (it
// learns what has gone from the kind 4 events, and its handler wakes it only
// once a whole block fits again) and writes a block of the port's shape at a
// time; the ordinary host's writer just writes its blocks and lets each
// write wait for room. Both readers wake on kind 3 events (the handler
// notifies a condition variable) and take everything waiting with
// ZorReadPort. The plain sides send and receive kPeerBlock at a time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "port_bench/links.h"

namespace port_bench {

constexpr size_t kPeerBlock = 65536;

// Bytes of a recognisable pattern.
std::vector<uint8_t> Payload(size_t size);

// Paces itself by the kind 4 events, or (blockingWrites) lets each write
// wait for room in the ring.
void PortWriter(const Link& link, const std::atomic<bool>& stop);
// Counts what it takes in bytes.
void PortReader(const Link& link, const std::atomic<bool>& stop, std::atomic<uint64_t>& bytes);

// Sends until stopped or the connection fails.
void PlainWriter(PeerConnection& connection, const std::atomic<bool>& stop);
// Receives until stopped or the connection ends, counting in bytes.
void PlainReader(const PeerConnection& connection, const std::atomic<bool>& stop,
                 std::atomic<uint64_t>& bytes);

}  // namespace port_bench
