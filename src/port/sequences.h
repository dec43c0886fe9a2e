// The acquiring and the releasing half of a port's life.
#pragma once

#include <cstdint>

namespace zortcp {

struct PortControlBlock;

// Obtains the port's memory, socket and monitor threads, in order, and
// starts the monitors. 0, or the location (1 to 14) of the step that
// failed, with the failure recorded and everything obtained given back.
int32_t OpenSequence(PortControlBlock& block);

// Holds the port, closes its sockets, stops TxMonitor and then the receive
// monitor (terminating one that does not stop in time) and frees the
// port's memory. Reports nothing.
void CloseSequence(PortControlBlock& block);

}  // namespace zortcp
