// SPDX-License-Identifier: MIT
#include "zorcat/stop_signals.h"

#include <csignal>

namespace zorcat {
namespace {

volatile std::sig_atomic_t receivedSignal = 0;
WakeFlag* stopFlag = nullptr;

extern "C" void OnStopSignal(int number) {
  if (receivedSignal == 0) receivedSignal = number;
  stopFlag->Raise();
}

}  // namespace

void StopSignals::Install() {
  if (stopFlag != nullptr) return;
  // Never destroyed: a signal may arrive while the process exits.
  stopFlag = new WakeFlag;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a write to a standard output that nobody reads returns
  // on Ctrl-C instead of holding zorcat.
  action.sa_flags = 0;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

StopSignals::Deferred::Deferred() {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &stops, &previous_);
}

StopSignals::Deferred::~Deferred() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

const WakeFlag& StopSignals::Wake() {
  // Before Install, a flag that nothing raises.
  static const WakeFlag never;
  return stopFlag != nullptr ? *stopFlag : never;
}

int StopSignals::Received() { return receivedSignal; }

}  // namespace zorcat
