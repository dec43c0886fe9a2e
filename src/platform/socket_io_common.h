// SPDX-License-Identifier: MIT
// The rules of receiving, sending and waiting for readiness that hold on
// every system.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "platform/platform.h"
#include "platform/socket_errors.h"

namespace zortcp::platform {

// A wait for a socket whose connect has not succeeded looks again after at
// most this long: nothing on the socket tells when the connect succeeds.
inline constexpr int32_t kUnconnectedTurnMs = 1;

// The time-out of one turn of such a wait.
inline int32_t UnconnectedTurnMs(int32_t timeoutMs) {
  return timeoutMs < 0 ? kUnconnectedTurnMs : std::min(timeoutMs, kUnconnectedTurnMs);
}

// True for a buffer a receive or send can use; false with 10022 (a
// negative length) or 10014 (no buffer for a length) set.
inline bool ValidBuffer(const void* buffer, int32_t length) {
  if (length < 0) {
    SetLastSocketError(kErrorInvalid);
    return false;
  }
  if (buffer == nullptr && length > 0) {
    SetLastSocketError(kErrorFault);
    return false;
  }
  return true;
}

// What a receive that read an end of stream returns: 0 for the peer's own
// close. Our own shutdown makes recv see an end of stream too; that is a
// receive cut short (10004), not a peer that closed. Nor is a connection
// that failed under an earlier call (its kept failure).
template <typename Entry>
int32_t EndOfStream(const Entry& entry) {
  if (entry.closed.load(std::memory_order_acquire)) {
    SetLastSocketError(kErrorInterrupted);
    return kSocketError;
  }
  const int32_t failure = entry.failure.load(std::memory_order_acquire);
  if (failure == 0) return 0;
  SetLastSocketError(failure);
  return kSocketError;
}

}  // namespace zortcp::platform
