// SPDX-License-Identifier: MIT
// Host and service names. getaddrinfo and getnameinfo report Winsock
// numbers themselves (11001 host not found, 11002 try again, ...).
#include <cstring>
#include <memory>

#include "platform/fault_injection.h"
#include "platform/platform.h"
#include "platform/socket_errors.h"
#include "platform/win32/system.h"

namespace zortcp::platform {
namespace {

using faults::Operation;

bool InjectedFailure(Operation operation) {
  int32_t injected = 0;
  if (!faults::ShouldFail(operation, kNoSocket, &injected)) return false;
  SetLastSocketError(injected);
  return true;
}

int32_t FailResolver(int status) {
  SetLastSocketError(status == EAI_MEMORY ? kErrorNoBuffers : status);
  return kSocketError;
}

struct AddressListFree {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

}  // namespace

int32_t LocalHostName(char* buffer, int32_t size) {
  if (InjectedFailure(Operation::kLocalHostName)) return kSocketError;
  if (buffer == nullptr || size <= 0) {
    SetLastSocketError(kErrorFault);
    return kSocketError;
  }
  if (gethostname(buffer, size) != 0) {
    SetLastSocketError(WSAGetLastError());
    return kSocketError;
  }
  return 0;
}

int32_t HostByName(const char* name, uint32_t* address) {
  if (InjectedFailure(Operation::kHostByName)) return kSocketError;
  if (name == nullptr || address == nullptr) {
    SetLastSocketError(kErrorFault);
    return kSocketError;
  }
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

int32_t HostByAddress(uint32_t address, std::string* name) {
  if (InjectedFailure(Operation::kHostByAddress)) return kSocketError;
  if (name == nullptr) {
    SetLastSocketError(kErrorFault);
    return kSocketError;
  }
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

int32_t ServiceByName(const char* name, const char* protocol, uint16_t* port) {
  if (InjectedFailure(Operation::kServiceByName)) return kSocketError;
  if (name == nullptr || port == nullptr) {
    SetLastSocketError(kErrorFault);
    return kSocketError;
  }
  // Winsock keeps the entry in storage of the calling thread.
  const servent* found = getservbyname(name, protocol);
  if (found == nullptr) {
    SetLastSocketError(kErrorNoData);
    return kSocketError;
  }
  *port = ntohs(static_cast<uint16_t>(found->s_port));
  return 0;
}

}  // namespace zortcp::platform
