// SPDX-License-Identifier: MIT
// Host and service names. getaddrinfo and getnameinfo report Winsock
// numbers themselves (11001 host not found, 11002 try again, ...).
#include <cstring>
#include <memory>

#include "platform/platform.h"
#include "platform/socket_errors.h"
#include "platform/system_resolver.h"
#include "platform/win32/system.h"

namespace zortcp::platform::lookup {
namespace {

int32_t FailResolver(int status) {
  SetLastSocketError(status == EAI_MEMORY ? kErrorNoBuffers : status);
  return kSocketError;
}

struct AddressListFree {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

}  // namespace

int32_t HostName(char* buffer, int32_t size) {
  if (gethostname(buffer, size) == 0) return 0;
  SetLastSocketError(WSAGetLastError());
  return kSocketError;
}

int32_t FirstIpv4Address(const char* name, uint32_t* address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int status = getaddrinfo(name, nullptr, &hints, &found);
  if (status != 0) return FailResolver(status);
  std::unique_ptr<addrinfo, AddressListFree> list(found);
  for (const addrinfo* item = found; item != nullptr; item = item->ai_next) {
    if (item->ai_family != AF_INET || item->ai_addr == nullptr) continue;
    sockaddr_in ipv4{};
    std::memcpy(&ipv4, item->ai_addr, sizeof(ipv4));
    *address = ipv4.sin_addr.s_addr;
    return 0;
  }
  return FailResolver(kErrorNoData);
}

int32_t NameOfAddress(uint32_t address, std::string* name) {
  sockaddr_in ipv4{};
  ipv4.sin_family = AF_INET;
  ipv4.sin_addr.s_addr = address;
  char host[NI_MAXHOST] = {};
  // NI_NAMEREQD: an address without a name is a failure, not its own
  // dotted form.
  const int status = getnameinfo(reinterpret_cast<const sockaddr*>(&ipv4), sizeof(ipv4), host,
                                 sizeof(host), nullptr, 0, NI_NAMEREQD);
  if (status != 0) return FailResolver(status);
  *name = host;
  return 0;
}

int32_t ServicePort(const char* name, const char* protocol, uint16_t* port) {
  // Winsock keeps the entry in storage of the calling thread.
  const servent* found = getservbyname(name, protocol);
  if (found == nullptr) {
    SetLastSocketError(kErrorNoData);
    return kSocketError;
  }
  *port = ntohs(static_cast<uint16_t>(found->s_port));
  return 0;
}

}  // namespace zortcp::platform::lookup
