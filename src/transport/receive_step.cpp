// SPDX-License-Identifier: MIT
// The receive step that both receive monitors run on their connection, and
// the failure recording they share.
#include <algorithm>

#include "core/last_error.h"
#include "diagnostics/debug_log.h"
#include "diagnostics/error_texts.h"
#include "transport/events.h"
#include "transport/monitor_common.h"
#include "transport/rings.h"

namespace zortcp {
namespace {

using platform::kSocketError;

void CloseConnectionSocket(Connection& connection) {
  platform::CloseSocket(connection.socket.exchange(platform::kNoSocket));
}

// The peer closed the connection (a receive returned no bytes).
void PeerClosed(PortControlBlock& block, const ReceiveRole& role, Connection& connection) {
  if (role.server) {
    CloseConnectionSocket(connection);
    platform::SetCurrentThreadPriority(platform::ThreadPriority::kNormal);
    block.connected.store(0);
    RaiseEvent(block, kEventDisconnected, kPeerClosed);
    return;
  }
  platform::SetCurrentThreadPriority(platform::ThreadPriority::kNormal);
  block.connected.store(0);
  block.connectAttempts.store(0);
  CloseConnectionSocket(connection);
  RaiseEvent(block, kEventDisconnected, kPeerClosed);
  LogMessage(block, 1, "RxMonitorClient() - Port: %d, Disconnected\n", block.portNumber);
}

// A receive failed: the connection is given up. A server still counts as
// connected while it raises 5/2 and 5/4.
void ReceiveFailed(PortControlBlock& block, const ReceiveRole& role, Connection& connection,
                   int32_t code) {
  StoreFailure(role.receiveLocation, code, SocketErrorText(static_cast<uint32_t>(code)));
  if (role.server) {
    block.rxErrors.fetch_add(1);
    CloseConnectionSocket(connection);
    RaiseEvent(block, kEventError, kErrorReceiveFailed);
    RaiseEvent(block, kEventError, kErrorRecorded);
    platform::SetCurrentThreadPriority(platform::ThreadPriority::kNormal);
    block.connected.store(0);
  } else {
    platform::SetCurrentThreadPriority(platform::ThreadPriority::kNormal);
    block.rxErrors.fetch_add(1);
    block.connected.store(0);
    block.connectAttempts.store(0);
    CloseConnectionSocket(connection);
    RaiseEvent(block, kEventError, kErrorReceiveFailed);
    RaiseEvent(block, kEventError, kErrorRecorded);
  }
  RaiseEvent(block, kEventDisconnected, kReceiveFailed);
  LogMessage(block, 1, "%s() - Port: %d, recv() failed. %u\n", role.name, block.portNumber,
             static_cast<uint32_t>(code));
}

// Puts a received chunk into the RxRing. A stop request that comes while
// the ring is full ends the wait for room: the rest of the chunk is
// discarded, as the bytes in the ring are at the close, and nothing is
// reported for it. False when the chunk was cut short.
bool HandOver(PortControlBlock& block, const ReceiveRole& role, int32_t received) {
  int32_t stored = 0;
  if (block.fastTransfer) {
    stored = RxRingPutRun(block, block.recvBuffer, received);
  } else {
    while (stored < received && RxRingPut(block, block.recvBuffer[stored])) ++stored;
  }
  block.rxBytes.fetch_add(static_cast<uint32_t>(stored), std::memory_order_relaxed);
  if (stored < received) return false;
  RaiseEvent(block, kEventReceived, received);
  LogMessage(block, 1, "%s() - Port: %d, Passed packet to event handler\n", role.name,
             block.portNumber);
  LogDataDump(block, 3, block.recvBuffer, received);
  return true;
}

void LogWaiting(PortControlBlock& block, const ReceiveRole& role, uint32_t pending) {
  LogMessage(block, 1, "%s() - Port: %d, Rx Bytes Waiting: %lu\n", role.name, block.portNumber,
             static_cast<unsigned long>(pending));
}

// Receives until no more bytes wait: one chunk of up to 4096 bytes per
// receive, 1 ms apart. A failure, the peer's close or a stop request ends
// the loop, so that a peer that keeps sending cannot hold up the close.
void ReceiveLoop(PortControlBlock& block, const ReceiveRole& role, Connection& connection,
                 uint32_t pending) {
  while (pending != 0 && block.rxStop.load() == 0) {
    const int32_t received =
        platform::Receive(connection.socket.load(), block.recvBuffer, kChunkSize);
    if (received == kSocketError) {
      const int32_t code = platform::LastSocketError();
      StoreFailureNumbers(role.receiveLocation, code);
      if (code != platform::kErrorWouldBlock) {
        ReceiveFailed(block, role, connection, code);
        return;
      }
    } else {
      LogMessage(block, 1,
                 role.server ? "%s() - Port: %d, recv() successful. Packet size %u\n"
                             : "%s() - Port: %d, recv() successful. Packet size: %u\n",
                 role.name, block.portNumber, static_cast<uint32_t>(received));
      if (received == 0) {
        PeerClosed(block, role, connection);
        return;
      }
      if (!HandOver(block, role, received)) return;
    }
    if (platform::PendingBytes(connection.socket.load(), &pending) != 0) {
      FailMonitor(block, role, role.pendingAfterLocation, "ioctlsocket");
      return;
    }
    LogWaiting(block, role, pending);
    if (!block.fastTransfer) platform::Sleep(kTurnMs);
    connection.lastActivity = platform::TickCount();
  }
}

// A socket option that could not be set: "setsockopt(<option>) failed.",
// with the option where the other lines have the call's empty parentheses.
void RecordOptionFailure(PortControlBlock& block, const ReceiveRole& role, int32_t location,
                         const char* option) {
  const int32_t code = RecordSocketFailure(location);
  LogMessage(block, 1, "%s() - Port: %d, setsockopt(%s) failed. %u\n", role.name, block.portNumber,
             option, static_cast<uint32_t>(code));
}

// "Keep Alive": a peer that stops answering ends the connection as a failed
// receive (10060). Without it the connection would go on as before, so a
// refusal is only logged.
void SetKeepAlive(PortControlBlock& block, const ReceiveRole& role, platform::Socket socket) {
  if (platform::SetKeepAlive(socket, block.keepAliveSeconds) != 0) {
    LogMessage(block, 1, "%s() - Port: %d, setsockopt(SO_KEEPALIVE) failed. %u\n", role.name,
               block.portNumber, static_cast<uint32_t>(platform::LastSocketError()));
    return;
  }
  LogMessage(block, 1, "%s() - Port: %d, Keep Alive: %u s\n", role.name, block.portNumber,
             block.keepAliveSeconds);
}

}  // namespace

void FailMonitor(PortControlBlock& block, const ReceiveRole& role, int32_t location,
                 const char* call) {
  const int32_t code = RecordSocketFailure(location);
  RaiseEvent(block, kEventError, kErrorRecorded);
  block.rxStop.store(1);
  LogMessage(block, 1, "%s() - Port: %d, %s() failed. %u\n", role.name, block.portNumber, call,
             static_cast<uint32_t>(code));
}

void RecordSetupFailure(PortControlBlock& block, const ReceiveRole& role, int32_t location,
                        const char* call) {
  const int32_t code = RecordSocketFailure(location);
  LogMessage(block, 1, "%s() - Port: %d, %s() failed. %u\n", role.name, block.portNumber, call,
             static_cast<uint32_t>(code));
}

void SetConnectionBuffers(PortControlBlock& block, const ReceiveRole& role, platform::Socket socket,
                          int32_t receiveLocation, int32_t sendLocation) {
  if (platform::SetReceiveBufferSize(socket, kSocketReceiveBufferBytes) != 0) {
    RecordOptionFailure(block, role, receiveLocation, "SO_RCVBUF");
  }
  const int32_t sendBuffer =
      block.fastTransfer ? kFastSocketSendBufferBytes : kSocketSendBufferBytes;
  if (platform::SetSendBufferSize(socket, sendBuffer) != 0) {
    RecordOptionFailure(block, role, sendLocation, "SO_SNDBUF");
  }
  // In the fast transfer mode a chunk goes out at once rather than waiting
  // for the acknowledgement of the one before; nothing depends on it, so a
  // refusal is ignored.
  if (block.fastTransfer) platform::SetNoDelay(socket);
  if (block.keepAliveSeconds != 0) SetKeepAlive(block, role, socket);
}

void ReceiveStep(PortControlBlock& block, const ReceiveRole& role, Connection& connection) {
  const uint32_t now = platform::TickCount();
  if (now < connection.lastActivity) connection.lastActivity = 0;  // the tick counter wrapped
  connection.closedAndQuiet = false;

  const int32_t readable = platform::PollReadable(connection.socket.load());
  if (readable == kSocketError) {
    FailMonitor(block, role, role.pollLocation, "select");
    return;
  }
  const bool silent = now - connection.lastActivity > kSilenceMs;
  if (readable == 0 && !silent) return;

  // After more than a second of silence one receive is made all the same.
  uint32_t pending = 1;
  if (readable != 0) {
    if (platform::PendingBytes(connection.socket.load(), &pending) != 0) {
      FailMonitor(block, role, role.pendingBeforeLocation, "ioctlsocket");
      return;
    }
    if (pending != 0) {
      LogWaiting(block, role, pending);
    } else if (silent) {
      pending = 1;  // readable with nothing waiting: closed, reset or not connected
    } else {
      connection.closedAndQuiet = true;
      platform::Sleep(kTurnMs);
    }
  }
  ReceiveLoop(block, role, connection, pending);
}

void EndTurn(PortControlBlock& block, const Connection& connection) {
  if (!block.fastTransfer || block.connected.load() == 0 || connection.closedAndQuiet) {
    platform::Sleep(kTurnMs);
    return;
  }
  // Fast transfer: look for bytes briefly, then sleep until they arrive, the
  // silence deadline comes, or the close shuts the socket. The close always
  // shuts the socket before it raises rxStop, so the wait needs no shorter
  // bound; a stop the monitor raised itself ends the turn at once.
  if (block.rxStop.load() != 0) return;
  const platform::Socket socket = connection.socket.load();
  if (SpinBriefly([socket] { return platform::WaitReadable(socket, 0) != 0; })) return;
  const uint32_t quiet = platform::TickCount() - connection.lastActivity;
  const uint32_t untilSilence = quiet > kSilenceMs ? 1 : kSilenceMs + 1 - quiet;
  if (platform::WaitReadable(socket, static_cast<int32_t>(untilSilence)) == kSocketError) {
    platform::Sleep(kTurnMs);  // the next poll reports the failure
  }
}

}  // namespace zortcp
