// SPDX-License-Identifier: MIT
// Dotted IPv4 addresses, as the system reads them.
#include <arpa/inet.h>
#include <netinet/in.h>

#include "platform/platform.h"

namespace zortcp::platform {

uint32_t ParseDottedAddress(const char* text) {
  if (text == nullptr) return INADDR_NONE;
  return inet_addr(text);
}

}  // namespace zortcp::platform
