// SPDX-License-Identifier: MIT
// The transmit monitor of a port: it takes the host's bytes out of the
// TxRing in chunks of at most 4096 bytes, waits until the socket takes
// data, sends each chunk, and suspends itself while the ring is empty.
#include <algorithm>
#include <cstdint>

#include "core/last_error.h"
#include "core/pacing.h"
#include "diagnostics/debug_log.h"
#include "diagnostics/error_texts.h"
#include "transport/events.h"
#include "transport/monitor_common.h"
#include "transport/monitors.h"
#include "transport/rings.h"
#include "zortcp.h"

namespace zortcp {
namespace {

// The pause of a monitor woken without bytes, or after a failed chunk.
constexpr uint32_t kIdlePauseMs = 10;
// The wait for a replacement socket, and the default pacing's turn while
// the socket takes no data.
constexpr uint32_t kNextChunkPauseMs = 1;

// Client ports send on the connection socket, server ports on the accepted
// peer's; the field is read afresh for every call, since the receive
// monitor may replace it at any moment.
platform::Socket PortSocket(const PortControlBlock& block) {
  return (block.flags & ZOR_OPEN_SERVER) != 0 ? block.peer.acceptedSocket.load()
                                              : block.peer.socket.load();
}

constexpr const char* kTxName = "TxMonitor";

// Suspends the monitor while its ring is empty. The flag is raised before
// the count is looked at a last time, and writers count their bytes before
// they read the flag, so a write never goes unnoticed.
void WaitForBytes(PortControlBlock& block) {
  if (block.tx.count.load() != 0) return;
  if (LookBriefly(*block.pacing, [&block] { return block.tx.count.load() != 0; })) return;
  block.txMonitor.suspended.store(1);
  if (block.tx.count.load() == 0) platform::SuspendCurrentThread();
  block.txMonitor.suspended.store(0);
}

// A client's receive monitor replaces its socket at every connect attempt
// and closes the one it replaced. A test that met that closed socket is made
// again on the new one, so that bytes waiting for the connection are not
// dropped; while the new socket is still to come (peer.replacingSocket), the
// monitor waits for it. A socket taken away (after a loss, or by the close)
// is no replacement.
enum class SocketChange { kNone, kComing, kReplaced };

SocketChange ChangeOfSocket(const PortControlBlock& block, platform::Socket tested) {
  if ((block.flags & ZOR_OPEN_SERVER) != 0) return SocketChange::kNone;
  // The flag is read before the socket: it is raised before the old socket
  // goes and lowered after the new one is in place, so a socket found
  // missing with the flag down was taken away, not replaced.
  if (block.peer.replacingSocket.load() != 0) return SocketChange::kComing;
  const platform::Socket current = block.peer.socket.load();
  return current != platform::kNoSocket && current != tested ? SocketChange::kReplaced
                                                             : SocketChange::kNone;
}

// After a failed test: true when the test is to be made again. A socket
// still to come is waited for in 1 ms turns, until the close stops the
// monitor.
bool TestAgain(PortControlBlock& block, platform::Socket tested) {
  switch (ChangeOfSocket(block, tested)) {
    case SocketChange::kReplaced:
      return true;
    case SocketChange::kComing:
      if (block.txMonitor.stop.load() != 0) return false;
      platform::Sleep(kNextChunkPauseMs);
      return true;
    case SocketChange::kNone:
      break;
  }
  return false;
}

// Waits in 1 ms turns until the socket takes data, logging each turn, or
// under a pacing that waits on its sockets blocks on it, logging once.
// False when the test failed.
bool WaitUntilWritable(PortControlBlock& block) {
  // Turns of the default pacing log the busy line each; a pacing that waits
  // on the socket logs it once per wait.
  const int32_t waitMs = block.pacing->socketWaitMs;
  bool busyLogged = false;
  for (;;) {
    const platform::Socket socket = PortSocket(block);
    const int32_t writable = platform::PollWritable(socket);
    if (writable > 0) return true;
    if (writable == platform::kSocketError) {
      if (TestAgain(block, socket)) continue;
      LogCallFailed(block, kTxName, "select", platform::LastSocketError());
      return false;
    }
    if (waitMs == 0 || !busyLogged) {
      LogMessage(block, 2, "TxMonitor() - Port: %d, TCP/IP Stack Busy. Waiting\n",
                 block.portNumber);
      busyLogged = true;
    }
    if (waitMs == 0) {
      platform::Sleep(kNextChunkPauseMs);
      continue;
    }
    if (platform::WaitWritable(socket, waitMs) == platform::kSocketError) {
      if (TestAgain(block, socket)) continue;
      LogCallFailed(block, kTxName, "select", platform::LastSocketError());
      return false;
    }
  }
}

// One send, retried at once while it would block. The count sent, or -1.
int32_t SendOnce(PortControlBlock& block, const uint8_t* data, int32_t length) {
  for (;;) {
    const int32_t sent = platform::Send(PortSocket(block), data, length);
    if (sent != platform::kSocketError) return sent;
    const int32_t code = platform::LastSocketError();
    if (code != platform::kErrorWouldBlock) {
      LogCallFailed(block, kTxName, "send", code);
      return -1;
    }
    LogMonitorLine(block, kTxName, "send(). Would block. Trying Again");
  }
}

// Sends the whole chunk: a send that takes only part of it is followed by
// the rest, once the socket takes data again, so that no byte is lost.
bool SendChunk(PortControlBlock& block, const uint8_t* chunk, int32_t length) {
  for (int32_t sent = 0; sent < length;) {
    if (!WaitUntilWritable(block)) return false;
    const int32_t taken = SendOnce(block, chunk + sent, length - sent);
    if (taken < 0) return false;
    sent += taken;
  }
  return true;
}

// A failure that the receive monitor's close of a lost connection caused
// is reported after that loss: the host learns of the loss first, with the
// loss's own failure in the record, whichever thread met it first. The wait
// is bounded, since the host's handler may be slow, or may itself wait for
// this monitor (a write into a full ring).
constexpr uint32_t kLossReportWaitMs = 1000;

void AwaitLossReport(const PortControlBlock& block) {
  const uint32_t begun = platform::TickCount();
  while (block.peer.reportingLoss.load() != 0 && block.txMonitor.stop.load() == 0 &&
         platform::TickCount() - begun < kLossReportWaitMs) {
    platform::Sleep(kNextChunkPauseMs);
  }
}

// The chunk is dropped: neither put back nor sent again.
void ChunkFailed(PortControlBlock& block) {
  AwaitLossReport(block);
  RecordSocketFailure(ZOR_LOCATION_TRANSMIT);
  block.txErrors.fetch_add(1);
  RaiseEvent(block, ZOR_EVENT_ERROR, ZOR_ERROR_SEND_FAILED);
  RaiseEvent(block, ZOR_EVENT_ERROR, ZOR_ERROR_RECORDED);
  platform::Sleep(kIdlePauseMs);
}

void ChunkSent(PortControlBlock& block, const uint8_t* chunk, int32_t length) {
  block.txBytes.fetch_add(static_cast<uint32_t>(length), std::memory_order_relaxed);
  RaiseEvent(block, ZOR_EVENT_TRANSMITTED, length);
  LogMessage(block, 1, "TxMonitor() - Port: %d, Packet successfully transmitted. %d Bytes\n",
             block.portNumber, length);
  LogDataDump(block, 3, chunk, length);
  const Pacing& pacing = *block.pacing;
  const uint32_t pause =
      block.tx.count.load() != 0 ? pacing.nextChunkPauseMs : pacing.drainedPauseMs;
  if (pause != 0) platform::Sleep(pause);
}

// Reports the chunks of at most 4096 bytes that have gone since the last
// report: every whole one, and a last shorter one once all bytes have
// gone. The count reported so far.
int32_t ReportSent(PortControlBlock& block, const uint8_t* bytes, int32_t reported, int32_t sent,
                   int32_t length) {
  while (reported < sent && (sent - reported >= kChunkSize || sent == length)) {
    const int32_t chunk = std::min(kChunkSize, length - reported);
    ChunkSent(block, bytes + reported, chunk);
    reported += chunk;
  }
  return reported;
}

// Sends the gathered chunks with as few sends as the socket allows, each
// chunk reported once the send that took its last byte has returned, as if
// it had been sent on its own. A failure drops the chunk that it met; the
// chunks after that one are sent one at a time, as they would have been
// from the ring, until the port stops.
void SendChunks(PortControlBlock& block, const uint8_t* bytes, int32_t length) {
  int32_t sent = 0;
  int32_t reported = 0;
  while (sent < length) {
    if (!WaitUntilWritable(block)) break;
    const int32_t taken = SendOnce(block, bytes + sent, length - sent);
    if (taken < 0) break;
    sent += taken;
    reported = ReportSent(block, bytes, reported, sent, length);
  }
  if (reported == length) return;
  ChunkFailed(block);
  reported += std::min(kChunkSize, length - reported);
  while (reported < length && block.txMonitor.stop.load() == 0) {
    const int32_t chunk = std::min(kChunkSize, length - reported);
    if (SendChunk(block, bytes + reported, chunk)) {
      ChunkSent(block, bytes + reported, chunk);
    } else {
      ChunkFailed(block);
    }
    reported += chunk;
  }
}

}  // namespace

void TxMonitor(void* argument) {
  PortControlBlock& block = BlockOfArgument(argument);
  const MonitorRun run(block, MonitorSide::kTransmit, kTxName);
  run.Started();

  // Several chunks are gathered on the heap: a thread of a host that runs
  // with a small stack limit has little more than 64 KiB of stack, and the
  // host's handler runs on it too. One chunk, on the stack, when the pacing
  // sends one at a time or no heap block can be had.
  uint8_t oneChunk[kChunkSize];
  const int32_t wanted = kChunkSize * block.pacing->chunksPerSend;
  const platform::MemoryBlock gathered =
      wanted > kChunkSize ? platform::AllocateZeroed(static_cast<size_t>(wanted)) : nullptr;
  uint8_t* const chunks = gathered ? gathered.get() : oneChunk;
  const int32_t gather = gathered ? wanted : kChunkSize;
  while (block.txMonitor.stop.load() == 0) {
    WaitForBytes(block);
    if (block.tx.count.load() == 0) {
      // Woken without bytes, as by the close: look at the stop flag again.
      platform::Sleep(kIdlePauseMs);
      continue;
    }
    SendChunks(block, chunks, TxRingTake(block, chunks, gather));
  }
  run.End("Thread terminated");
}

}  // namespace zortcp
