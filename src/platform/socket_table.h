// SPDX-License-Identifier: MIT
// The parts of the socket table that do not depend on the system: handles
// given out and looked up, the count of blocked waits and the checks every
// socket call begins with. Each system's socket registry keeps one
// SocketTable of its own entries, each with at least the atomic flags
// closed and connected.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "platform/fault_injection.h"
#include "platform/platform.h"
#include "platform/socket_errors.h"

namespace zortcp::platform {

inline constexpr int kNoTimeout = -1;  // a wait that only readiness or the close ends

// True, with the injected number in the last socket error, when fault
// injection makes this call fail.
bool InjectedSocketFailure(faults::Operation operation, Socket socket);

template <typename Entry>
class SocketTable {
 public:
  using EntryRef = std::shared_ptr<Entry>;

  // Gives the entry a new handle. kNoSocket with the last socket error set
  // when no handle is left or memory runs out; the entry, and what it owns,
  // is then let go.
  Socket Add(EntryRef entry) {
    std::lock_guard lock(mutex_);
    const Socket handle = NextHandle();
    if (handle == kNoSocket) {
      SetLastSocketError(kErrorNoMoreHandles);
      return kNoSocket;
    }
    try {
      sockets_.emplace(handle, std::move(entry));
    } catch (...) {
      SetLastSocketError(kErrorNoBuffers);
      return kNoSocket;
    }
    return handle;
  }

  // The entry of an open socket; null with the last socket error 10038 when
  // the handle is closed or was never handed out.
  EntryRef Find(Socket socket) {
    {
      std::lock_guard lock(mutex_);
      auto found = sockets_.find(socket);
      if (found != sockets_.end()) return found->second;
    }
    SetLastSocketError(kErrorNotSocket);
    return nullptr;
  }

  // How a socket call begins: the entry of the socket it works on, or null
  // with the last socket error set when fault injection fails the call or
  // the handle is not open.
  EntryRef Enter(faults::Operation operation, Socket socket) {
    if (InjectedSocketFailure(operation, socket)) return nullptr;
    return Find(socket);
  }

  // Takes the entry out of the table; null (and 10038) when it is not there.
  EntryRef Remove(Socket socket) {
    EntryRef entry;
    {
      std::lock_guard lock(mutex_);
      auto found = sockets_.find(socket);
      if (found != sockets_.end()) {
        entry = std::move(found->second);
        sockets_.erase(found);
      }
    }
    if (entry == nullptr) SetLastSocketError(kErrorNotSocket);
    return entry;
  }

  // Gives the table's own memory back once no socket is open.
  void ReleaseIdleMemory() {
    std::lock_guard lock(mutex_);
    if (sockets_.empty()) std::unordered_map<Socket, EntryRef>().swap(sockets_);
  }

  // Held across a fork, so that the child finds the table in one piece.
  void Lock() { mutex_.lock(); }
  void Unlock() { mutex_.unlock(); }

  // Hands every entry to forget and empties the table, without the lock:
  // for a child after a fork, where only the calling thread exists.
  template <typename Forget>
  void ForgetAllUnlocked(Forget forget) {
    for (auto& [handle, entry] : sockets_) forget(*entry);
    sockets_.clear();
  }

 private:
  // Handles count up from 1 and are never reused; 2^31 sockets is more than
  // a process can open in any realistic life.
  Socket NextHandle() {
    if (lastHandle_ == std::numeric_limits<Socket>::max()) return kNoSocket;
    return ++lastHandle_;
  }

  std::mutex mutex_;
  std::unordered_map<Socket, EntryRef> sockets_;  // guarded by mutex_
  Socket lastHandle_ = 0;                         // guarded by mutex_
};

// A new entry that owns the system parts it is made of, with connected
// set for an accepted connection; null with 10055 when memory runs out,
// the parts then being the caller's to close.
template <typename Entry, typename... Parts>
std::shared_ptr<Entry> MakeSocketEntry(bool connected, Parts... parts) {
  std::shared_ptr<Entry> entry;
  try {
    entry = std::make_shared<Entry>(parts...);
  } catch (...) {
    SetLastSocketError(kErrorNoBuffers);
    return nullptr;
  }
  entry->connected.store(connected, std::memory_order_relaxed);
  return entry;
}

// Whole milliseconds left until the deadline, rounded up; 0 once it has
// passed.
int32_t RemainingMs(std::chrono::steady_clock::time_point deadline);

// How a call that writes its answer through a pointer goes on once it has
// the socket's entry: null with 10014 when there is nowhere to write.
template <typename EntryRef>
EntryRef RequireAnswer(EntryRef entry, const void* answer) {
  if (entry != nullptr && answer == nullptr) {
    SetLastSocketError(kErrorFault);
    return nullptr;
  }
  return entry;
}

// True, with 10004 set, when the socket has been closed; a terminated
// library thread leaves with ThreadTerminated.
template <typename Entry>
bool WaitCancelled(const Entry& entry) {
  TerminationPoint();
  if (!entry.closed.load(std::memory_order_acquire)) return false;
  SetLastSocketError(kErrorInterrupted);
  return true;
}

// Counts a wait in BlockedSocketWaits while it lives.
class CountedSocketWait {
 public:
  CountedSocketWait();
  ~CountedSocketWait();
  CountedSocketWait(const CountedSocketWait&) = delete;
  CountedSocketWait& operator=(const CountedSocketWait&) = delete;
};

}  // namespace zortcp::platform
