// SPDX-License-Identifier: MIT
// Received bytes out of a port's receive ring.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zorcat/hex_dump.h"

namespace zorcat {

// Takes up to count bytes that wait in the port's receive ring. The bytes of
// a kind-3 event are all in the ring when the event is raised, so taking
// exactly its count keeps one receive together.
std::vector<uint8_t> TakeReceived(int32_t handle, uint32_t count);

// Everything that waits in the port's receive ring.
std::vector<uint8_t> TakeAllReceived(int32_t handle);

// Received bytes to a file descriptor, raw or as a hexadecimal dump.
class ReceivedOutput {
 public:
  ReceivedOutput(int descriptor, bool hex) : descriptor_(descriptor), hex_(hex) {}

  // False once a write has failed (the reader has gone, for instance).
  bool Write(const std::vector<uint8_t>& bytes);
  const std::string& failure() const { return failure_; }

 private:
  bool WriteAll(const void* data, size_t size);

  const int descriptor_;
  const bool hex_;
  HexDump dump_;
  std::string failure_;
};

}  // namespace zorcat
