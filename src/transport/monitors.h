// SPDX-License-Identifier: MIT
// The thread routines of a port: the receive monitor of a client or a
// server port, and the transmit monitor. Each is started with the address
// of its block's thread argument field, which holds the block's address.
#pragma once

namespace zortcp {

void RxMonitorClient(void* argument);
void RxMonitorServer(void* argument);
void TxMonitor(void* argument);

}  // namespace zortcp
