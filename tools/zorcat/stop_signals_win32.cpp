// SPDX-License-Identifier: MIT
#include <windows.h>

#include <atomic>
#include <csignal>

#include "zorcat/stop_signals.h"

namespace zorcat {
namespace {

std::atomic<int> receivedSignal{0};
WakeFlag* stopFlag = nullptr;
// After a close, logoff or shutdown event the system ends the process once
// the handler returns: the handler gives the main thread this long to close
// the port first.
constexpr DWORD kCloseGrace = 3000;  // ms

BOOL WINAPI OnConsoleEvent(DWORD event) {
  const bool interrupt = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
  int expected = 0;
  receivedSignal.compare_exchange_strong(expected, interrupt ? SIGINT : SIGTERM);
  stopFlag->Raise();
  if (!interrupt) Sleep(kCloseGrace);
  return TRUE;
}

}  // namespace

void StopSignals::Install() {
  if (stopFlag != nullptr) return;
  // Never destroyed: the handler may run while the process exits.
  stopFlag = new WakeFlag;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

StopSignals::Deferred::Deferred() = default;

StopSignals::Deferred::~Deferred() = default;

const WakeFlag& StopSignals::Wake() {
  // Before Install, a flag that nothing raises.
  static const WakeFlag never;
  return stopFlag != nullptr ? *stopFlag : never;
}

int StopSignals::Received() { return receivedSignal.load(); }

}  // namespace zorcat
