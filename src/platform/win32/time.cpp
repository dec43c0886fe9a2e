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
#include <cstddef>
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

// Waits on a word are kept in a small table of slim reader/writer locks and
// condition variables (both part of Windows since Vista; WaitOnAddress
// would need Windows 8), chosen by the word's address. A waiter looks at the
// word under its slot's lock and the waker takes that lock before it wakes,
// so a change made before the wake-up is either seen by the waiter or ends
// its sleep: no wake-up is lost. Words that share a slot only wake each
// other for nothing, which the callers allow for.
namespace {

struct WordWaitSlot {
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
};

constexpr size_t kWordWaitSlots = 64;
WordWaitSlot wordWaitSlots[kWordWaitSlots];

WordWaitSlot& SlotOf(const std::atomic<int32_t>& word) {
  const auto address = reinterpret_cast<uintptr_t>(&word);
  return wordWaitSlots[(address / sizeof(int32_t)) % kWordWaitSlots];
}

}  // namespace

void WaitWhileWordIs(const std::atomic<int32_t>& word, int32_t expected, uint32_t ms) {
  TerminationPoint();
  WordWaitSlot& slot = SlotOf(word);
  AcquireSRWLockExclusive(&slot.lock);
  if (word.load() == expected) SleepConditionVariableSRW(&slot.changed, &slot.lock, ms, 0);
  ReleaseSRWLockExclusive(&slot.lock);
  TerminationPoint();
}

void WakeWordWaiters(const std::atomic<int32_t>& word) {
  WordWaitSlot& slot = SlotOf(word);
  AcquireSRWLockExclusive(&slot.lock);
  ReleaseSRWLockExclusive(&slot.lock);
  WakeAllConditionVariable(&slot.changed);
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
