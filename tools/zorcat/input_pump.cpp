// SPDX-License-Identifier: MIT
#include "zorcat/input_pump.h"

#include <algorithm>
#include <vector>

#include "zorcat/stop_signals.h"
#include "zortcp.h"

namespace zorcat {
namespace {

// The transmit monitor gathers at most this much into one chunk, so a
// dropped chunk took at most this many of the outstanding bytes.
constexpr uint64_t kChunkSize = 4096;
constexpr size_t kReadSize = 65536;
// Without an event for this long while bytes are outstanding, the pump
// wakes the transmit monitor; the pause doubles while nothing moves (a peer
// that stopped reading), up to the longest.
constexpr std::chrono::milliseconds kFirstKickPause{50};
constexpr std::chrono::milliseconds kLongestKickPause{1000};

}  // namespace

void TxCredit::Queued(uint64_t bytes) {
  std::lock_guard lock(mutex_);
  queued_ += bytes;
}

void TxCredit::AccountFailures() {
  // A failed chunk is not reported with its size; it held whatever was
  // outstanding, up to one chunk.
  const uint32_t failures = traffic_.sendFailures.load();
  for (; failuresSeen_ != failures; ++failuresSeen_) {
    const uint64_t settled = traffic_.transmitted.load() + dropped_;
    if (queued_ > settled) dropped_ += std::min(kChunkSize, queued_ - settled);
  }
}

uint64_t TxCredit::Outstanding() {
  std::lock_guard lock(mutex_);
  AccountFailures();
  const uint64_t settled = traffic_.transmitted.load() + dropped_;
  return queued_ > settled ? queued_ - settled : 0;
}

uint64_t TxCredit::Room() {
  const uint64_t outstanding = Outstanding();
  return outstanding < ringSize_ ? ringSize_ - outstanding : 0;
}

uint64_t TxCredit::Dropped() {
  std::lock_guard lock(mutex_);
  AccountFailures();
  return dropped_;
}

InputPump::InputPump(int32_t handle, PortTraffic& traffic, TxCredit& credit, bool crlf)
    : handle_(handle),
      traffic_(traffic),
      credit_(credit),
      crlf_(crlf),
      quietBeforeKick_(kFirstKickPause) {}

InputPump::~InputPump() { Stop(); }

void InputPump::Start() {
  StopSignals::Deferred pumpWithoutStopSignals;
  thread_ = std::thread([this] { Run(); });
}

void InputPump::Stop() {
  stop_.store(true);
  input_.Interrupt();
  EventFeed::Instance().Nudge();
  if (thread_.joinable()) thread_.join();
}

void InputPump::Run() {
  std::vector<char> buffer(kReadSize);
  std::vector<char> expanded;
  while (WaitFor(&InputPump::HasRoom) && WaitForInput()) {
    // With --crlf every byte read may become two.
    const uint64_t room = crlf_ ? credit_.Room() / 2 : credit_.Room();
    const size_t want = static_cast<size_t>(std::min<uint64_t>(room, buffer.size()));
    long got = input_.Read(buffer.data(), want);
    if (got == 0) {
      inputEnded_.store(true, std::memory_order_release);
      Drain();
      return;
    }
    if (got == StandardInput::kReadAgain) continue;
    if (got < 0) {
      Fail("cannot read standard input: " + input_.failure());
      return;
    }
    // Bytes queued without a connection would wait (client) or be dropped
    // (server), so they wait here for one.
    if (!WaitFor(&InputPump::IsConnected)) return;
    const char* bytes = buffer.data();
    if (crlf_) {
      AddCarriageReturns(buffer, static_cast<size_t>(got), expanded);
      bytes = expanded.data();
      got = static_cast<long>(expanded.size());
    }
    credit_.Queued(static_cast<uint64_t>(got));
    ZorWritePort(handle_, bytes, static_cast<int32_t>(got));
  }
}

void InputPump::Drain() { WaitFor(&InputPump::IsSettled); }

bool InputPump::WaitFor(bool (InputPump::*condition)()) {
  EventFeed& feed = EventFeed::Instance();
  while (!stop_.load()) {
    const uint32_t seen = feed.Changes();
    if ((this->*condition)()) return true;
    feed.WaitForChange(seen, quietBeforeKick_);
    KickIfQuiet(feed.Changes() == seen);
  }
  return false;
}

bool InputPump::HasRoom() { return credit_.Room() >= (crlf_ ? 2u : 1u); }

void InputPump::AddCarriageReturns(const std::vector<char>& in, size_t count,
                                   std::vector<char>& out) {
  out.clear();
  for (size_t i = 0; i < count; ++i) {
    if (in[i] == '\n' && lastByte_ != '\r') out.push_back('\r');
    out.push_back(in[i]);
    lastByte_ = in[i];
  }
}

bool InputPump::IsConnected() { return traffic_.connected.load(); }

bool InputPump::IsSettled() { return credit_.Outstanding() == 0; }

void InputPump::KickIfQuiet(bool quiet) {
  if (!quiet) {
    quietBeforeKick_ = kFirstKickPause;
    return;
  }
  if (stop_.load() || credit_.Outstanding() == 0) return;
  static const char kNothing = 0;
  ZorWritePort(handle_, &kNothing, 0);
  quietBeforeKick_ = std::min(quietBeforeKick_ * 2, kLongestKickPause);
}

bool InputPump::WaitForInput() {
  if (stop_.load()) return false;
  switch (input_.WaitReadable()) {
    case StandardInput::Wait::kReadable:
      return !stop_.load();
    case StandardInput::Wait::kInterrupted:
      return false;
    case StandardInput::Wait::kFailed:
      break;
  }
  Fail("cannot wait for standard input: " + input_.failure());
  return false;
}

void InputPump::Fail(const std::string& reason) {
  failure_ = reason;
  failed_.store(true, std::memory_order_release);
}

}  // namespace zorcat
