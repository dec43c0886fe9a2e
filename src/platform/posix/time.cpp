// SPDX-License-Identifier: MIT
// Sleep, waits on a word, the millisecond tick counter and the local time.
#include <linux/futex.h>
#include <poll.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <thread>

#include "platform/platform.h"
#include "platform/posix/thread_context.h"

namespace zortcp::platform {
namespace {

constexpr int64_t kNanosecondsPerMillisecond = 1'000'000;
constexpr int64_t kNanosecondsPerSecond = 1'000'000'000;

std::atomic<uint32_t> tickOffset{0};

int64_t MonotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * kNanosecondsPerSecond + now.tv_nsec;
}

timespec ToTimespec(int64_t nanoseconds) {
  timespec span{};
  span.tv_sec = static_cast<time_t>(nanoseconds / kNanosecondsPerSecond);
  span.tv_nsec = static_cast<long>(nanoseconds % kNanosecondsPerSecond);
  return span;
}

// A library thread sleeps by waiting on its termination descriptor, so that
// a termination ends the sleep at once.
void InterruptibleSleep(int terminationFd, uint32_t ms) {
  const int64_t deadline = MonotonicNanoseconds() + int64_t{ms} * kNanosecondsPerMillisecond;
  pollfd termination{terminationFd, POLLIN, 0};
  const posix::CountedThreadWait counted;
  for (;;) {
    TerminationPoint();
    const int64_t left = deadline - MonotonicNanoseconds();
    if (left <= 0) return;
    const timespec span = ToTimespec(left);
    if (ppoll(&termination, 1, &span, nullptr) == 0) return;
  }
}

}  // namespace

void Sleep(uint32_t ms) {
  TerminationPoint();
  if (ms == 0) {
    std::this_thread::yield();
    return;
  }
  const int terminationFd = posix::TerminationDescriptor();
  if (terminationFd < 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return;
  }
  InterruptibleSleep(terminationFd, ms);
}

// The word is waited on where it lies: an atomic 32-bit integer has the
// layout of a plain one.
static_assert(sizeof(std::atomic<int32_t>) == sizeof(int32_t) &&
              std::atomic<int32_t>::is_always_lock_free);

void WaitWhileWordIs(const std::atomic<int32_t>& word, int32_t expected, uint32_t ms) {
  TerminationPoint();
  const timespec span = ToTimespec(int64_t{ms} * kNanosecondsPerMillisecond);
  syscall(SYS_futex, &word, FUTEX_WAIT_PRIVATE, expected, &span, nullptr, 0);
  TerminationPoint();
}

void WakeWordWaiters(const std::atomic<int32_t>& word) {
  syscall(SYS_futex, &word, FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
}

uint32_t TickCount() {
  const auto ms = static_cast<uint64_t>(MonotonicNanoseconds() / kNanosecondsPerMillisecond);
  return static_cast<uint32_t>(ms) + tickOffset.load(std::memory_order_relaxed);
}

void SetTickOffsetForTesting(uint32_t offset) {
  tickOffset.store(offset, std::memory_order_relaxed);
}

LocalTime CurrentLocalTime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  return LocalTime{local.tm_year + 1900,
                   local.tm_mon + 1,
                   local.tm_mday,
                   local.tm_hour,
                   local.tm_min,
                   local.tm_sec,
                   static_cast<int32_t>(now.tv_nsec / kNanosecondsPerMillisecond)};
}

}  // namespace zortcp::platform
