// SPDX-License-Identifier: MIT
#include "transport/monitor_common.h"

#include "diagnostics/debug_log.h"

namespace zortcp {

void LogMonitorLine(PortControlBlock& block, const char* monitor, const char* text) {
  LogMessage(block, 1, "%s() - Port: %d, %s\n", monitor, block.portNumber, text);
}

void LogCallFailed(PortControlBlock& block, const char* monitor, const char* call, int32_t code) {
  LogMessage(block, 1, "%s() - Port: %d, %s() failed. %u\n", monitor, block.portNumber, call,
             static_cast<uint32_t>(code));
}

MonitorRun::MonitorRun(PortControlBlock& block, MonitorSide side, const char* monitor)
    : block_(block),
      running_((side == MonitorSide::kReceive ? block.rxMonitor : block.txMonitor).running),
      monitor_(monitor),
      rxMemory_(block.rx.memory),
      recvMemory_(block.recvMemory),
      txMemory_(block.tx.memory) {
  running_.store(1);
  (side == MonitorSide::kReceive ? block.connected : block.txMonitor.suspended).store(0);
  // A receive monitor that the previous close had to terminate may have
  // left its loss report unfinished.
  if (side == MonitorSide::kReceive) block.peer.reportingLoss.store(0);
}

void MonitorRun::Started() const { LogMonitorLine(block_, monitor_, "Thread started"); }

void MonitorRun::End(const char* line) const {
  LogMonitorLine(block_, monitor_, line);
  running_.store(0);
}

void FailMonitor(PortControlBlock& block, const ReceiveRole& role, int32_t location,
                 const char* call) {
  ReportFailure(block, role.name, location, call, [&block] { block.rxMonitor.stop.store(1); });
}

void CloseConnectionSocket(Connection& connection) {
  platform::CloseSocket(connection.socket.exchange(platform::kNoSocket));
}

void EndConnection(PortControlBlock& block) {
  if (block.connected.load() != 1) return;
  platform::SetCurrentThreadPriority(platform::ThreadPriority::kNormal);
  block.connected.store(0);
  RaiseEvent(block, ZOR_EVENT_DISCONNECTED, ZOR_DISCONNECT_MONITOR_ENDED);
}

}  // namespace zortcp
