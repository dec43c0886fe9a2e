// SPDX-License-Identifier: MIT
#include "zorcat/progress_meter.h"

#include <string>

#include "zorcat/event_words.h"

namespace zorcat {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kProgressDelay{1000};
// The rates are those of this window, so that they fall to zero when the
// data stops instead of fading slowly.
constexpr milliseconds kRateWindow{1000};
constexpr milliseconds kSamplePause{100};

}  // namespace

void ProgressMeter::Update(uint64_t sent, uint64_t received) {
  const Sample sample{Clock::now(), sent, received};
  if (!firstData_) {
    if (sent == 0 && received == 0) return;
    firstData_ = sample.when;
  }
  if (samples_.empty() || sample.when - samples_.back().when >= kSamplePause) {
    samples_.push_back(sample);
  }
  while (sample.when - samples_.front().when > kRateWindow) samples_.pop_front();
  if (sample.when - *firstData_ < kProgressDelay) return;
  if (sample.sent == shown_.sent && sample.received == shown_.received) return;
  shown_ = sample;
  Draw(sample, samples_.front());
}

void ProgressMeter::Draw(const Sample& now, const Sample& oldest) {
  const auto window = now.when - oldest.when;
  console_.Progress("sent " + ByteSize(now.sent) + " (" + ByteRate(now.sent - oldest.sent, window) +
                    "), received " + ByteSize(now.received) + " (" +
                    ByteRate(now.received - oldest.received, window) + ")");
}

}  // namespace zorcat
