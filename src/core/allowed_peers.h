// SPDX-License-Identifier: MIT
// The peers a server port serves ("Allowed Peers"): addresses and prefixes
// of either family. An IPv4 address is kept as its IPv4-mapped IPv6 form
// (::ffff:a.b.c.d, its prefix 96 bits longer), so that one comparison
// serves both families and an IPv4 peer is the same peer whichever way a
// socket shows it.
#pragma once

#include <cstdint>

namespace zortcp {

inline constexpr int32_t kMaxAllowedPeers = 64;
inline constexpr int32_t kAllowedPeerBadEntrySize = 65;

struct AllowedPeer {
  uint8_t address[16] = {};
  uint8_t prefixBits = 128;
};

struct AllowedPeers {
  // False while no list was given: every peer is served.
  bool given = false;
  int32_t count = 0;
  AllowedPeer entries[kMaxAllowedPeers];
  // The first entry that could not be read, or that did not fit: a server
  // port then does not open. Its text, cut to 64 characters.
  enum class Problem { kNone, kUnreadable, kTooMany };
  Problem problem = Problem::kNone;
  char badEntry[kAllowedPeerBadEntrySize] = {};
};

// The IPv4-mapped form of an IPv4 address in network byte order.
void MapIpv4Address(uint32_t address, uint8_t (&mapped)[16]);

// Whether the list lets in a peer at this IPv6 address (an IPv4 peer in
// its mapped form); every peer when no list was given.
bool IsAllowedAddress(const AllowedPeers& list, const uint8_t (&address)[16]);

// Whether the list lets in a peer at this IPv4 address (network byte
// order); every peer when no list was given.
bool IsAllowedPeer(const AllowedPeers& list, uint32_t address);

}  // namespace zortcp
