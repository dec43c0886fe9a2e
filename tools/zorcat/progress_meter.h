// SPDX-License-Identifier: MIT
// The progress line of a transfer: bytes sent and received, with the rates
// of the last second, once data has been moving for a second.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>

#include "zorcat/console.h"

namespace zorcat {

class ProgressMeter {
 public:
  explicit ProgressMeter(Console& console) : console_(console) {}

  // Called on every turn of the main loop with the totals so far; redraws
  // the line when they have changed.
  void Update(uint64_t sent, uint64_t received);

 private:
  using Clock = std::chrono::steady_clock;
  struct Sample {
    Clock::time_point when;
    uint64_t sent = 0;
    uint64_t received = 0;
  };

  void Draw(const Sample& now, const Sample& oldest);

  Console& console_;
  std::optional<Clock::time_point> firstData_;
  std::deque<Sample> samples_;  // the last second, one per sampling pause at most
  Sample shown_;
};

}  // namespace zorcat
