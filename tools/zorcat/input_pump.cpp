// SPDX-License-Identifier: MIT
#include "zorcat/input_pump.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
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

InputPump::InputPump(int32_t handle, PortTraffic& traffic, TxCredit& credit, int inputDescriptor,
                     bool crlf)
    : handle_(handle),
      traffic_(traffic),
      credit_(credit),
      input_(inputDescriptor),
      crlf_(crlf),
      quietBeforeKick_(kFirstKickPause) {
  if (::pipe2(stopPipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw std::system_error(errno, std::generic_category(), "pump pipe");
  }
}

InputPump::~InputPump() {
  Stop();
  ::close(stopPipe_[0]);
  ::close(stopPipe_[1]);
}

void InputPump::Start() {
  StopSignals::Deferred pumpWithoutStopSignals;
  thread_ = std::thread([this] { Run(); });
}

void InputPump::Stop() {
  stop_.store(true);
  const char byte = 1;
  [[maybe_unused]] ssize_t written = ::write(stopPipe_[1], &byte, 1);
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
    ssize_t got = ::read(input_, buffer.data(), want);
    if (got == 0) {
      inputEnded_.store(true, std::memory_order_release);
      Drain();
      return;
    }
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      Fail(std::string("cannot read standard input: ") + std::strerror(errno));
      return;
    }
    // Bytes queued without a connection would wait (client) or be dropped
    // (server), so they wait here for one.
    if (!WaitFor(&InputPump::IsConnected)) return;
    const char* bytes = buffer.data();
    if (crlf_) {
      AddCarriageReturns(buffer, static_cast<size_t>(got), expanded);
      bytes = expanded.data();
      got = static_cast<ssize_t>(expanded.size());
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
  pollfd waits[2] = {{input_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
  while (!stop_.load()) {
    const int ready = ::poll(waits, 2, -1);
    if (ready < 0 && errno != EINTR) {
      Fail(std::string("cannot wait for standard input: ") + std::strerror(errno));
      return false;
    }
    if (waits[1].revents != 0) return false;
    if (waits[0].revents != 0) return true;
  }
  return false;
}

void InputPump::Fail(const std::string& reason) {
  failure_ = reason;
  failed_.store(true, std::memory_order_release);
}

}  // namespace zorcat
