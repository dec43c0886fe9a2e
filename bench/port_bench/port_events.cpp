// SPDX-License-Identifier: MIT
#include "port_bench/port_events.h"

#include <array>
#include <condition_variable>
#include <mutex>

#include "zortcp.h"

namespace port_bench {
namespace {

struct PortSlot {
  std::mutex mutex;
  std::condition_variable changed;
  bool connected = false;
  uint64_t receivedEvents = 0;
  uint64_t transmitted = 0;
  // The writer waits for the kind 4 events to bring transmitted up to this;
  // earlier ones do not wake it.
  uint64_t writerWakeAt = 0;
  // Set while the writer (or the reader) sleeps on `changed`: an event that
  // nobody waits for wakes nobody.
  bool writerWaiting = false;
  bool readerWaiting = false;
  bool stop = false;
};

std::array<PortSlot, kManyPorts> slots;

}  // namespace

int32_t ZOR_CALL OnEvent(int32_t, int32_t kind, void* data, uint32_t userData) {
  PortSlot& slot = slots[userData];
  bool wake = true;
  {
    std::lock_guard lock(slot.mutex);
    if (kind == ZOR_EVENT_CONNECTED) slot.connected = true;
    if (kind == ZOR_EVENT_DISCONNECTED) slot.connected = false;
    if (kind == ZOR_EVENT_RECEIVED) {
      ++slot.receivedEvents;
      wake = slot.readerWaiting;
    }
    if (kind == ZOR_EVENT_TRANSMITTED) {
      slot.transmitted += static_cast<uint64_t>(*static_cast<int32_t*>(data));
      wake = slot.writerWaiting && slot.transmitted >= slot.writerWakeAt;
    }
  }
  if (wake) slot.changed.notify_all();
  return 0;
}

void ResetSlot(uint32_t index) {
  PortSlot& slot = slots[index];
  std::lock_guard lock(slot.mutex);
  slot.connected = false;
  slot.receivedEvents = 0;
  slot.transmitted = 0;
  slot.writerWakeAt = 0;
  slot.writerWaiting = false;
  slot.readerWaiting = false;
  slot.stop = false;
}

bool AwaitConnected(uint32_t index) {
  PortSlot& slot = slots[index];
  std::unique_lock lock(slot.mutex);
  return slot.changed.wait_for(lock, kConnectWait, [&] { return slot.connected; });
}

void StopSlot(uint32_t index) {
  PortSlot& slot = slots[index];
  {
    std::lock_guard lock(slot.mutex);
    slot.stop = true;
  }
  slot.changed.notify_all();
}

bool AwaitTransmitted(uint32_t index, uint64_t wakeAt) {
  PortSlot& slot = slots[index];
  std::unique_lock lock(slot.mutex);
  slot.writerWakeAt = wakeAt;
  slot.writerWaiting = true;
  slot.changed.wait(lock, [&] { return slot.stop || slot.transmitted >= slot.writerWakeAt; });
  slot.writerWaiting = false;
  return !slot.stop;
}

uint64_t ReceivedEvents(uint32_t index) {
  PortSlot& slot = slots[index];
  std::lock_guard lock(slot.mutex);
  return slot.receivedEvents;
}

bool AwaitReceived(uint32_t index, uint64_t seen, Clock::time_point deadline) {
  PortSlot& slot = slots[index];
  std::unique_lock lock(slot.mutex);
  slot.readerWaiting = true;
  const bool arrived = slot.changed.wait_until(
      lock, deadline, [&] { return slot.stop || slot.receivedEvents != seen; });
  slot.readerWaiting = false;
  return arrived && !slot.stop;
}

}  // namespace port_bench
