// SPDX-License-Identifier: MIT
// Whether a server port is listening yet.
//
// A server port's open only binds its socket; its receive monitor starts
// listening a moment later, and no event tells when. A peer that connects
// in between is refused. The system's table of TCP sockets shows the
// moment, so zorcat looks there before it says that a port listens.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace zorcat {

// Waits until the system shows a socket listening on the port and address
// (a dotted address, or anything else for every local address). False at
// the time-out, or at once where the system keeps no such table.
bool WaitUntilListening(const std::string& address, uint32_t port,
                        std::chrono::milliseconds timeout);

}  // namespace zorcat
