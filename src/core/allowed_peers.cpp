// SPDX-License-Identifier: MIT
#include "core/allowed_peers.h"

#include <cstdint>
#include <cstring>

namespace zortcp {
namespace {

// Whether the first prefixBits bits of two addresses are equal.
bool PrefixMatches(const uint8_t (&address)[16], const AllowedPeer& entry) {
  int32_t bits = entry.prefixBits;
  for (int32_t i = 0; i < 16 && bits > 0; ++i, bits -= 8) {
    const uint8_t mask = static_cast<uint8_t>(bits >= 8 ? 0xFF : 0xFF00 >> bits);
    if (((address[i] ^ entry.address[i]) & mask) != 0) return false;
  }
  return true;
}

}  // namespace

void MapIpv4Address(uint32_t address, uint8_t (&mapped)[16]) {
  for (uint8_t& byte : mapped) byte = 0;
  mapped[10] = 0xFF;
  mapped[11] = 0xFF;
  // Network byte order: the first byte in memory is the first of the text.
  std::memcpy(mapped + 12, &address, sizeof address);
}

bool IsAllowedAddress(const AllowedPeers& list, const uint8_t (&address)[16]) {
  if (!list.given) return true;
  for (int32_t i = 0; i < list.count; ++i) {
    if (PrefixMatches(address, list.entries[i])) return true;
  }
  return false;
}

bool IsAllowedPeer(const AllowedPeers& list, uint32_t address) {
  uint8_t mapped[16];
  MapIpv4Address(address, mapped);
  return IsAllowedAddress(list, mapped);
}

}  // namespace zortcp
