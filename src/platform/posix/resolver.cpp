// SPDX-License-Identifier: MIT
// Host and service names, through the thread-safe resolver calls only.
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/platform.h"
#include "platform/socket_errors.h"
#include "platform/system_resolver.h"

namespace zortcp::platform::lookup {
namespace {

// Room for one services entry: its name, aliases and protocol.
constexpr size_t kServiceEntryBytes = 4096;

int32_t ResolverFailure(int status) {
  switch (status) {
    case EAI_NONAME:
      return kErrorHostNotFound;
    case EAI_AGAIN:
      return kErrorTryAgain;
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
      return kErrorNoData;
    case EAI_MEMORY:
      return kErrorNoBuffers;
    case EAI_SYSTEM:
      return WinsockErrorFromSystem(errno);
    default:
      return kErrorNoRecovery;
  }
}

int32_t FailResolver(int status) {
  SetLastSocketError(ResolverFailure(status));
  return kSocketError;
}

struct AddressListFree {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

}  // namespace

int32_t HostName(char* buffer, int32_t size) {
  if (gethostname(buffer, static_cast<size_t>(size)) == 0) return 0;
  // A name longer than the buffer is the caller's too-small buffer.
  SetLastSocketError(errno == ENAMETOOLONG ? kErrorFault : WinsockErrorFromSystem(errno));
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
  return FailResolver(EAI_NODATA);
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
  char buffer[kServiceEntryBytes];
  servent entry{};
  servent* found = nullptr;
  const int status = getservbyname_r(name, protocol, &entry, buffer, sizeof(buffer), &found);
  if (status != 0 || found == nullptr) {
    SetLastSocketError(kErrorNoData);
    return kSocketError;
  }
  *port = ntohs(static_cast<uint16_t>(found->s_port));
  return 0;
}

}  // namespace zortcp::platform::lookup
