// SPDX-License-Identifier: MIT
// Standard input into a port, on a thread of its own.
//
// ZorWritePort blocks while the transmit ring is full, and a port must not
// be closed while a write is in it. So the pump never writes more than the
// ring has room for: it counts what it queued against what the port has
// reported as transmitted (kind 4) or dropped (5/3), and waits for room
// otherwise. That keeps every write short and lets Ctrl-C close the port
// even when the peer has stopped reading.
//
// The transmit monitor sleeps while its ring is empty and a write wakes it,
// but a write that meets the monitor just as it goes to sleep may leave it
// asleep with bytes in the ring. So while bytes are outstanding and nothing
// happens for a while, the pump writes zero bytes, which wakes the monitor
// and queues nothing. The pump stays until the input has ended and every
// queued byte is settled, so that it does this during the drain too.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "zorcat/event_feed.h"
#include "zorcat/host_system.h"

namespace zorcat {

// The bytes queued on a port that it has neither sent nor dropped yet.
class TxCredit {
 public:
  TxCredit(PortTraffic& traffic, uint32_t ringSize) : traffic_(traffic), ringSize_(ringSize) {}

  void Queued(uint64_t bytes);
  uint64_t Outstanding();
  uint64_t Room();
  uint64_t Dropped();

 private:
  void AccountFailures();

  PortTraffic& traffic_;
  const uint32_t ringSize_;
  std::mutex mutex_;
  uint64_t queued_ = 0;
  uint64_t dropped_ = 0;
  uint32_t failuresSeen_ = 0;
};

class InputPump {
 public:
  // crlf: an LF of the input that has no CR in front of it is sent as CR LF.
  InputPump(int32_t handle, PortTraffic& traffic, TxCredit& credit, bool crlf = false);
  ~InputPump();
  InputPump(const InputPump&) = delete;
  InputPump& operator=(const InputPump&) = delete;

  void Start();
  // Asks the thread to stop and waits for it; it is then out of the library.
  void Stop();

  // The input has ended and every byte of it is queued on the port.
  bool InputEnded() const { return inputEnded_.load(std::memory_order_acquire); }
  // Reading the input failed; the reason, else empty. Valid once Failed().
  bool Failed() const { return failed_.load(std::memory_order_acquire); }
  const std::string& Failure() const { return failure_; }

 private:
  void Run();
  void Drain();
  bool WaitFor(bool (InputPump::*condition)());
  bool HasRoom();
  bool IsConnected();
  bool IsSettled();
  bool WaitForInput();
  void KickIfQuiet(bool quiet);
  void Fail(const std::string& reason);
  // Copies count bytes of in to out with a CR put in front of each bare LF.
  void AddCarriageReturns(const std::vector<char>& in, size_t count, std::vector<char>& out);

  const int32_t handle_;
  PortTraffic& traffic_;
  TxCredit& credit_;
  StandardInput input_;
  const bool crlf_;
  char lastByte_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> inputEnded_{false};
  std::atomic<bool> failed_{false};
  std::string failure_;
  std::chrono::milliseconds quietBeforeKick_;
  std::thread thread_;
};

}  // namespace zorcat
