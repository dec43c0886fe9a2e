// SPDX-License-Identifier: MIT
// Event notifications: the port's handler is called on the monitor's own
// thread, with no lock held, after the state that the event reports has
// changed. A port without a handler raises nothing.
#pragma once

#include <cstdint>

#include "zortcp.h"

namespace zortcp {

struct PortControlBlock;

inline constexpr int32_t kEventSource = 2;

// Kinds 2 to 5 with their integer.
void RaiseEvent(PortControlBlock& block, int32_t kind, int32_t value);

// Kind 1 with the text "%s, Port: %u".
void RaiseConnectedEvent(PortControlBlock& block, const char* peerName, uint32_t port);

}  // namespace zortcp
