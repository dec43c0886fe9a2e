// SPDX-License-Identifier: MIT
// The receive monitor of a client port. It owns the connection: it connects
// with a fresh socket for every attempt, retries 250 ms after a failure up
// to the retry count, reconnects after a loss unless the port is held by
// signal 1, and receives into the RxRing while connected. An attempt whose
// socket cannot be made (the descriptor table is full, say) is a failed
// attempt too: the monitor survives it and connects once sockets can be
// made again.
#include "core/last_error.h"
#include "diagnostics/debug_log.h"
#include "diagnostics/error_texts.h"
#include "transport/events.h"
#include "transport/monitor_common.h"
#include "transport/monitors.h"
#include "zortcp.h"

namespace zortcp {
namespace {

constexpr uint32_t kRetryPauseMs = 250;

constexpr ReceiveRole kClientRole{
    "RxMonitorClient",           ":",
    ZOR_LOCATION_CLIENT_POLL,    ZOR_LOCATION_CLIENT_PENDING_BEFORE,
    ZOR_LOCATION_CLIENT_RECEIVE, ZOR_LOCATION_CLIENT_PENDING_AFTER,
};

// At the retry count the monitor raises 5/5 and ends.
void CountTowardRetryLimit(PortControlBlock& block, int32_t attempts) {
  if (block.settings.connectRetryCount != 0 && attempts >= block.settings.connectRetryCount) {
    RaiseEvent(block, ZOR_EVENT_ERROR, ZOR_ERROR_RETRY_LIMIT);
    block.rxMonitor.stop.store(1);
  }
}

void ConnectFailed(PortControlBlock& block) {
  const int32_t attempts = block.connectAttempts.fetch_add(1) + 1;
  const int32_t code = platform::LastSocketError();
  if (code == platform::kErrorWouldBlock) {
    StoreFailureNumbers(ZOR_LOCATION_CLIENT_CONNECT, code);
  } else {
    RecordSocketFailure(ZOR_LOCATION_CLIENT_CONNECT);
    block.connectErrors.fetch_add(1);
    RaiseEvent(block, ZOR_EVENT_ERROR, ZOR_ERROR_CONNECT_FAILED);
    RaiseEvent(block, ZOR_EVENT_ERROR, ZOR_ERROR_RECORDED);
    CountTowardRetryLimit(block, attempts);
    LogCallFailed(block, kClientRole.name, "connect", code);
  }
  PauseUnlessStopped(block.rxMonitor.stop, kRetryPauseMs);
}

// No socket for the attempt: recorded, raised and logged at 1001, counted
// as an attempt, and retried after the pause. TxMonitor keeps waiting for
// the socket to come (peer.replacingSocket stays 1) until the monitor ends.
void SocketFailed(PortControlBlock& block) {
  ReportFailure(block, kClientRole.name, ZOR_LOCATION_CLIENT_SOCKET, "socket",
                [&block] { CountTowardRetryLimit(block, block.connectAttempts.fetch_add(1) + 1); });
  PauseUnlessStopped(block.rxMonitor.stop, kRetryPauseMs);
}

void Connected(PortControlBlock& block, Connection& connection, platform::Socket socket) {
  block.connected.store(1);
  RaiseConnectedEvent(block, block.peer.remoteHostName, block.port);
  LogMonitorLine(block, kClientRole.name, "connect() successful");
  SetConnectionBuffers(block, kClientRole, socket, ZOR_LOCATION_CLIENT_RECEIVE_BUFFER,
                       ZOR_LOCATION_CLIENT_SEND_BUFFER);
  if ((block.flags & ZOR_OPEN_BLOCKING) == 0 && platform::SetNonBlocking(socket, true) != 0) {
    LogCallFailed(block, kClientRole.name, "ioctlsocket",
                  RecordSocketFailure(ZOR_LOCATION_CLIENT_NON_BLOCKING));
  }
  connection.lastActivity = platform::TickCount();
  platform::SetCurrentThreadPriority(platform::ThreadPriority::kTimeCritical);
}

// Connects to the remote host at the service port, within the port's
// "Connect Timeout", or as long as the system tries when it has none.
int32_t ConnectToPeer(PortControlBlock& block, platform::Socket socket) {
  const platform::SocketAddress& peer = block.peer.remoteAddress;
  if (block.settings.connectTimeoutMs == 0) return platform::Connect(socket, peer);
  LogMessage(block, 1, "RxMonitorClient() - Port: %d, Connect Timeout: %u ms\n", block.portNumber,
             block.settings.connectTimeoutMs);
  return platform::ConnectWithin(socket, peer,
                                 static_cast<int32_t>(block.settings.connectTimeoutMs));
}

// One connect attempt with a fresh socket; the first attempt replaces the
// socket that the open made. The previous socket is closed before the new
// one is made, so that with a full descriptor table its descriptor is the
// one given back for the new socket. Meanwhile peer.replacingSocket tells
// TxMonitor that a socket is coming: it waits for the connection instead
// of dropping the chunk it holds. The flag is raised before the old socket
// goes and lowered only after the new one is in place.
void ConnectStep(PortControlBlock& block, Connection& connection) {
  block.peer.replacingSocket.store(1);
  platform::CloseSocket(block.peer.socket.exchange(platform::kNoSocket));
  const platform::Socket socket = platform::OpenSocket();
  if (socket == platform::kNoSocket) {
    SocketFailed(block);
    return;
  }
  block.peer.socket.store(socket);
  block.peer.replacingSocket.store(0);
  // A hold or a close that came while the socket was made wins: either it
  // sees the new socket and closes it, or the attempt is not made and the
  // socket goes here. None is left that a close has not seen: TxMonitor
  // would wait on it, for want of a connection, until it is terminated.
  if (block.signal.load() != 0 || block.rxMonitor.stop.load() != 0) {
    platform::CloseSocket(block.peer.socket.exchange(platform::kNoSocket));
    return;
  }

  if (ConnectToPeer(block, socket) != 0) {
    ConnectFailed(block);
  } else {
    Connected(block, connection, socket);
  }
}

// The peer closed the connection.
void PeerClosed(PortControlBlock& block, Connection& connection) {
  const LossReport report(block);
  platform::SetCurrentThreadPriority(platform::ThreadPriority::kNormal);
  block.connected.store(0);
  block.connectAttempts.store(0);
  CloseConnectionSocket(connection);
  RaiseEvent(block, ZOR_EVENT_DISCONNECTED, ZOR_DISCONNECT_PEER_CLOSED);
  LogMonitorLine(block, kClientRole.name, "Disconnected");
}

// A receive failed: the connection is given up, and made again at the next
// turn unless the port is held.
void ReceiveFailed(PortControlBlock& block, Connection& connection, int32_t code) {
  const LossReport report(block);
  StoreFailure(ZOR_LOCATION_CLIENT_RECEIVE, code, SocketErrorText(static_cast<uint32_t>(code)));
  platform::SetCurrentThreadPriority(platform::ThreadPriority::kNormal);
  block.rxErrors.fetch_add(1);
  block.connected.store(0);
  block.connectAttempts.store(0);
  CloseConnectionSocket(connection);
  RaiseEvent(block, ZOR_EVENT_ERROR, ZOR_ERROR_RECEIVE_FAILED);
  RaiseEvent(block, ZOR_EVENT_ERROR, ZOR_ERROR_RECORDED);
  RaiseEvent(block, ZOR_EVENT_DISCONNECTED, ZOR_DISCONNECT_RECEIVE_FAILED);
  LogCallFailed(block, kClientRole.name, "recv", code);
}

// One turn's work: a connect attempt while there is no connection and the
// port is not held, then a receive step while there is one.
StepResult ClientStep(PortControlBlock& block, Connection& connection) {
  if (block.connected.load() == 0 && block.signal.load() == 0) ConnectStep(block, connection);
  if (block.connected.load() != 1) return {};
  const StepResult step = ReceiveStep(block, kClientRole, connection);
  if (step.outcome == StepOutcome::kPeerClosed) {
    PeerClosed(block, connection);
  } else if (step.outcome == StepOutcome::kReceiveFailed) {
    ReceiveFailed(block, connection, step.error);
  }
  return step;
}

void EndMonitor(PortControlBlock& block) {
  platform::CloseSocket(block.peer.socket.exchange(platform::kNoSocket));
  block.peer.replacingSocket.store(0);  // no socket is coming any more
  EndConnection(block);
}

}  // namespace

void RxMonitorClient(void* argument) {
  PortControlBlock& block = BlockOfArgument(argument);
  const MonitorRun run(block, MonitorSide::kReceive, kClientRole.name);
  block.connectAttempts.store(0);
  platform::SetCurrentThreadPriority(platform::ThreadPriority::kNormal);
  run.Started();

  Connection connection{block.peer.socket};
  while (block.rxMonitor.stop.load() == 0) {
    const StepResult step = ClientStep(block, connection);
    EndTurn(block, connection, step);
  }
  EndMonitor(block);
  run.End("Thread terminating");
}

}  // namespace zortcp
