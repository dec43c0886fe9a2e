// SPDX-License-Identifier: MIT
// The tool's event handler and what it hands to the main thread.
//
// The library calls the handler on its monitor threads, two at once for one
// port, and reuses the event's data as soon as the call returns. The handler
// therefore copies everything it needs into a PortEvent, updates the port's
// traffic counters, queues the event and wakes the main thread through a
// wake flag; all printing happens later on the main thread.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "zorcat/host_system.h"
#include "zortcp.h"

namespace zorcat {

// The tool tells its ports apart by a tag, the user value of the
// registration, since events carry no port handle.
using PortTag = uint32_t;
constexpr PortTag kMaxPortTags = 4;

// One copied event.
struct PortEvent {
  std::chrono::system_clock::time_point when;
  PortTag tag = 0;
  int32_t kind = 0;
  int32_t value = 0;      // kinds 2 to 5
  std::string text;       // kind 1: "<peer>, Port: <n>"; 5/4: the last error's text
  int32_t errorCode = 0;  // 5/4: the last error's numbers
  int32_t errorLocation = 0;
};

// What the handler learns about a port's traffic, readable from any thread.
struct PortTraffic {
  std::atomic<bool> connected{false};
  std::atomic<uint64_t> received{0};      // sum of the kind-3 counts
  std::atomic<uint64_t> transmitted{0};   // sum of the kind-4 counts
  std::atomic<uint32_t> sendFailures{0};  // 5/3 events: a chunk was dropped
};

class EventFeed {
 public:
  // The one feed of the process. It is never destroyed: the library may
  // still call the handler while it is unloaded at process exit.
  static EventFeed& Instance();

  // Registers the handler for the next port that opens; its events carry tag.
  void RegisterForNextOpen(PortTag tag);

  // Raised while events wait to be taken.
  const WakeFlag& Wake() const { return wake_; }
  // Takes every queued event, oldest first.
  std::vector<PortEvent> Take();

  PortTraffic& Traffic(PortTag tag) { return traffic_[tag]; }

  // A number that changes with every event and every Nudge. A thread other
  // than the main one reads it, looks at the traffic counters, and waits
  // with WaitForChange until the number moves on or the time passes.
  uint32_t Changes() const { return changes_.load(std::memory_order_acquire); }
  void WaitForChange(uint32_t seenChanges, std::chrono::milliseconds timeout);
  // Moves the change number on without an event (to stop a waiting thread).
  void Nudge();

 private:
  EventFeed();
  static int32_t ZOR_CALL OnEvent(int32_t source, int32_t kind, void* data, uint32_t tag);
  void Count(const PortEvent& event);
  void Add(PortEvent event);

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<PortEvent> queue_;
  bool wakePending_ = false;  // wake_ is raised; guarded by mutex_
  std::atomic<uint32_t> changes_{0};
  WakeFlag wake_;
  std::array<PortTraffic, kMaxPortTags> traffic_;
};

}  // namespace zorcat
