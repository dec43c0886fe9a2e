// SPDX-License-Identifier: MIT
// Host and service names: the checks and failures every system shares,
// around the system's own lookups.
#include "platform/fault_injection.h"
#include "platform/platform.h"
#include "platform/socket_errors.h"
#include "platform/socket_table.h"
#include "platform/system_resolver.h"

namespace zortcp::platform {
namespace {

using faults::Operation;

// True, with the last socket error set, when fault injection fails the
// call or a pointer it needs is null (10014).
bool RefusedCall(Operation operation, bool argumentsPresent) {
  if (InjectedSocketFailure(operation, kNoSocket)) return true;
  if (argumentsPresent) return false;
  SetLastSocketError(kErrorFault);
  return true;
}

}  // namespace

int32_t LocalHostName(char* buffer, int32_t size) {
  if (RefusedCall(Operation::kLocalHostName, buffer != nullptr && size > 0)) return kSocketError;
  return lookup::HostName(buffer, size);
}

int32_t HostByName(const char* name, uint32_t* address) {
  if (RefusedCall(Operation::kHostByName, name != nullptr && address != nullptr)) {
    return kSocketError;
  }
  return lookup::FirstIpv4Address(name, address);
}

int32_t HostByAddress(uint32_t address, std::string* name) {
  if (RefusedCall(Operation::kHostByAddress, name != nullptr)) return kSocketError;
  return lookup::NameOfAddress(address, name);
}

int32_t ServiceByName(const char* name, const char* protocol, uint16_t* port) {
  if (RefusedCall(Operation::kServiceByName, name != nullptr && port != nullptr)) {
    return kSocketError;
  }
  return lookup::ServicePort(name, protocol, port);
}

}  // namespace zortcp::platform
