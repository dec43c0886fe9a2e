// SPDX-License-Identifier: MIT
// The receive step that both receive monitors run on their connection: it
// tells the monitor what came of it, and a lost connection is the monitor's
// to handle.
#include <algorithm>
#include <cstdint>
#include <optional>

#include "core/last_error.h"
#include "diagnostics/debug_log.h"
#include "diagnostics/error_texts.h"
#include "transport/events.h"
#include "transport/monitor_common.h"
#include "transport/rings.h"

namespace zortcp {
namespace {

using platform::kSocketError;

// Puts a received chunk into the RxRing. A stop request that comes while
// the ring is full ends the wait for room: the rest of the chunk is
// discarded, as the bytes in the ring are at the close, and nothing is
// reported for it. False when the chunk was cut short.
bool HandOver(PortControlBlock& block, const ReceiveRole& role, const uint8_t* chunk,
              int32_t received) {
  const int32_t stored = RxRingStore(block, chunk, received);
  block.rxBytes.fetch_add(static_cast<uint32_t>(stored), std::memory_order_relaxed);
  if (stored < received) return false;
  RaiseEvent(block, ZOR_EVENT_RECEIVED, received);
  LogMessage(block, 1, "%s() - Port: %d, Passed packet to event handler\n", role.name,
             block.portNumber);
  LogDataDump(block, 3, chunk, received);
  return true;
}

void LogWaiting(PortControlBlock& block, const ReceiveRole& role, uint32_t pending) {
  LogMessage(block, 1, "%s() - Port: %d, Rx Bytes Waiting: %lu\n", role.name, block.portNumber,
             static_cast<unsigned long>(pending));
}

void LogReceived(PortControlBlock& block, const ReceiveRole& role, int32_t received) {
  LogMessage(block, 1, "%s() - Port: %d, recv() successful. Packet size%s %u\n", role.name,
             block.portNumber, role.packetSizeMark, static_cast<uint32_t>(received));
}

// Hands over what one receive took, a chunk of up to 4096 bytes at a time,
// each reported as if it had been received on its own; the bytes still to
// hand over are the ones waiting after each chunk but the last. A stop
// request ends the batch as it ends the loop between receives, and a chunk
// cut short by one ends it too: the rest of the batch is discarded with the
// rest of that chunk, and nothing is reported for it. False when the batch
// was cut short.
bool HandOverBatch(PortControlBlock& block, const ReceiveRole& role, int32_t received) {
  int32_t done = 0;
  while (true) {
    const int32_t chunk = std::min(kChunkSize, received - done);
    LogReceived(block, role, chunk);
    if (!HandOver(block, role, block.recvBuffer + done, chunk)) return false;
    done += chunk;
    if (done == received) return true;
    LogWaiting(block, role, static_cast<uint32_t>(received - done));
    if (block.rxMonitor.stop.load() != 0) return false;
  }
}

// "Keep Alive" of a connection with bytes outstanding, which the system
// does not probe: a peer that has owed an answer (to bytes or to a probe)
// for twice the keep-alive time is gone, as an idle one is given up after
// twice that time without an answer. A peer that only stopped reading
// still answers the probes of its closed window, and stays. Looked at four
// times a second, so that the loss is reported soon after that time.
constexpr uint32_t kAnswerCheckMs = 250;

bool PeerGone(const PortControlBlock& block, Connection& connection, uint32_t now) {
  const uint32_t keepAliveSeconds = block.settings.keepAliveSeconds;
  if (keepAliveSeconds == 0 || now - connection.lastAnswerCheck < kAnswerCheckMs) return false;
  connection.lastAnswerCheck = now;
  platform::PeerAnswers answers;
  if (platform::PeerAnswersOf(connection.socket.load(), &answers) != 0) return false;
  return answers.known && answers.awaitingAnswer &&
         answers.sinceAnswerMs >= uint64_t{2000} * keepAliveSeconds;
}

// A port whose socket blocks waits in its receive for the peer's next
// bytes. With "Keep Alive" it waits in steps instead and looks at the
// peer's answers between them: the system does not end that wait while
// bytes sent stay unanswered. A failed receive when the peer is gone or the
// wait fails (the close); nothing when bytes, an end or a stop came.
std::optional<StepResult> WaitWhileAnswered(PortControlBlock& block, const ReceiveRole& role,
                                            Connection& connection) {
  if ((block.flags & ZOR_OPEN_BLOCKING) == 0 || block.settings.keepAliveSeconds == 0) return {};
  const auto failed = [&role](int32_t code) {
    StoreFailureNumbers(role.receiveLocation, code);
    return StepResult{StepOutcome::kReceiveFailed, code};
  };
  for (;;) {
    const int32_t ready =
        platform::WaitReadable(connection.socket.load(), static_cast<int32_t>(kAnswerCheckMs));
    if (ready == kSocketError) return failed(platform::LastSocketError());
    if (ready != 0 || block.rxMonitor.stop.load() != 0) return {};
    if (PeerGone(block, connection, platform::TickCount())) return failed(platform::kErrorTimedOut);
  }
}

// Receives until no more bytes wait: as many chunks of 4096 bytes per
// receive as the receive buffer holds, the pacing's pause apart (1 ms by
// default). A failure, the peer's close or a stop request ends the loop, so
// that a peer that keeps sending cannot hold up the close.
StepResult ReceiveLoop(PortControlBlock& block, const ReceiveRole& role, Connection& connection,
                       uint32_t pending) {
  while (pending != 0 && block.rxMonitor.stop.load() == 0) {
    if (const std::optional<StepResult> failed = WaitWhileAnswered(block, role, connection)) {
      return *failed;
    }
    const int32_t received =
        platform::Receive(connection.socket.load(), block.recvBuffer, block.recvBufferSize);
    if (received == kSocketError) {
      const int32_t code = platform::LastSocketError();
      StoreFailureNumbers(role.receiveLocation, code);
      if (code != platform::kErrorWouldBlock) return {StepOutcome::kReceiveFailed, code};
    } else if (received == 0) {
      LogReceived(block, role, 0);
      return {StepOutcome::kPeerClosed};
    } else if (!HandOverBatch(block, role, received)) {
      return {};
    }
    if (platform::PendingBytes(connection.socket.load(), &pending) != 0) {
      FailMonitor(block, role, role.pendingAfterLocation, "ioctlsocket");
      return {};
    }
    LogWaiting(block, role, pending);
    if (block.pacing->backlogPauseMs != 0) platform::Sleep(block.pacing->backlogPauseMs);
    connection.lastActivity = platform::TickCount();
  }
  return {};
}

// A socket option that could not be set: "setsockopt(<option>) failed.",
// with the option where the other lines have the call's empty parentheses.
void LogOptionFailed(PortControlBlock& block, const ReceiveRole& role, const char* option,
                     int32_t code) {
  LogMessage(block, 1, "%s() - Port: %d, setsockopt(%s) failed. %u\n", role.name, block.portNumber,
             option, static_cast<uint32_t>(code));
}

void RecordOptionFailure(PortControlBlock& block, const ReceiveRole& role, int32_t location,
                         const char* option) {
  LogOptionFailed(block, role, option, RecordSocketFailure(location));
}

// "Keep Alive": a peer that stops answering ends the connection as a failed
// receive (10060). Without it the connection would go on as before, so a
// refusal is only logged.
void SetKeepAlive(PortControlBlock& block, const ReceiveRole& role, platform::Socket socket) {
  if (platform::SetKeepAlive(socket, block.settings.keepAliveSeconds) != 0) {
    LogOptionFailed(block, role, "SO_KEEPALIVE", platform::LastSocketError());
    return;
  }
  LogMessage(block, 1, "%s() - Port: %d, Keep Alive: %u s\n", role.name, block.portNumber,
             block.settings.keepAliveSeconds);
}

}  // namespace

void SetConnectionBuffers(PortControlBlock& block, const ReceiveRole& role, platform::Socket socket,
                          int32_t receiveLocation, int32_t sendLocation) {
  if (platform::SetReceiveBufferSize(socket, kSocketReceiveBufferBytes) != 0) {
    RecordOptionFailure(block, role, receiveLocation, "SO_RCVBUF");
  }
  if (platform::SetSendBufferSize(socket, block.pacing->sendBufferBytes) != 0) {
    RecordOptionFailure(block, role, sendLocation, "SO_SNDBUF");
  }
  // Nothing depends on chunks going out at once, so a refusal is ignored.
  if (block.pacing->noDelay) platform::SetNoDelay(socket);
  if (block.settings.keepAliveSeconds != 0) SetKeepAlive(block, role, socket);
}

StepResult ReceiveStep(PortControlBlock& block, const ReceiveRole& role, Connection& connection) {
  const uint32_t now = platform::TickCount();
  if (now < connection.lastActivity) connection.lastActivity = 0;  // the tick counter wrapped

  const int32_t readable = platform::PollReadable(connection.socket.load());
  if (readable == kSocketError) {
    FailMonitor(block, role, role.pollLocation, "select");
    return {};
  }
  if (PeerGone(block, connection, now)) {
    StoreFailureNumbers(role.receiveLocation, platform::kErrorTimedOut);
    return {StepOutcome::kReceiveFailed, platform::kErrorTimedOut};
  }
  const bool silent = now - connection.lastActivity > kSilenceMs;
  if (readable == 0 && !silent) return {};

  // After more than a second of silence one receive is made all the same.
  uint32_t pending = 1;
  if (readable != 0) {
    if (platform::PendingBytes(connection.socket.load(), &pending) != 0) {
      FailMonitor(block, role, role.pendingBeforeLocation, "ioctlsocket");
      return {};
    }
    if (pending != 0) {
      LogWaiting(block, role, pending);
    } else if (silent || connection.newcomerWaiting) {
      pending = 1;  // readable with nothing waiting: closed, reset or not connected
    } else {
      platform::Sleep(kTurnMs);
      return {StepOutcome::kClosedAndQuiet};
    }
  }
  return ReceiveLoop(block, role, connection, pending);
}

void EndTurn(PortControlBlock& block, const Connection& connection, StepResult step) {
  if (step.outcome == StepOutcome::kPaused) return;
  const Pacing& pacing = *block.pacing;
  if (pacing.socketWaitMs == 0 || block.connected.load() == 0 ||
      step.outcome == StepOutcome::kClosedAndQuiet) {
    platform::Sleep(kTurnMs);
    return;
  }
  // Waiting on the socket: sleep until bytes arrive, the silence deadline
  // comes, or the close shuts the socket. The close always shuts the socket
  // before it raises the stop flag, so the wait needs no shorter bound; a
  // stop the monitor raised itself ends the turn at once.
  //
  // Unlike TxMonitor, the receive monitor does not look for more bytes
  // before it blocks. It runs at a raised priority while connected, and its
  // looks, though they yield the processor between them, took the processor
  // from the very threads it waits for: the host's reader of the bytes just
  // handed over and the peer that answers them. On two processors a 16-byte
  // exchange took about 80 us with the look and 35 us without it.
  if (block.rxMonitor.stop.load() != 0) return;
  const platform::Socket socket = connection.socket.load();
  const uint32_t quiet = platform::TickCount() - connection.lastActivity;
  const uint32_t untilSilence = quiet > kSilenceMs ? 1 : kSilenceMs + 1 - quiet;
  if (platform::WaitReadable(socket, static_cast<int32_t>(untilSilence)) == kSocketError) {
    platform::Sleep(kTurnMs);  // the next poll reports the failure
  }
}

}  // namespace zortcp
