// SPDX-License-Identifier: MIT
#include "port/port_table.h"

#include <memory>
#include <type_traits>

#include "core/last_error.h"
#include "diagnostics/debug_log.h"
#include "port/sequences.h"

namespace zortcp {
namespace {

constexpr const char* kInvalidHandleText = "Invalid port handle specified";
constexpr const char* kNotInUseText = "Port handle specified is not in use";

constexpr int32_t kInvalidHandle = 1;
constexpr int32_t kNotInUse = 2;

// Handle failures of call k record location 100k + r and number 900 + 100k + r.
void RecordHandleFailure(CallNumber call, int32_t reason, const char* text) {
  const int32_t location = 100 * static_cast<int32_t>(call) + reason;
  StoreFailure(location, 900 + location, text);
}

// A fresh block: every number zero, every text empty, no socket.
void RenewBlock(PortControlBlock& block, int32_t index) {
  std::destroy_at(&block);
  std::construct_at(&block);
  block.portNumber = index + 1;
}

// In a child process: the parent's ports stay the parent's. Their monitors
// do not exist here and their sockets are already gone from the socket
// table, so every block starts afresh: a call on an inherited handle fails
// as on a closed port, the child's exit touches nothing of the parent's,
// and the child can open ports of its own.
void ForgetInheritedPorts() {
  ReleaseLastErrorAfterFork();
  for (int32_t index = 0; index < kPortCount; ++index) {
    PortControlBlock& block = PortTable()[static_cast<size_t>(index)];
    ForgetInheritedLog(block);
    RenewBlock(block, index);
  }
}

}  // namespace

PortControlBlock* TestHandle(int32_t handle, CallNumber call, int32_t* result) {
  if (handle < 0 || handle >= kPortCount) {
    RecordHandleFailure(call, kInvalidHandle, kInvalidHandleText);
    *result = -1;
    return nullptr;
  }
  PortControlBlock& block = PortTable()[static_cast<size_t>(handle)];
  if (block.inUse.load(std::memory_order_acquire) == 0 || block.life.load() != PortLife::kOpen) {
    *result = NotInUse(call);
    return nullptr;
  }
  return &block;
}

int32_t NotInUse(CallNumber call) {
  RecordHandleFailure(call, kNotInUse, kNotInUseText);
  return -2;
}

int32_t LibraryLoad() {
  if (Library().libraryInitialised.load() != 0) return 0;
  for (int32_t index = 0; index < kPortCount; ++index) {
    // A fresh block: every number zero, every text empty, no socket.
    PortControlBlock& block = PortTable()[static_cast<size_t>(index)];
    // A log that an earlier unload left open (a process that loads the
    // library again) is closed rather than lost.
    if (std::FILE* log = block.log.file.exchange(nullptr)) std::fclose(log);
    RenewBlock(block, index);
  }
  Library().pendingEventHandler = nullptr;
  Library().pendingEventUserData = 0;
  platform::WatchProcessLife(
      {HoldLastErrorForFork, ReleaseLastErrorAfterFork, ForgetInheritedPorts});
  Library().libraryInitialised.store(1);
  return 1;
}

int32_t LibraryUnload() {
  if (Library().libraryInitialised.load() == 0) return 1;
  // Every port still open is asked to stop before any is waited for, so
  // that the unload takes about as long as one close, and the blocks stay
  // claimed. Their logs are closed once every monitor has ended, so that the
  // monitors' last lines reach them and no descriptor outlives a dlclose.
  const uint32_t begun = platform::TickCount();
  for (auto& block : PortTable()) {
    if (block.inUse.load() != 0) CloseBegin(block);
  }
  for (auto& block : PortTable()) {
    if (block.inUse.load() != 0) CloseFinish(block, begun);
  }
  for (auto& block : PortTable()) CloseDebugLog(block);
  Library().libraryInitialised.store(0);
  return 1;
}

}  // namespace zortcp
