// SPDX-License-Identifier: MIT
// How a port's engine paces itself. The default pacing works in turns of
// about 1 ms: the monitors poll their sockets and sleep between turns and
// between chunks, and bytes move through the rings one lock hold per byte.
// Hosts may rely on that timing. The fast transfer mode ("Fast Transfer") is
// its one alternative: the monitors wait on their sockets, TxMonitor looks
// briefly for more work before it blocks, and bytes move through the rings
// in runs.
// The open chooses one of the two for the port (PortControlBlock::pacing);
// events, counters, errors and log lines are the same under both.
#pragma once

#include <chrono>
#include <cstdint>

namespace zortcp {

struct Pacing {
  // Rings: a run of bytes moves under one hold of the lock, taken yielding
  // first, and a receive monitor that finds its RxRing full sleeps until the
  // host reads; otherwise one byte per hold, and full rings are looked at
  // in 1 ms turns.
  bool ringRuns;
  // Socket waits. 0: the monitors poll their sockets and sleep between
  // polls (the pauses below). Otherwise they block on them: a receive
  // monitor until bytes come or its silence deadline, TxMonitor until its
  // socket takes data and a listening server until a peer connects, the
  // last two for at most this long at a time, to look at their stop flags.
  int32_t socketWaitMs;
  // The receive monitor's pause between two receives of a backlog.
  uint32_t backlogPauseMs;
  // A listening server's pause after a poll that found no peer.
  uint32_t listenPauseMs;
  // TxMonitor's pause after a chunk sent: while more bytes wait, and once
  // the TxRing is empty.
  uint32_t nextChunkPauseMs;
  uint32_t drainedPauseMs;
  // How long TxMonitor, having sent bytes, looks for more, giving up the
  // processor between looks, before it blocks: a blocked thread on an idle
  // processor of a virtual machine takes tens of microseconds to wake,
  // several times what the next request of an exchange takes to come.
  std::chrono::microseconds lookBeforeBlocking;
  // How many chunks TxMonitor takes from the TxRing and gives to one send.
  // Each chunk is still reported (event, count, log line) on its own.
  int32_t chunksPerSend;
  // How many chunks' worth the receive monitor takes from its socket in one
  // receive. They are handed to the host one chunk at a time, each reported
  // (its own lines and event) as if received on its own.
  int32_t receiveBatchChunks;
  // The system's send buffer of a connection, and whether each chunk goes
  // out at once rather than after the acknowledgement of the one before.
  int32_t sendBufferBytes;
  bool noDelay;
  // The rings of a port whose host has chosen no sizes (ZorChangeBufferSizes);
  // 0 keeps the library's defaults.
  uint32_t rxRingBytes;
  uint32_t txRingBytes;
};

inline constexpr Pacing kDefaultPacing{
    .ringRuns = false,
    .socketWaitMs = 0,
    .backlogPauseMs = 1,
    .listenPauseMs = 10,
    .nextChunkPauseMs = 1,
    .drainedPauseMs = 10,
    .lookBeforeBlocking = std::chrono::microseconds{0},
    .chunksPerSend = 1,
    .receiveBatchChunks = 1,
    .sendBufferBytes = 16384,
    .noDelay = false,
    .rxRingBytes = 0,
    .txRingBytes = 0,
};

// The fast transfer mode gives a connection a send buffer as large as its
// receive buffer: with 16384 bytes TxMonitor waits for the peer after every
// few chunks, which holds a loopback connection to a fraction of what it
// can carry. Its rings, unless the host chose sizes, hold several of a
// host's large writes: with the default 8192-byte TxRing a writer and
// TxMonitor wake each other for every two chunks, and the 65536-byte RxRing
// fills whenever the reader is a little late.
inline constexpr Pacing kFastPacing{
    .ringRuns = true,
    .socketWaitMs = 100,
    .backlogPauseMs = 0,
    .listenPauseMs = 0,
    .nextChunkPauseMs = 0,
    .drainedPauseMs = 0,
    .lookBeforeBlocking = std::chrono::microseconds{50},
    .chunksPerSend = 16,
    .receiveBatchChunks = 16,
    .sendBufferBytes = 262144,
    .noDelay = true,
    .rxRingBytes = 1048576,
    .txRingBytes = 262144,
};

static_assert(kDefaultPacing.chunksPerSend >= 1 && kFastPacing.chunksPerSend >= 1);

static_assert(kDefaultPacing.receiveBatchChunks >= 1 && kFastPacing.receiveBatchChunks >= 1);

inline const Pacing& PacingFor(bool fastTransfer) {
  return fastTransfer ? kFastPacing : kDefaultPacing;
}

}  // namespace zortcp
