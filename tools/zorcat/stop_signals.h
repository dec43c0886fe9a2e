// SPDX-License-Identifier: MIT
// SIGINT and SIGTERM (on Windows: Ctrl-C and Ctrl-Break, and the console's
// close, logoff and shutdown) as something the main loop can wait for.
//
// The handler only records the signal and raises a wake flag; closing the
// port and printing happen on the main thread, since no library call may
// be made from a signal handler.
#pragma once

#include <signal.h>

#include "zorcat/host_system.h"

namespace zorcat {

class StopSignals {
 public:
  // Installs the handlers (once per process) and ignores SIGPIPE, so that a
  // closed standard output shows up as a failed write instead.
  static void Install();
  // Raised once a stop signal has arrived.
  static const WakeFlag& Wake();
  // The signal that arrived, or 0. On Windows, Ctrl-C and Ctrl-Break arrive
  // as SIGINT and the console's close, logoff and shutdown as SIGTERM.
  static int Received();

  // Holds the stop signals off the calling thread while it lives. Threads
  // created meanwhile (the library's monitors inside ZorOpenPort, the input
  // pump) inherit the mask, so the signals reach only the main thread and
  // never interrupt a socket call of the library. Windows runs its console
  // handler on a thread of its own, and nothing needs holding off there.
  class Deferred {
   public:
    Deferred();
    ~Deferred();
    Deferred(const Deferred&) = delete;
    Deferred& operator=(const Deferred&) = delete;

#ifndef _WIN32
   private:
    sigset_t previous_;
#endif
  };
};

}  // namespace zorcat
