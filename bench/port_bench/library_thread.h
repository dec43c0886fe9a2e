// SPDX-License-Identifier: MIT
// A loop of port_bench's own on a library thread, which sleeps as the
// monitors sleep (with their lowered timer slack): the floors and ceilings
// the monitors are measured against are taken on such a thread.
#pragma once

#include <atomic>
#include <thread>
#include <utility>

#include "platform/platform.h"
#include "port_bench/common.h"

namespace port_bench {

// Runs turn() on a library thread until Stop (or the destructor), then
// waits for the thread to leave and gives its handle back.
template <typename Turn>
class LibraryThread {
 public:
  explicit LibraryThread(Turn turn) : turn_(std::move(turn)) {
    thread_ = zortcp::platform::CreateSuspendedThread(&Run, this);
    if (thread_ == nullptr) done_.store(true);
    zortcp::platform::ResumeThread(thread_);
  }
  ~LibraryThread() { Stop(); }
  LibraryThread(const LibraryThread&) = delete;
  LibraryThread& operator=(const LibraryThread&) = delete;

  const std::atomic<bool>& stopping() const { return stop_; }

  // The turn in progress is finished (one that waits on a socket returns
  // once the caller has shut it down).
  void Stop() {
    stop_.store(true);
    while (!done_.load()) std::this_thread::sleep_for(milliseconds(1));
    zortcp::platform::CloseThreadHandle(thread_);
    thread_ = nullptr;
  }

 private:
  static void Run(void* argument) {
    auto* self = static_cast<LibraryThread*>(argument);
    while (!self->stop_.load() && self->turn_()) {
    }
    self->done_.store(true);
  }

  Turn turn_;  // false ends the loop
  zortcp::platform::ThreadHandle thread_ = nullptr;
  std::atomic<bool> stop_{false};
  std::atomic<bool> done_{false};
};

}  // namespace port_bench
