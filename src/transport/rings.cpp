// SPDX-License-Identifier: MIT
#include "transport/rings.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "core/control_block.h"
#include "core/spin_lock.h"
#include "platform/platform.h"

namespace zortcp {
namespace {

constexpr uint32_t kFullWaitTurnMs = 1;
// The runs wait for room by first giving up the processor this many times
// before they fall back to 1 ms turns: the other side frees room within
// microseconds, and a 1 ms turn would hold a busy ring to one ring-full per
// millisecond.
constexpr int32_t kRunYieldTurns = 256;
// The longest a receive monitor's run sleeps for room without looking.
constexpr uint32_t kRoomSleepMs = 10;

// A ring as read under its lock. The open gives the ring its storage
// without the lock, publishing the capacity only once the storage exists,
// so the capacity is read first, with acquire order; the close (and a failed
// open) takes the storage away under the lock (ReleaseRings).
struct Slots {
  int32_t size;
  uint8_t* bytes;
  int32_t read;
  int32_t write;
  int32_t count;

  // A ring without storage (a port being opened, or closed) takes and gives
  // nothing; nor does one whose positions lie outside its storage.
  bool Usable() const {
    return size > 0 && bytes != nullptr && read >= 0 && read < size && write >= 0 && write < size &&
           count >= 0 && count <= size;
  }
};

Slots ReadSlots(const ByteRing& ring) {
  Slots slots{};
  slots.size = ring.size.load(std::memory_order_acquire);
  slots.bytes = ring.buffer.load(std::memory_order_acquire);
  // Relaxed: these change only under the lock, which orders them.
  slots.read = ring.readIndex.load(std::memory_order_relaxed);
  slots.write = ring.writeIndex.load(std::memory_order_relaxed);
  slots.count = ring.count.load(std::memory_order_relaxed);
  return slots;
}

// position + n, wrapped to the ring; n is at most the capacity.
int32_t Advance(int32_t position, int32_t n, int32_t size) {
  return n < size - position ? position + n : n - (size - position);
}

// Copies n bytes in at the write position, across the wrap. The caller holds
// the lock and has found room for them.
void StoreRun(ByteRing& ring, const Slots& slots, const uint8_t* bytes, int32_t n) {
  const int32_t first = std::min(n, slots.size - slots.write);
  std::memcpy(slots.bytes + slots.write, bytes, static_cast<size_t>(first));
  std::memcpy(slots.bytes, bytes + first, static_cast<size_t>(n - first));
  ring.writeIndex.store(Advance(slots.write, n, slots.size), std::memory_order_relaxed);
  // The count changes only under the lock, so a store of the value read
  // under it is as good as an interlocked addition, without a second locked
  // instruction for every byte the default mode moves. Release: a consumer
  // that sees the raised count without the lock, and then takes the lock,
  // finds the bytes stored.
  ring.count.store(slots.count + n, std::memory_order_release);
}

// Puts count bytes, waiting with waitForRoom (false: the storage has gone
// or the wait was called off, drop the rest) whenever the ring is full, and
// returns how many it stored. Under the lock the room is tested again: with
// one producer it is always there, but a second producer must never make
// the ring overflow. The runs take the lock yielding first (yieldFirst).
template <typename WaitForRoom>
int32_t PutRun(ByteRing& ring, const uint8_t* bytes, int32_t count, bool yieldFirst,
               WaitForRoom waitForRoom) {
  int32_t stored = 0;
  while (stored < count) {
    if (!waitForRoom()) break;
    SpinLockGuard hold(ring.lock, yieldFirst);
    const Slots slots = ReadSlots(ring);
    if (!slots.Usable()) break;
    const int32_t n = std::min(count - stored, slots.size - slots.count);
    if (n > 0) {
      StoreRun(ring, slots, bytes + stored, n);
      stored += n;
    }
  }
  return stored;
}

// Takes up to count bytes, as many as are stored, under one hold of the lock.
int32_t TakeRun(ByteRing& ring, uint8_t* bytes, int32_t count, bool yieldFirst) {
  if (bytes == nullptr || count <= 0) return 0;
  SpinLockGuard hold(ring.lock, yieldFirst);
  const Slots slots = ReadSlots(ring);
  if (!slots.Usable()) return 0;
  const int32_t n = std::min(count, slots.count);
  if (n == 0) return 0;
  // The count goes down before the bytes are copied out: a producer that sees
  // the freed room still has to take this lock, which is held until they are
  // out. Release pairs with the producer's acquire reading of the count; a
  // store, as in StoreRun, since the count changes only under the lock.
  ring.count.store(slots.count - n, std::memory_order_release);
  const int32_t first = std::min(n, slots.size - slots.read);
  std::memcpy(bytes, slots.bytes + slots.read, static_cast<size_t>(first));
  std::memcpy(bytes + first, slots.bytes, static_cast<size_t>(n - first));
  ring.readIndex.store(Advance(slots.read, n, slots.size), std::memory_order_relaxed);
  return n;
}

// Waits in 1 ms turns while the RxRing is full. The count is read without
// the lock (acquire, so that the consumer's lock hold is seen to have
// begun): a stale reading only costs one more turn. False when the storage
// goes away or the receive monitor is asked to stop: a host that has
// stopped reading must not hold up the close.
bool WaitWhileFull(const ByteRing& ring, const std::atomic<int32_t>& stop) {
  for (;;) {
    const int32_t size = ring.size.load(std::memory_order_acquire);
    if (size <= 0 || stop.load() != 0) return false;
    if (ring.count.load(std::memory_order_acquire) < size) return true;
    platform::Sleep(kFullWaitTurnMs);
  }
}

// The runs' wait for room in a full RxRing: after yielding
// the processor a number of times, the receive monitor sleeps until the host
// takes bytes out (RxRingGetRun wakes it) instead of looking again every
// millisecond, which would hold a busy connection to one ring-full per turn
// whenever the host is a little late. Like the default mode's wait it ends
// at the stop request, which the close follows with a resume. The flag is raised
// before the last look at the count, and the reader lowers the count before
// it reads the flag (both sequentially consistent), so a wake-up is never
// lost; the sleep still ends after kRoomSleepMs, so that storage taken away
// is noticed. A thread that cannot be suspended (not one of the library's)
// looks again every millisecond.
bool WaitForRxRoom(PortControlBlock& block) {
  for (int32_t turn = 0;; ++turn) {
    const int32_t size = block.rx.size.load(std::memory_order_acquire);
    if (size <= 0 || block.rxMonitor.stop.load() != 0) return false;
    if (block.rx.count.load(std::memory_order_acquire) < size) return true;
    if (turn < kRunYieldTurns) {
      platform::Sleep(0);
      continue;
    }
    block.rxRoomWanted.store(1);
    bool slept = true;
    if (block.rx.count.load() >= size) slept = platform::SuspendCurrentThreadFor(kRoomSleepMs);
    block.rxRoomWanted.store(0);
    if (!slept) platform::Sleep(kFullWaitTurnMs);
  }
}

}  // namespace

// TxMonitor raises its suspended flag before it looks at the count a last
// time, and the bytes just stored are counted (a sequentially consistent
// touch of the count) before the flag is read here, so one of the two
// always sees the other.
void ResumeSuspendedTxMonitor(PortControlBlock& block) {
  block.tx.count.fetch_add(0);
  if (block.txMonitor.suspended.load() != 0) {
    platform::ThreadHandle monitor = block.txMonitor.thread.load(std::memory_order_acquire);
    if (monitor != nullptr) platform::ResumeThread(monitor);
  }
}

namespace {

// A wait for room in the TxRing ends when its storage goes away or the
// port's close begins: TxMonitor is about to stop, and a writer on its own
// thread (a handler) would otherwise wait for itself.
bool TxWaitCalledOff(const PortControlBlock& block) {
  return block.tx.size.load(std::memory_order_acquire) <= 0 ||
         block.life.load() == PortLife::kClosing;
}

// A full TxRing takes its next byte only once TxMonitor has emptied it.
// TxMonitor suspends itself whenever it finds the ring empty, so it is woken
// on every turn that finds it suspended; a resume it does not need is kept
// and costs it one extra look at the ring. The full test is made once: after
// the wait the ring is empty. pause() waits between looks. False when the
// wait is called off.
template <typename Pause>
bool WaitUntilEmptyIfFull(PortControlBlock& block, Pause pause) {
  if (TxWaitCalledOff(block)) return false;
  const int32_t size = block.tx.size.load(std::memory_order_acquire);
  if (block.tx.count.load(std::memory_order_acquire) < size) return true;
  do {
    ResumeSuspendedTxMonitor(block);
    pause();
    if (TxWaitCalledOff(block)) return false;
  } while (block.tx.count.load(std::memory_order_acquire) != 0);
  return true;
}

// The runs' pause while the TxRing is full: the writer, usually a host
// thread, sleeps until TxMonitor takes the last bytes out (TxRingGetRun
// wakes it) rather than looking again and again, which on a busy machine
// takes the processor from TxMonitor itself. The flag is raised before the
// count is looked at and TxMonitor lowers the count before it reads the
// flag (both sequentially consistent), so a wake-up is never lost; the
// sleep still ends after kRoomSleepMs, so that the close is noticed.
void SleepUntilTxEmptied(PortControlBlock& block) {
  block.txRoomWanted.store(1);
  const int32_t count = block.tx.count.load();
  if (count != 0) platform::WaitWhileWordIs(block.tx.count, count, kRoomSleepMs);
  block.txRoomWanted.store(0);
}

// Takes one ring's storage away under its lock and empties it, so that a
// call that comes late finds a ring without storage, never freed memory or
// the positions of a port that is gone.
void ReleaseRing(ByteRing& ring) {
  SpinLockGuard hold(ring.lock);
  ring.size.store(0, std::memory_order_release);
  ring.buffer.store(nullptr, std::memory_order_release);
  ring.readIndex.store(0, std::memory_order_relaxed);
  ring.writeIndex.store(0, std::memory_order_relaxed);
  ring.count.store(0, std::memory_order_release);
  ring.memory.reset();
}

// The pacing's moves, for either ring: runs, or a byte per lock hold.
using PutRunCall = int32_t (*)(PortControlBlock&, const uint8_t*, int32_t);
using PutByteCall = bool (*)(PortControlBlock&, uint8_t);
using GetRunCall = int32_t (*)(PortControlBlock&, uint8_t*, int32_t);
using GetByteCall = uint8_t (*)(PortControlBlock&);

int32_t StoreAsPaced(PortControlBlock& block, const uint8_t* bytes, int32_t count,
                     PutRunCall putRun, PutByteCall putByte) {
  if (count <= 0) return 0;
  if (block.pacing->ringRuns) return putRun(block, bytes, count);
  int32_t stored = 0;
  while (stored < count && putByte(block, bytes[stored])) ++stored;
  return stored;
}

// The count is read again before every byte or run, so that bytes stored
// meanwhile are taken too, up to count.
int32_t TakeAsPaced(PortControlBlock& block, const ByteRing& ring, uint8_t* bytes, int32_t count,
                    GetRunCall getRun, GetByteCall getByte) {
  int32_t taken = 0;
  while (taken < count && ring.count.load() != 0) {
    if (block.pacing->ringRuns) {
      taken += getRun(block, bytes + taken, count - taken);
    } else {
      bytes[taken++] = getByte(block);
    }
  }
  return taken;
}

}  // namespace

bool RxRingPut(PortControlBlock& block, uint8_t byte) {
  ByteRing& ring = block.rx;
  return PutRun(ring, &byte, 1, false, [&] { return WaitWhileFull(ring, block.rxMonitor.stop); }) ==
         1;
}

uint8_t RxRingGet(PortControlBlock& block) {
  uint8_t byte = 0;
  TakeRun(block.rx, &byte, 1, false);
  return byte;
}

bool TxRingPut(PortControlBlock& block, uint8_t byte) {
  return PutRun(block.tx, &byte, 1, false, [&block] {
           return WaitUntilEmptyIfFull(block, [] { platform::Sleep(kFullWaitTurnMs); });
         }) == 1;
}

uint8_t TxRingGet(PortControlBlock& block) {
  uint8_t byte = 0;
  TakeRun(block.tx, &byte, 1, false);
  return byte;
}

int32_t RxRingPutRun(PortControlBlock& block, const uint8_t* bytes, int32_t count) {
  if (bytes == nullptr) return 0;
  return PutRun(block.rx, bytes, count, true, [&block] { return WaitForRxRoom(block); });
}

int32_t TxRingPutRun(PortControlBlock& block, const uint8_t* bytes, int32_t count) {
  if (bytes == nullptr) return 0;
  return PutRun(block.tx, bytes, count, true, [&block] {
    return WaitUntilEmptyIfFull(block, [&block] { SleepUntilTxEmptied(block); });
  });
}

int32_t RxRingGetRun(PortControlBlock& block, uint8_t* bytes, int32_t count) {
  const int32_t taken = TakeRun(block.rx, bytes, count, true);
  if (taken > 0) {
    // A sequentially consistent touch of the count orders the take before
    // the flag is read (see WaitForRxRoom).
    block.rx.count.fetch_add(0);
    if (block.rxRoomWanted.load() != 0) platform::ResumeThread(block.rxMonitor.thread.load());
  }
  return taken;
}

int32_t TxRingGetRun(PortControlBlock& block, uint8_t* bytes, int32_t count) {
  const int32_t taken = TakeRun(block.tx, bytes, count, true);
  if (taken > 0) {
    // As in RxRingGetRun: the take is ordered before the flag is read (see
    // SleepUntilTxEmptied); only an empty ring is worth a writer's wake-up.
    block.tx.count.fetch_add(0);
    if (block.txRoomWanted.load() != 0 && block.tx.count.load() == 0) {
      platform::WakeWordWaiters(block.tx.count);
    }
  }
  return taken;
}

int32_t RxRingStore(PortControlBlock& block, const uint8_t* bytes, int32_t count) {
  return StoreAsPaced(block, bytes, count, RxRingPutRun, RxRingPut);
}

int32_t RxRingTake(PortControlBlock& block, uint8_t* bytes, int32_t count) {
  return TakeAsPaced(block, block.rx, bytes, count, RxRingGetRun, RxRingGet);
}

int32_t TxRingStore(PortControlBlock& block, const uint8_t* bytes, int32_t count) {
  return StoreAsPaced(block, bytes, count, TxRingPutRun, TxRingPut);
}

int32_t TxRingTake(PortControlBlock& block, uint8_t* bytes, int32_t count) {
  return TakeAsPaced(block, block.tx, bytes, count, TxRingGetRun, TxRingGet);
}

void ReleaseRings(PortControlBlock& block) {
  ReleaseRing(block.rx);
  ReleaseRing(block.tx);
}

}  // namespace zortcp
