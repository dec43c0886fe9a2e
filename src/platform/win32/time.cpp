// SPDX-License-Identifier: MIT
// Sleep, waits on a word, the millisecond tick counter and the local time.
//
// GetTickCount and the ordinary timed waits move in steps of the system's
// timer period (15.6 ms unless a program asks for less), too coarse for the
// monitors' 1 ms turns. The tick counter comes from QueryPerformanceCounter,
// and a library thread sleeps on a high-resolution waitable timer of its
// own (threads.cpp), waited on together with its termination event. Wine's
// timed waits are fine-grained anyway, so Wine cannot show the difference.
#include <atomic>
#include <cstdint>

#include "platform/platform.h"
#include "platform/win32/system.h"
#include "platform/win32/thread_context.h"

namespace zortcp::platform {
namespace {

constexpr int64_t kMillisecondsPerSecond = 1000;
constexpr int64_t kTimerUnitsPerMillisecond = 10'000;  // 100 ns units

std::atomic<uint32_t> tickOffset{0};

int64_t CounterFrequency() {
  static const int64_t frequency = [] {
    LARGE_INTEGER value{};
    QueryPerformanceFrequency(&value);
    return value.QuadPart;
  }();
  return frequency;
}

uint64_t MonotonicMilliseconds() {
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  const int64_t frequency = CounterFrequency();
  const int64_t seconds = now.QuadPart / frequency;
  const int64_t rest = now.QuadPart % frequency;
  return static_cast<uint64_t>(seconds * kMillisecondsPerSecond +
                               rest * kMillisecondsPerSecond / frequency);
}

// A library thread sleeps on its timer and its termination event, so that
// a termination ends the sleep at once.
void InterruptibleSleep(HANDLE terminationEvent, uint32_t ms) {
  const win32::CountedThreadWait counted;
  HANDLE timer = win32::SleepTimer();
  LARGE_INTEGER due{};
  due.QuadPart = -static_cast<int64_t>(ms) * kTimerUnitsPerMillisecond;  // relative
  if (timer == nullptr || SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) == 0) {
    WaitForSingleObject(terminationEvent, ms);
  } else {
    const HANDLE events[] = {terminationEvent, timer};
    WaitForMultipleObjects(2, events, FALSE, INFINITE);
    CancelWaitableTimer(timer);
  }
  TerminationPoint();
}

}  // namespace

void Sleep(uint32_t ms) {
  TerminationPoint();
  if (ms == 0) {
    SwitchToThread();
    return;
  }
  HANDLE terminationEvent = win32::TerminationEvent();
  if (terminationEvent == nullptr) {
    ::Sleep(ms);
    return;
  }
  InterruptibleSleep(terminationEvent, ms);
}

// The word is waited on where it lies: an atomic 32-bit integer has the
// layout of a plain one.
static_assert(sizeof(std::atomic<int32_t>) == sizeof(int32_t) &&
              std::atomic<int32_t>::is_always_lock_free);

void WaitWhileWordIs(const std::atomic<int32_t>& word, int32_t expected, uint32_t ms) {
  TerminationPoint();
  auto* address = const_cast<std::atomic<int32_t>*>(&word);
  WaitOnAddress(address, &expected, sizeof(expected), ms);
  TerminationPoint();
}

void WakeWordWaiters(const std::atomic<int32_t>& word) {
  WakeByAddressAll(const_cast<std::atomic<int32_t>*>(&word));
}

uint32_t TickCount() {
  return static_cast<uint32_t>(MonotonicMilliseconds()) +
         tickOffset.load(std::memory_order_relaxed);
}

void SetTickOffsetForTesting(uint32_t offset) {
  tickOffset.store(offset, std::memory_order_relaxed);
}

LocalTime CurrentLocalTime() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  return LocalTime{now.wYear,   now.wMonth,  now.wDay,         now.wHour,
                   now.wMinute, now.wSecond, now.wMilliseconds};
}

}  // namespace zortcp::platform
