// SPDX-License-Identifier: MIT
// What the event handler learns for each port, and the waits of the host's
// threads on it. Each port under test has a slot, given to the handler as
// its user value; a handler wakes a thread only when that thread waits for
// what the event brings, as a host's handler would do it.
#pragma once

#include <cstdint>

#include "port_bench/common.h"
#include "zortcp.h"

namespace port_bench {

// The handler for every port; userData is the index of the port's slot.
int32_t ZOR_CALL OnEvent(int32_t handle, int32_t kind, void* data, uint32_t userData);

// Clears the slot for a port about to be opened.
void ResetSlot(uint32_t slot);
// Waits until the port has connected (within kConnectWait).
bool AwaitConnected(uint32_t slot);
// Wakes the slot's waiting threads for good.
void StopSlot(uint32_t slot);

// Waits until the kind 4 events have counted at least wakeAt bytes
// transmitted; false once stopped.
bool AwaitTransmitted(uint32_t slot, uint64_t wakeAt);
// The kind 3 events so far.
uint64_t ReceivedEvents(uint32_t slot);
// Waits for a kind 3 event after the count seen; false once stopped or at
// the deadline.
bool AwaitReceived(uint32_t slot, uint64_t seen, Clock::time_point deadline);

}  // namespace port_bench
