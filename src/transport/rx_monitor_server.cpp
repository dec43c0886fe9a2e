// SPDX-License-Identifier: MIT
// The receive monitor of a server port. It listens with a backlog of one,
// serves one peer at a time (a further connection is accepted and closed at
// once), names the peer, receives into the RxRing, and goes back to
// listening when the peer goes.
#include <string>

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

constexpr uint32_t kListenPollMs = 10;
constexpr int32_t kBacklog = 1;
constexpr const char* kUnknownPeer = "Unknown";

constexpr ReceiveRole kServerRole{
    "RxMonitorServer",           true,
    ZOR_LOCATION_SERVER_POLL,    ZOR_LOCATION_SERVER_PENDING_BEFORE,
    ZOR_LOCATION_SERVER_RECEIVE, ZOR_LOCATION_SERVER_PENDING_AFTER,
};

void LogServer(PortControlBlock& block, const char* text) {
  LogMessage(block, 1, "RxMonitorServer() - Port: %d, %s\n", block.portNumber, text);
}

void SetPeerName(PortControlBlock& block, const char* name) {
  SpinLockGuard guard(block.nameLock);
  CopyText(block.remoteHostName, name);
}

// The peer's name: looked up (open flag bit 1), "Unknown" when the lookup
// fails, or its dotted address.
void NamePeer(PortControlBlock& block) {
  if ((block.flags & kFlagLookupHostName) == 0) {
    SetPeerName(block, platform::FormatDottedAddress(block.peerAddress.address).c_str());
    return;
  }
  std::string name;
  if (platform::HostByAddress(block.peerAddress.address, &name) != 0) {
    const int32_t code = RecordSocketFailure(ZOR_LOCATION_SERVER_HOST_BY_ADDRESS);
    RaiseEvent(block, kEventError, kErrorRecorded);
    SetPeerName(block, kUnknownPeer);
    LogMessage(block, 1, "RxMonitorServer() - Port: %d, gethostbyaddr() failed. %u\n",
               block.portNumber, static_cast<uint32_t>(code));
    return;
  }
  platform::TerminationPoint();  // a lookup cannot be cut short
  SetPeerName(block, name.c_str());
  LogMessage(block, 1, "RxMonitorServer() - Port: %d, gethostbyaddr() successful [%s]\n",
             block.portNumber, block.remoteHostName);
}

void PeerAccepted(PortControlBlock& block, Connection& connection, platform::Socket accepted) {
  block.peerPort.store(platform::NetworkToHost16(block.peerAddress.port));
  block.peerIpAddress.store(block.peerAddress.address);
  NamePeer(block);
  block.connected.store(1);
  RaiseConnectedEvent(block, block.remoteHostName, block.peerPort.load());
  LogServer(block, "Connected");
  SetConnectionBuffers(block, kServerRole, accepted, ZOR_LOCATION_SERVER_RECEIVE_BUFFER,
                       ZOR_LOCATION_SERVER_SEND_BUFFER);
  if ((block.flags & kFlagBlocking) == 0 && platform::SetNonBlocking(accepted, true) != 0) {
    block.connectErrors.fetch_add(1);
    const int32_t code = RecordSocketFailure(ZOR_LOCATION_SERVER_NON_BLOCKING);
    RaiseEvent(block, kEventError, kErrorRecorded);
    LogMessage(block, 1, "RxMonitorServer() - Port: %d, ioctlsocket() failed. %u\n",
               block.portNumber, static_cast<uint32_t>(code));
  }
  connection.lastActivity = platform::TickCount();
  platform::SetCurrentThreadPriority(platform::ThreadPriority::kTimeCritical);
}

// Polls the listening socket (in the fast transfer mode, waits on it).
int32_t PollListener(PortControlBlock& block) {
  if (block.fastTransfer) return platform::WaitReadable(block.socket.load(), kFastWaitMs);
  return platform::PollReadable(block.socket.load());
}

// Returns false when the turn ends without its 1 ms sleep (nothing pending).
bool ListenStep(PortControlBlock& block, Connection& connection) {
  const int32_t pending = PollListener(block);
  if (pending == platform::kSocketError) {
    FailMonitor(block, kServerRole, ZOR_LOCATION_SERVER_LISTEN_POLL, "select");
    return true;
  }
  if (pending == 0) {
    if (!block.fastTransfer) platform::Sleep(kListenPollMs);
    return false;
  }
  block.peerAddressLength = sizeof(platform::SocketAddress);
  const platform::Socket accepted = platform::Accept(block.socket.load(), &block.peerAddress);
  block.acceptedSocket.store(accepted);
  if (accepted == platform::kNoSocket) {
    const int32_t code = platform::LastSocketError();
    if (code == platform::kErrorWouldBlock) {
      StoreFailureNumbers(ZOR_LOCATION_SERVER_ACCEPT, code);
    } else {
      RecordSocketFailure(ZOR_LOCATION_SERVER_ACCEPT);
      block.connectErrors.fetch_add(1);
      RaiseEvent(block, kEventError, kErrorRecorded);
      LogMessage(block, 1, "RxMonitorServer() - Port: %d, accept() failed. %u\n", block.portNumber,
                 static_cast<uint32_t>(code));
    }
    return true;
  }
  PeerAccepted(block, connection, accepted);
  ReceiveStep(block, kServerRole, connection);
  return true;
}

// While a peer is served, a further connection is accepted and closed at
// once; nothing is recorded, counted, raised or logged for it.
void RefusalStep(PortControlBlock& block, Connection& connection) {
  const int32_t pending = platform::PollReadable(block.socket.load());
  if (pending == platform::kSocketError) {
    FailMonitor(block, kServerRole, ZOR_LOCATION_SERVER_LISTEN_POLL, "select");
  } else if (pending > 0) {
    platform::SocketAddress refusedAddress;
    platform::CloseSocket(platform::Accept(block.socket.load(), &refusedAddress));
  }
  ReceiveStep(block, kServerRole, connection);
}

void EndMonitor(PortControlBlock& block) {
  platform::CloseSocket(block.acceptedSocket.exchange(platform::kNoSocket));
  platform::CloseSocket(block.socket.exchange(platform::kNoSocket));
  if (block.connected.load() == 1) {
    platform::SetCurrentThreadPriority(platform::ThreadPriority::kNormal);
    block.connected.store(0);
    RaiseEvent(block, kEventDisconnected, kMonitorEnded);
  }
  LogServer(block, "Thread terminating");
}

}  // namespace

void RxMonitorServer(void* argument) {
  PortControlBlock& block = BlockOfArgument(argument);
  const MonitorMemory memory(block);
  block.rxRunning.store(1);
  block.connected.store(0);
  LogServer(block, "Thread started");
  if (platform::Listen(block.socket.load(), kBacklog) != 0) {
    FailMonitor(block, kServerRole, ZOR_LOCATION_SERVER_LISTEN, "listen");
  }
  platform::SetCurrentThreadPriority(platform::ThreadPriority::kNormal);

  Connection connection{block.acceptedSocket};
  while (block.rxStop.load() == 0) {
    const bool wasConnected = block.connected.load() == 1;
    if (wasConnected) {
      RefusalStep(block, connection);
    } else if (!ListenStep(block, connection)) {
      continue;  // nothing pending: the 10 ms poll pause replaces the turn's sleep
    }
    EndTurn(block, connection);
  }
  EndMonitor(block);
  block.rxRunning.store(0);
}

}  // namespace zortcp
