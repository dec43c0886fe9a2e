// SPDX-License-Identifier: MIT
// The receive monitor of a server port. It listens with a backlog of one,
// serves one allowed peer at a time (a further connection, or one from an
// address not allowed, is accepted and closed at once), names the peer,
// receives into the RxRing, and goes back to listening when the peer goes.
#include <string>

#include "core/allowed_peers.h"
#include "core/last_error.h"
#include "core/text.h"
#include "diagnostics/debug_log.h"
#include "diagnostics/error_texts.h"
#include "transport/events.h"
#include "transport/monitor_common.h"
#include "transport/monitors.h"
#include "zortcp.h"

namespace zortcp {
namespace {

constexpr int32_t kBacklog = 1;
constexpr const char* kUnknownPeer = "Unknown";

constexpr ReceiveRole kServerRole{
    "RxMonitorServer",           "",
    ZOR_LOCATION_SERVER_POLL,    ZOR_LOCATION_SERVER_PENDING_BEFORE,
    ZOR_LOCATION_SERVER_RECEIVE, ZOR_LOCATION_SERVER_PENDING_AFTER,
};

void SetPeerName(PortControlBlock& block, const char* name) {
  SpinLockGuard guard(block.peer.nameLock);
  CopyText(block.peer.remoteHostName, name);
}

// The peer's name: looked up (open flag bit 1), "Unknown" when the lookup
// fails, or its dotted address.
void NamePeer(PortControlBlock& block) {
  if ((block.flags & ZOR_OPEN_LOOKUP_HOST_NAME) == 0) {
    SetPeerName(block, platform::FormatDottedAddress(block.peer.address.address).c_str());
    return;
  }
  std::string name;
  if (platform::HostByAddress(block.peer.address.address, &name) != 0) {
    ReportFailure(block, kServerRole.name, ZOR_LOCATION_SERVER_HOST_BY_ADDRESS, "gethostbyaddr",
                  [&block] { SetPeerName(block, kUnknownPeer); });
    return;
  }
  platform::TerminationPoint();  // a lookup cannot be cut short
  SetPeerName(block, name.c_str());
  LogMessage(block, 1, "RxMonitorServer() - Port: %d, gethostbyaddr() successful [%s]\n",
             block.portNumber, block.peer.remoteHostName);
}

void PeerAccepted(PortControlBlock& block, Connection& connection, platform::Socket accepted) {
  block.peer.port.store(platform::NetworkToHost16(block.peer.address.port));
  block.peer.ipAddress.store(block.peer.address.address);
  NamePeer(block);
  block.connected.store(1);
  RaiseConnectedEvent(block, block.peer.remoteHostName, block.peer.port.load());
  LogMonitorLine(block, kServerRole.name, "Connected");
  SetConnectionBuffers(block, kServerRole, accepted, ZOR_LOCATION_SERVER_RECEIVE_BUFFER,
                       ZOR_LOCATION_SERVER_SEND_BUFFER);
  if ((block.flags & ZOR_OPEN_BLOCKING) == 0 && platform::SetNonBlocking(accepted, true) != 0) {
    block.connectErrors.fetch_add(1);
    ReportFailure(block, kServerRole.name, ZOR_LOCATION_SERVER_NON_BLOCKING, "ioctlsocket");
  }
  connection.lastActivity = platform::TickCount();
  platform::SetCurrentThreadPriority(platform::ThreadPriority::kTimeCritical);
}

// A peer that "Allowed Peers" does not list is closed as soon as it is
// accepted: no event, no byte and no count tell the host of it, so only
// this line says why a device cannot get in. It is written before the
// close, so that whoever sees the close finds the line.
void LogPeerNotAllowed(PortControlBlock& block, const platform::SocketAddress& address) {
  LogMessage(block, 1, "RxMonitorServer() - Port: %d, Peer not allowed [%s]\n", block.portNumber,
             platform::FormatDottedAddress(address.address).c_str());
}

// Polls the listening socket, or waits on it under a pacing that waits.
int32_t PollListener(PortControlBlock& block) {
  const int32_t waitMs = block.pacing->socketWaitMs;
  if (waitMs != 0) return platform::WaitReadable(block.peer.socket.load(), waitMs);
  return platform::PollReadable(block.peer.socket.load());
}

// A failed accept. One that would block (the connection went before it was
// taken) leaves only its numbers in the record.
void AcceptFailed(PortControlBlock& block) {
  const int32_t code = platform::LastSocketError();
  if (code == platform::kErrorWouldBlock) {
    StoreFailureNumbers(ZOR_LOCATION_SERVER_ACCEPT, code);
    return;
  }
  RecordSocketFailure(ZOR_LOCATION_SERVER_ACCEPT);
  block.connectErrors.fetch_add(1);
  RaiseEvent(block, ZOR_EVENT_ERROR, ZOR_ERROR_RECORDED);
  LogCallFailed(block, kServerRole.name, "accept", code);
}

// The peer closed the connection.
void PeerClosed(PortControlBlock& block, Connection& connection) {
  const LossReport report(block);
  CloseConnectionSocket(connection);
  platform::SetCurrentThreadPriority(platform::ThreadPriority::kNormal);
  block.connected.store(0);
  RaiseEvent(block, ZOR_EVENT_DISCONNECTED, ZOR_DISCONNECT_PEER_CLOSED);
}

// A receive failed: the connection is given up. The server still counts as
// connected while it raises 5/2 and 5/4.
void ReceiveFailed(PortControlBlock& block, Connection& connection, int32_t code) {
  const LossReport report(block);
  StoreFailure(ZOR_LOCATION_SERVER_RECEIVE, code, SocketErrorText(static_cast<uint32_t>(code)));
  block.rxErrors.fetch_add(1);
  CloseConnectionSocket(connection);
  RaiseEvent(block, ZOR_EVENT_ERROR, ZOR_ERROR_RECEIVE_FAILED);
  RaiseEvent(block, ZOR_EVENT_ERROR, ZOR_ERROR_RECORDED);
  platform::SetCurrentThreadPriority(platform::ThreadPriority::kNormal);
  block.connected.store(0);
  RaiseEvent(block, ZOR_EVENT_DISCONNECTED, ZOR_DISCONNECT_RECEIVE_FAILED);
  LogCallFailed(block, kServerRole.name, "recv", code);
}

// A receive step on the peer's connection; a lost one is handled here, and
// the monitor listens again at the next turn.
StepResult ServeStep(PortControlBlock& block, Connection& connection) {
  const StepResult step = ReceiveStep(block, kServerRole, connection);
  switch (step.outcome) {
    case StepOutcome::kPeerClosed:
      PeerClosed(block, connection);
      break;
    case StepOutcome::kReceiveFailed:
      ReceiveFailed(block, connection, step.error);
      break;
    default:
      break;
  }
  return step;
}

// Paused when nothing is pending: the pacing's poll pause (10 ms by
// default; none under a pacing whose poll waits) replaces the turn's sleep.
StepResult ListenStep(PortControlBlock& block, Connection& connection) {
  const int32_t pending = PollListener(block);
  if (pending == platform::kSocketError) {
    FailMonitor(block, kServerRole, ZOR_LOCATION_SERVER_LISTEN_POLL, "select");
    return {};
  }
  if (pending == 0) {
    if (block.pacing->listenPauseMs != 0) platform::Sleep(block.pacing->listenPauseMs);
    return {StepOutcome::kPaused};
  }
  platform::SocketAddress address;
  const platform::Socket accepted = platform::Accept(block.peer.socket.load(), &address);
  if (accepted != platform::kNoSocket &&
      !IsAllowedPeer(block.settings.allowedPeers, address.address)) {
    LogPeerNotAllowed(block, address);
    platform::CloseSocket(accepted);
    return {};
  }
  block.peer.acceptedSocket.store(accepted);
  if (accepted == platform::kNoSocket) {
    AcceptFailed(block);
    return {};
  }
  block.peer.address = address;
  PeerAccepted(block, connection, accepted);
  return ServeStep(block, connection);
}

// While a peer is served, a further connection is accepted and closed at
// once; nothing is recorded, counted or raised for it, and only one from an
// address not allowed is logged. A peer that drops its link and makes it
// again at once (a reboot, a cable) must not be refused because its old
// connection has not been noticed as gone yet: the served peer's bytes are
// taken first, and a connection that is readable with nothing left to read
// is taken as the peer's close now, not after a second of silence. Then the
// newcomer is served (if it is allowed).
StepResult RefusalStep(PortControlBlock& block, Connection& connection) {
  const int32_t pending = platform::PollReadable(block.peer.socket.load());
  if (pending == platform::kSocketError) {
    FailMonitor(block, kServerRole, ZOR_LOCATION_SERVER_LISTEN_POLL, "select");
  }
  if (pending <= 0) return ServeStep(block, connection);

  connection.newcomerWaiting = true;
  StepResult step = ServeStep(block, connection);
  // The close may stand behind the last bytes that step took.
  if (block.connected.load() == 1 && step.outcome == StepOutcome::kDone) {
    step = ServeStep(block, connection);
  }
  connection.newcomerWaiting = false;
  if (block.rxMonitor.stop.load() != 0) return step;
  if (block.connected.load() == 0) return ListenStep(block, connection);

  platform::SocketAddress refusedAddress;
  const platform::Socket refused = platform::Accept(block.peer.socket.load(), &refusedAddress);
  if (refused != platform::kNoSocket &&
      !IsAllowedPeer(block.settings.allowedPeers, refusedAddress.address)) {
    LogPeerNotAllowed(block, refusedAddress);
  }
  platform::CloseSocket(refused);
  return step;
}

void EndMonitor(PortControlBlock& block) {
  platform::CloseSocket(block.peer.acceptedSocket.exchange(platform::kNoSocket));
  platform::CloseSocket(block.peer.socket.exchange(platform::kNoSocket));
  EndConnection(block);
}

}  // namespace

void RxMonitorServer(void* argument) {
  PortControlBlock& block = BlockOfArgument(argument);
  const MonitorRun run(block, MonitorSide::kReceive, kServerRole.name);
  run.Started();
  if (platform::Listen(block.peer.socket.load(), kBacklog) != 0) {
    FailMonitor(block, kServerRole, ZOR_LOCATION_SERVER_LISTEN, "listen");
  }
  platform::SetCurrentThreadPriority(platform::ThreadPriority::kNormal);

  Connection connection{block.peer.acceptedSocket};
  while (block.rxMonitor.stop.load() == 0) {
    const StepResult step = block.connected.load() == 1 ? RefusalStep(block, connection)
                                                        : ListenStep(block, connection);
    EndTurn(block, connection, step);
  }
  EndMonitor(block);
  run.End("Thread terminating");
}

}  // namespace zortcp
