// SPDX-License-Identifier: MIT
#include "support/event_recorder.h"

#include <array>
#include <atomic>

namespace zortcp::testing {
namespace {

constexpr uint32_t kMaxRecorders = 256;
std::array<std::atomic<EventRecorder*>, kMaxRecorders> recorders{};
std::atomic<uint32_t> nextUserData{1};

}  // namespace

std::string RecordedEvent::ToString() const {
  if (kind == ZOR_EVENT_CONNECTED) return "1:" + text;
  if (kind == ZOR_EVENT_RECEIVED || kind == ZOR_EVENT_TRANSMITTED) {
    return std::to_string(kind) + "(" + std::to_string(value) + ")";
  }
  return std::to_string(kind) + "/" + std::to_string(value);
}

EventRecorder::EventRecorder() : userData_(nextUserData.fetch_add(1) % kMaxRecorders) {
  recorders[userData_].store(this);
}

EventRecorder::~EventRecorder() { recorders[userData_].store(nullptr); }

void EventRecorder::Register() { ZorSetEventHandler(&EventRecorder::Handler, userData_); }

int32_t ZOR_CALL EventRecorder::Handler(int32_t source, int32_t kind, void* data,
                                        uint32_t userData) {
  if (userData < kMaxRecorders) {
    if (EventRecorder* recorder = recorders[userData].load()) recorder->Record(source, kind, data);
  }
  return 0;
}

void EventRecorder::Record(int32_t source, int32_t kind, void* data) {
  RecordedEvent event;
  event.source = source;
  event.kind = kind;
  event.when = std::chrono::steady_clock::now();
  if (kind == ZOR_EVENT_CONNECTED) {
    event.text = static_cast<const char*>(data);
  } else {
    event.value = *static_cast<const int32_t*>(data);
  }
  std::function<void(const RecordedEvent&)> callback;
  {
    std::lock_guard lock(mutex_);
    events_.push_back(event);
    callback = callback_;
  }
  changed_.notify_all();
  if (callback) callback(event);
}

std::vector<RecordedEvent> EventRecorder::Events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

std::vector<std::string> EventRecorder::Sequence() const {
  std::vector<std::string> sequence;
  for (const auto& event : Events()) {
    if (event.kind == ZOR_EVENT_CONNECTED || event.kind == ZOR_EVENT_RECEIVED ||
        event.kind == ZOR_EVENT_TRANSMITTED) {
      sequence.push_back(std::to_string(event.kind));
    } else {
      sequence.push_back(std::to_string(event.kind) + "/" + std::to_string(event.value));
    }
  }
  return sequence;
}

size_t EventRecorder::Count(int32_t kind, int32_t value) const {
  size_t count = 0;
  for (const auto& event : Events()) {
    if (event.kind == kind && (value < 0 || event.value == value)) ++count;
  }
  return count;
}

uint64_t EventRecorder::Bytes(int32_t kind) const {
  uint64_t total = 0;
  for (const auto& event : Events()) {
    if (event.kind == kind) total += static_cast<uint32_t>(event.value);
  }
  return total;
}

bool EventRecorder::WaitFor(const std::function<bool(const std::vector<RecordedEvent>&)>& condition,
                            std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return condition(events_); });
}

bool EventRecorder::WaitForCount(int32_t kind, int32_t value, size_t count,
                                 std::chrono::milliseconds timeout) const {
  return WaitFor(
      [&](const std::vector<RecordedEvent>& events) {
        size_t seen = 0;
        for (const auto& event : events) {
          if (event.kind == kind && (value < 0 || event.value == value)) ++seen;
        }
        return seen >= count;
      },
      timeout);
}

void EventRecorder::Clear() {
  std::lock_guard lock(mutex_);
  events_.clear();
}

void EventRecorder::SetCallback(std::function<void(const RecordedEvent&)> callback) {
  std::lock_guard lock(mutex_);
  callback_ = std::move(callback);
}

}  // namespace zortcp::testing
