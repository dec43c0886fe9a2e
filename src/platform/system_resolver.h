// SPDX-License-Identifier: MIT
// The system's own name lookups behind the resolver calls of platform.h.
// Each returns 0, or kSocketError with the last socket error set; the
// caller has checked the arguments.
#pragma once

#include <cstdint>
#include <string>

namespace zortcp::platform::lookup {

int32_t HostName(char* buffer, int32_t size);

// The first IPv4 address of a host name.
int32_t FirstIpv4Address(const char* name, uint32_t* address);

// The official name of an IPv4 address; an address without a name fails.
int32_t NameOfAddress(uint32_t address, std::string* name);

// A service's port in host byte order.
int32_t ServicePort(const char* name, const char* protocol, uint16_t* port);

}  // namespace zortcp::platform::lookup
