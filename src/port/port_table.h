// SPDX-License-Identifier: MIT
// The port table as the host's calls see it: the handle test, a call's stay
// inside an open port, and the library's load and unload.
#pragma once

#include <cstdint>

#include "core/control_block.h"

namespace zortcp {

// Call numbers of the per-port calls, for the handle test's numbering.
enum class CallNumber : int32_t {
  kOpenPort = 1,
  kClosePort = 2,
  kWritePort = 3,
  kAnyToRead = 4,
  kReadPort = 5,
  kChangeSignal = 6,
  kGetSignal = 7,
  kGetConfig = 8,
  kGetStatistics = 9,
};

// The handle test: the block of an open port, or nullptr with the failure
// recorded and *result set to -1 (invalid handle) or -2 (block not in use).
// A port that is still being opened, or whose close has begun, is not in use.
PortControlBlock* TestHandle(int32_t handle, CallNumber call, int32_t* result);

// Records the handle failure of a port that is not in use; returns -2.
int32_t NotInUse(CallNumber call);

// A host call's stay inside an open port, from its handle test to its
// return. The call is counted before the port's life is read, and the close
// marks the port closing before it reads the count, so either the call
// finds the port closing or the close waits for the call to leave. A call
// that finds the port not open leaves before it records its failure, so
// that calls made over and over cannot keep a close waiting.
class PortCall {
 public:
  PortCall(int32_t handle, CallNumber call) {
    if (handle >= 0 && handle < kPortCount) {
      PortControlBlock& entered = PortTable()[static_cast<size_t>(handle)];
      entered.callsInside.fetch_add(1);
      if (entered.life.load() == PortLife::kOpen) {
        block_ = TestHandle(handle, call, &result_);
        if (block_ == nullptr) entered.callsInside.fetch_sub(1);
        return;
      }
      entered.callsInside.fetch_sub(1);
    }
    // Records the failure; a port that has opened since counts as found closed.
    if (TestHandle(handle, call, &result_) != nullptr) result_ = NotInUse(call);
  }
  ~PortCall() {
    if (block_ != nullptr) block_->callsInside.fetch_sub(1);
  }
  PortCall(const PortCall&) = delete;
  PortCall& operator=(const PortCall&) = delete;

  // The open port's block, or nullptr when the handle test failed.
  PortControlBlock* block() const { return block_; }
  // The handle test's result: 0, -1 or -2.
  int32_t result() const { return result_; }

 private:
  PortControlBlock* block_ = nullptr;
  int32_t result_ = 0;
};

// Load and unload, as the shared library's constructor and destructor do
// them; tests call them to start from a freshly loaded library. Load returns
// 0 when the library is already initialised, else 1; unload returns 1.
int32_t LibraryLoad();
int32_t LibraryUnload();

}  // namespace zortcp
