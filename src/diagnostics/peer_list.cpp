// SPDX-License-Identifier: MIT
// Addresses are read by hand rather than by the system, so that a list
// means the same on every system: dotted IPv4 in plain decimal (no leading
// zeros, which some readers take as octal), IPv6 in its usual text forms,
// with "::" and a dotted IPv4 tail, without zone (%eth0) or brackets.
#include "diagnostics/peer_list.h"

#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/allowed_peers.h"
#include "core/text.h"

namespace zortcp {
namespace {

constexpr int32_t kIpv4PrefixMax = 32;
constexpr int32_t kIpv6PrefixMax = 128;
constexpr int32_t kMappedPrefixBits = 96;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int32_t HexDigit(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// 1 to 3 decimal digits without a leading zero; -1 for anything else.
int32_t DecimalValue(std::string_view text) {
  if (text.empty() || text.size() > 3 || (text.size() > 1 && text[0] == '0')) return -1;
  int32_t value = 0;
  for (char c : text) {
    if (!IsDigit(c)) return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

bool ParseIpv4(std::string_view text, uint8_t* bytes) {
  for (int32_t part = 0; part < 4; ++part) {
    const size_t dot = text.find('.');
    if ((part < 3) == (dot == std::string_view::npos)) return false;
    const int32_t value = DecimalValue(text.substr(0, dot));
    if (value < 0 || value > 255) return false;
    bytes[part] = static_cast<uint8_t>(value);
    if (part < 3) text.remove_prefix(dot + 1);
  }
  return true;
}

// Groups of 1 to 4 hex digits separated by single colons into bytes; a
// dotted IPv4 address may stand for the last two groups. An empty text
// gives no bytes.
bool ParseGroups(std::string_view text, uint8_t (&bytes)[16], int32_t* length) {
  *length = 0;
  while (!text.empty()) {
    const size_t colon = text.find(':');
    const std::string_view group = text.substr(0, colon);
    if (colon == std::string_view::npos && group.find('.') != std::string_view::npos) {
      if (*length > 12 || !ParseIpv4(group, bytes + *length)) return false;
      *length += 4;
      return true;
    }
    if (group.empty() || group.size() > 4 || *length > 14) return false;
    uint32_t value = 0;
    for (char c : group) {
      const int32_t digit = HexDigit(c);
      if (digit < 0) return false;
      value = value * 16 + static_cast<uint32_t>(digit);
    }
    bytes[(*length)++] = static_cast<uint8_t>(value >> 8);
    bytes[(*length)++] = static_cast<uint8_t>(value & 0xFF);
    if (colon == std::string_view::npos) return true;
    text.remove_prefix(colon + 1);
    // A single colon at the end stands for a missing group.
    if (text.empty()) return false;
  }
  return true;
}

// "::" stands for one or more groups of zeros, once.
bool ParseIpv6(std::string_view text, uint8_t (&address)[16]) {
  const size_t gap = text.find("::");
  if (gap == std::string_view::npos) {
    int32_t length = 0;
    return ParseGroups(text, address, &length) && length == 16;
  }
  const std::string_view head = text.substr(0, gap);
  const std::string_view tail = text.substr(gap + 2);
  if (head.find('.') != std::string_view::npos || tail.find("::") != std::string_view::npos ||
      tail.starts_with(':')) {
    return false;
  }
  uint8_t headBytes[16] = {};
  uint8_t tailBytes[16] = {};
  int32_t headLength = 0;
  int32_t tailLength = 0;
  if (!ParseGroups(head, headBytes, &headLength) || !ParseGroups(tail, tailBytes, &tailLength) ||
      headLength + tailLength > 14) {
    return false;
  }
  for (uint8_t& byte : address) byte = 0;
  for (int32_t i = 0; i < headLength; ++i) address[i] = headBytes[i];
  for (int32_t i = 0; i < tailLength; ++i) address[16 - tailLength + i] = tailBytes[i];
  return true;
}

// One entry: an address of either family, with an optional prefix length.
bool ParseEntry(std::string_view text, AllowedPeer* entry) {
  const size_t slash = text.find('/');
  const std::string_view address = text.substr(0, slash);
  const bool ipv6 = address.find(':') != std::string_view::npos;
  const int32_t maxBits = ipv6 ? kIpv6PrefixMax : kIpv4PrefixMax;
  int32_t bits = maxBits;
  if (slash != std::string_view::npos) {
    bits = DecimalValue(text.substr(slash + 1));
    if (bits < 0 || bits > maxBits) return false;
  }
  if (ipv6) {
    if (!ParseIpv6(address, entry->address)) return false;
    entry->prefixBits = static_cast<uint8_t>(bits);
    return true;
  }
  uint8_t ipv4[4];
  if (!ParseIpv4(address, ipv4)) return false;
  uint32_t networkOrder = 0;
  std::memcpy(&networkOrder, ipv4, sizeof networkOrder);
  MapIpv4Address(networkOrder, entry->address);
  entry->prefixBits = static_cast<uint8_t>(bits + kMappedPrefixBits);
  return true;
}

void KeepProblem(AllowedPeers& peers, AllowedPeers::Problem problem, std::string_view entry) {
  peers.problem = problem;
  CopyText(peers.badEntry, entry);
}

}  // namespace

void AddAllowedPeers(AllowedPeers& peers, std::string_view text) {
  peers.given = true;
  if (peers.problem != AllowedPeers::Problem::kNone) return;
  for (;;) {
    const size_t comma = text.find(',');
    const std::string_view entryText = Trimmed(text.substr(0, comma));
    AllowedPeer entry;
    if (entryText.empty() || !ParseEntry(entryText, &entry)) {
      KeepProblem(peers, AllowedPeers::Problem::kUnreadable, entryText);
      return;
    }
    if (peers.count == kMaxAllowedPeers) {
      KeepProblem(peers, AllowedPeers::Problem::kTooMany, entryText);
      return;
    }
    peers.entries[peers.count++] = entry;
    if (comma == std::string_view::npos) return;
    text.remove_prefix(comma + 1);
  }
}

}  // namespace zortcp
