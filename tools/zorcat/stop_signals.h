// SPDX-License-Identifier: MIT
// SIGINT and SIGTERM as something the main loop can wait for.
//
// The handler only records the signal and writes a byte to a pipe; closing
// the port and printing happen on the main thread, since no library call
// may be made from a signal handler.
#pragma once

#include <signal.h>

namespace zorcat {

class StopSignals {
 public:
  // Installs the handlers (once per process) and ignores SIGPIPE, so that a
  // closed standard output shows up as a failed write instead.
  static void Install();
  // Readable once a stop signal has arrived.
  static int Descriptor();
  // The signal that arrived, or 0.
  static int Received();

  // Holds the stop signals off the calling thread while it lives. Threads
  // created meanwhile (the library's monitors inside ZorOpenPort, the input
  // pump) inherit the mask, so the signals reach only the main thread and
  // never interrupt a socket call of the library.
  class Deferred {
   public:
    Deferred();
    ~Deferred();
    Deferred(const Deferred&) = delete;
    Deferred& operator=(const Deferred&) = delete;

   private:
    sigset_t previous_;
  };
};

}  // namespace zorcat
