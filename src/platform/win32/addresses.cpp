// SPDX-License-Identifier: MIT
// Byte order and dotted IPv4 addresses.
#include "platform/platform.h"
#include "platform/win32/system.h"

namespace zortcp::platform {

uint16_t HostToNetwork16(uint16_t value) { return htons(value); }
uint16_t NetworkToHost16(uint16_t value) { return ntohs(value); }
uint32_t HostToNetwork32(uint32_t value) { return htonl(value); }

uint32_t ParseDottedAddress(const char* text) {
  if (text == nullptr) return INADDR_NONE;
  return inet_addr(text);
}

std::string FormatDottedAddress(uint32_t address) {
  // inet_ntop rather than inet_ntoa, whose buffer the thread's next call
  // overwrites.
  in_addr system{};
  system.s_addr = address;
  char text[INET_ADDRSTRLEN] = {};
  if (inet_ntop(AF_INET, &system, text, sizeof(text)) == nullptr) return {};
  return text;
}

}  // namespace zortcp::platform
