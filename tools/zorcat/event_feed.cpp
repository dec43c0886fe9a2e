// SPDX-License-Identifier: MIT
#include "zorcat/event_feed.h"

#include <cstring>

#include "zortcp.h"

namespace zorcat {
namespace {

// Kind 1's text is at most 147 characters; the bound only guards the copy.
constexpr size_t kConnectedTextLimit = 260;
constexpr size_t kErrorTextSize = 288;

}  // namespace

EventFeed& EventFeed::Instance() {
  static EventFeed* feed = new EventFeed;
  return *feed;
}

EventFeed::EventFeed() = default;

void EventFeed::RegisterForNextOpen(PortTag tag) { ZorSetEventHandler(&EventFeed::OnEvent, tag); }

int32_t ZOR_CALL EventFeed::OnEvent(int32_t /*source*/, int32_t kind, void* data, uint32_t tag) {
  if (tag >= kMaxPortTags) return 0;
  try {
    PortEvent event;
    event.when = std::chrono::system_clock::now();
    event.tag = tag;
    event.kind = kind;
    if (kind == ZOR_EVENT_CONNECTED && data != nullptr) {
      const char* text = static_cast<const char*>(data);
      event.text.assign(text, ::strnlen(text, kConnectedTextLimit));
    } else if (data != nullptr) {
      std::memcpy(&event.value, data, sizeof(event.value));
    }
    if (kind == ZOR_EVENT_ERROR && event.value == ZOR_ERROR_RECORDED) {
      // The record is library-wide: copy it now, before another failure
      // replaces it.
      char text[kErrorTextSize] = {};
      ZorGetLastError(&event.errorCode, &event.errorLocation, text);
      event.text = text;
    }
    Instance().Count(event);
    Instance().Add(std::move(event));
  } catch (...) {
    // Nothing may be thrown back into the library's thread; an event that
    // cannot be copied for want of memory is lost.
  }
  return 0;
}

void EventFeed::Count(const PortEvent& event) {
  PortTraffic& traffic = traffic_[event.tag];
  switch (event.kind) {
    case ZOR_EVENT_CONNECTED:
      traffic.connected.store(true);
      break;
    case ZOR_EVENT_DISCONNECTED:
      traffic.connected.store(false);
      break;
    case ZOR_EVENT_RECEIVED:
      traffic.received.fetch_add(static_cast<uint32_t>(event.value));
      break;
    case ZOR_EVENT_TRANSMITTED:
      traffic.transmitted.fetch_add(static_cast<uint32_t>(event.value));
      break;
    case ZOR_EVENT_ERROR:
      if (event.value == ZOR_ERROR_SEND_FAILED) traffic.sendFailures.fetch_add(1);
      break;
    default:
      break;
  }
}

void EventFeed::Add(PortEvent event) {
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(event));
    changes_.fetch_add(1, std::memory_order_release);
    wake = !wakePending_;
    wakePending_ = true;
  }
  changed_.notify_all();
  if (wake) wake_.Raise();
}

std::vector<PortEvent> EventFeed::Take() {
  std::lock_guard lock(mutex_);
  if (wakePending_) {
    wake_.Lower();
    wakePending_ = false;
  }
  std::vector<PortEvent> events(std::make_move_iterator(queue_.begin()),
                                std::make_move_iterator(queue_.end()));
  queue_.clear();
  return events;
}

void EventFeed::WaitForChange(uint32_t seenChanges, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return Changes() != seenChanges; });
}

void EventFeed::Nudge() {
  {
    std::lock_guard lock(mutex_);
    changes_.fetch_add(1, std::memory_order_release);
  }
  changed_.notify_all();
}

}  // namespace zorcat
