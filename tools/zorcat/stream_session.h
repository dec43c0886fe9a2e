// SPDX-License-Identifier: MIT
// zorcat connect and zorcat listen: one port between standard input and
// standard output.
//
// The session goes through three phases. Sending: standard input goes to
// the port, received bytes to standard output, events to standard error.
// Draining: the input has ended, and the session waits until the port has
// transmitted (or dropped) every byte queued, giving up when nothing moves
// for a while. Lingering: the session keeps receiving until the peer
// closes, or until --idle milliseconds pass without a received byte; it
// lingers only once a connection has been made. Ctrl-C, a port that gives
// up connecting, or a local failure end it in any phase; the port is always
// closed before zorcat exits.
#pragma once

#include "zorcat/options.h"

namespace zorcat {

// Runs the session and returns zorcat's exit status.
int RunStreamSession(const PortOptions& options);

}  // namespace zorcat
