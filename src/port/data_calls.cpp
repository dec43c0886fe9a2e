// SPDX-License-Identifier: MIT
// The host's data calls: they work on the port's rings only and never wait
// for the network.
#include <algorithm>
#include <atomic>

#include "diagnostics/debug_log.h"
#include "platform/platform.h"
#include "port/port_calls.h"
#include "port/port_table.h"
#include "transport/rings.h"

namespace zortcp {
int32_t WritePort(int32_t handle, const void* data, int32_t size) {
  const PortCall call(handle, CallNumber::kWritePort);
  PortControlBlock* block = call.block();
  if (block == nullptr) return call.result();
  if (data == nullptr) size = 0;  // null data counts as no bytes
  if (LogIsOpen(*block)) {
    LogMessage(*block, 1, "ZorWritePort() - Port: %d, Packet Size: %d\n", handle, size);
    LogDataDump(*block, 4, data, size);
  }
  // Short of size only when the port's close began while the TxRing was full.
  const int32_t queued = TxRingStore(*block, static_cast<const uint8_t*>(data), size);
  ResumeSuspendedTxMonitor(*block);
  // Bytes that the close overtook are not reported as queued: the port was
  // closed under the call.
  if (queued < size) return NotInUse(CallNumber::kWritePort);
  return 0;
}

int32_t ReadPort(int32_t handle, void* buffer, int32_t capacity, int32_t* count) {
  const PortCall call(handle, CallNumber::kReadPort);
  PortControlBlock* block = call.block();
  if (block == nullptr) return call.result();
  auto* bytes = static_cast<uint8_t*>(buffer);
  if (bytes == nullptr) capacity = 0;  // a null buffer takes nothing
  // Bytes that arrive during the call are delivered too, up to the capacity.
  const int32_t delivered = RxRingTake(*block, bytes, capacity);
  if (LogIsOpen(*block)) {
    LogMessage(*block, 2, "ZorReadPort() - Port: %d, Packet Size: %d\n", handle, delivered);
    LogDataDump(*block, 4, bytes, delivered);
  }
  if (count != nullptr) *count = delivered;
  return 0;
}

int32_t AnyToRead(int32_t handle) {
  const PortCall call(handle, CallNumber::kAnyToRead);
  PortControlBlock* block = call.block();
  if (block == nullptr) return call.result();
  if (LogIsOpen(*block)) {
    LogMessage(*block, 2, "ZorAnyToRead() - Port: %d, Returning: %d\n", handle,
               block->rx.count.load());
  }
  return block->rx.count.load();
}

}  // namespace zortcp
