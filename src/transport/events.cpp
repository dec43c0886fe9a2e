// SPDX-License-Identifier: MIT
#include "transport/events.h"

#include <cstdio>

#include "core/control_block.h"
#include "diagnostics/debug_log.h"
#include "platform/platform.h"

namespace zortcp {
namespace {

// The text of a connected event: a 129-character name, ", Port: " and ten
// digits fit with room to spare.
constexpr size_t kConnectedTextSize = 260;

// The monitor whose thread raises the event, for the log.
const char* MonitorName(const PortControlBlock& block) {
  if (platform::CurrentThreadArgument() == &block.txMonitor.threadArg) return "TxMonitor";
  return (block.flags & ZOR_OPEN_SERVER) != 0 ? "RxMonitorServer" : "RxMonitorClient";
}

MonitorControl& CallingMonitor(PortControlBlock& block) {
  if (platform::CurrentThreadArgument() == &block.txMonitor.threadArg) return block.txMonitor;
  return block.rxMonitor;
}

void CallHandler(PortControlBlock& block, int32_t kind, void* data) {
  // A monitor that the close has given up on raises nothing more, and one
  // that is terminated while the host's handler runs ends when it returns.
  platform::TerminationPoint();
  // Once the process is exiting the handler's world may be gone (a script
  // host's interpreter has finalized, the host's statics are destroyed):
  // the closes of the exit's unload raise nothing.
  if (platform::ProcessExiting()) return;
  try {
    block.eventHandler(kEventSource, kind, data, block.eventUserData);
  } catch (...) {
    // The handler may end the thread (pthread_exit; Python ends so a thread
    // that calls into it while it finalizes): it unwinds to its end, and a
    // close need not wait for a monitor that is gone.
    platform::RethrowThreadEnd(
        [](void* monitor) { static_cast<MonitorControl*>(monitor)->running.store(0); },
        &CallingMonitor(block));
    // A C++ host's handler that throws must not end the monitor: the
    // event counts as handled and the monitor goes on.
    LogMessage(block, 1, "%s() - Port: %d, Event handler threw an exception. Event: %d\n",
               MonitorName(block), block.portNumber, kind);
  }
  platform::TerminationPoint();
}

}  // namespace

void RaiseEvent(PortControlBlock& block, int32_t kind, int32_t value) {
  if (block.eventHandler == nullptr) return;
  int32_t data = value;
  CallHandler(block, kind, &data);
}

void RaiseConnectedEvent(PortControlBlock& block, const char* peerName, uint32_t port) {
  if (block.eventHandler == nullptr) return;
  char text[kConnectedTextSize];
  std::snprintf(text, sizeof(text), "%s, Port: %u", peerName, port);
  CallHandler(block, ZOR_EVENT_CONNECTED, text);
}

}  // namespace zortcp
