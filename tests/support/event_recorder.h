// SPDX-License-Identifier: MIT
// Records the events a port raises, for tests. Register with
// recorder.Register() before the open: the recorder's user value tells its
// events apart from other ports'.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "zortcp.h"

namespace zortcp::testing {

struct RecordedEvent {
  int32_t source = 0;
  int32_t kind = 0;
  int32_t value = 0;  // kinds 2 to 5
  std::string text;   // kind 1
  std::chrono::steady_clock::time_point when;

  // "1:<text>", "3(n)" for received or transmitted counts, else "k/v".
  std::string ToString() const;
};

class EventRecorder {
 public:
  EventRecorder();
  ~EventRecorder();
  EventRecorder(const EventRecorder&) = delete;
  EventRecorder& operator=(const EventRecorder&) = delete;

  // ZorSetEventHandler with this recorder's handler and user value.
  void Register();
  uint32_t userData() const { return userData_; }

  std::vector<RecordedEvent> Events() const;
  // Kinds and values without the data counts: "1", "5/4", "2/0", "3", "4".
  std::vector<std::string> Sequence() const;
  size_t Count(int32_t kind, int32_t value = -1) const;
  // Bytes reported by kind 3 (or kind 4) events.
  uint64_t Bytes(int32_t kind) const;
  // Waits until a condition over the events holds.
  bool WaitFor(const std::function<bool(const std::vector<RecordedEvent>&)>& condition,
               std::chrono::milliseconds timeout) const;
  bool WaitForCount(int32_t kind, int32_t value, size_t count,
                    std::chrono::milliseconds timeout) const;
  void Clear();

  // Runs inside the handler, on the monitor's thread, after recording.
  void SetCallback(std::function<void(const RecordedEvent&)> callback);

  static int32_t ZOR_CALL Handler(int32_t source, int32_t kind, void* data, uint32_t userData);

 private:
  void Record(int32_t source, int32_t kind, void* data);

  uint32_t userData_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<RecordedEvent> events_;
  std::function<void(const RecordedEvent&)> callback_;
};

}  // namespace zortcp::testing
