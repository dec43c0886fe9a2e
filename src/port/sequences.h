// SPDX-License-Identifier: MIT
// The acquiring and the releasing half of a port's life.
#pragma once

#include <cstdint>

namespace zortcp {

struct PortControlBlock;

// Obtains the port's memory, socket and monitor threads, in order, and
// starts the monitors. 0, or the location (1 to 14) of the step that
// failed, with the failure recorded and everything obtained given back.
int32_t OpenSequence(PortControlBlock& block);

// Holds the port, closes its sockets, stops both monitors (terminating one
// that does not stop in time) and frees the port's memory. Reports nothing.
// It is made of two halves, so that the unload can ask every port to stop
// before it waits for any: CloseBegin marks the port closing, waits for the
// host's calls inside it to leave, holds it, closes its sockets and asks
// both monitors to stop; CloseFinish, given the tick at which the first of
// the begins was made, waits for the monitors until about 5 s after it,
// terminates those still running and frees what the open obtained.
void CloseSequence(PortControlBlock& block);
void CloseBegin(PortControlBlock& block);
void CloseFinish(PortControlBlock& block, uint32_t begunAt);

}  // namespace zortcp
