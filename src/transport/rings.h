// SPDX-License-Identifier: MIT
// The two byte rings of a port. The RxRing carries received bytes from the
// receive monitor to the host, the TxRing the host's bytes to TxMonitor.
// Each has one producer and one consumer; indexes, count and storage are
// guarded by the ring's SpinLock, and the count is also read without it.
// Every slot is used: a ring of capacity N holds N bytes.
//
// Full rings: RxRingPut waits (1 ms turns) until one byte has been taken;
// TxRingPut waits until the TxRing is completely empty, waking a suspended
// TxMonitor on every turn. A wait ends without storing the rest when the
// storage goes away; the RxRing's also at the receive monitor's stop
// request, the TxRing's once the port's close has begun. The puts tell
// whether (or how many of) their bytes were stored.
#pragma once

#include <cstdint>

namespace zortcp {

struct PortControlBlock;

bool RxRingPut(PortControlBlock& block, uint8_t byte);
uint8_t RxRingGet(PortControlBlock& block);  // only after rx.count != 0
bool TxRingPut(PortControlBlock& block, uint8_t byte);
uint8_t TxRingGet(PortControlBlock& block);  // only after tx.count != 0

// Run variants for the fast transfer mode: the same rules, but a run of
// bytes moves under one hold of the lock, which they take yielding first
// (SpinLockAcquireYieldingFirst). RxRingPutRun stores all count
// bytes, waiting as RxRingPut does whenever the ring is full. The gets take
// up to count bytes (as many as are stored) and return how many they took.
int32_t RxRingPutRun(PortControlBlock& block, const uint8_t* bytes, int32_t count);
int32_t RxRingGetRun(PortControlBlock& block, uint8_t* bytes, int32_t count);
int32_t TxRingGetRun(PortControlBlock& block, uint8_t* bytes, int32_t count);
// TxRingPutRun stores all count bytes; a full TxRing takes more only once
// it is empty, as for TxRingPut.
int32_t TxRingPutRun(PortControlBlock& block, const uint8_t* bytes, int32_t count);

// The moves of the port's pacing, which the engine and the data calls use:
// a byte per lock hold by default, runs in the fast transfer mode. The
// stores put all count bytes (fewer only when a wait for room was called
// off, as above) and return how many they stored; the takes take bytes
// while the ring holds any, up to count, looking at its count again before
// every byte or run, and return how many they took.
int32_t RxRingStore(PortControlBlock& block, const uint8_t* bytes, int32_t count);
int32_t RxRingTake(PortControlBlock& block, uint8_t* bytes, int32_t count);
int32_t TxRingStore(PortControlBlock& block, const uint8_t* bytes, int32_t count);
int32_t TxRingTake(PortControlBlock& block, uint8_t* bytes, int32_t count);

// Wakes TxMonitor if it has suspended itself for want of bytes: after the
// host's bytes are stored, and on every turn of a wait for a full TxRing.
void ResumeSuspendedTxMonitor(PortControlBlock& block);

// Takes both rings' storage away under their locks and empties them: the
// bytes still in them are discarded, and a data call that comes late finds
// no storage. The close and a failed open give the storage back this way.
void ReleaseRings(PortControlBlock& block);

}  // namespace zortcp
