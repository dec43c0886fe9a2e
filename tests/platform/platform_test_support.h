// SPDX-License-Identifier: MIT
// Helpers shared by the platform tests: loopback addresses, connected
// library sockets, library threads running a lambda, and bounded waits.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>

#include "platform/fault_injection.h"
#include "platform/platform.h"
#include "support/loopback_peer.h"
#include "support/wait_until.h"

namespace zortcp::testing {

namespace platform = zortcp::platform;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// Generous bounds: the machine is small and shared, and sanitizers slow it.
inline constexpr milliseconds kPrompt{2000};
inline constexpr milliseconds kStillBlocked{150};

inline platform::SocketAddress LoopbackAddress(uint16_t port) {
  platform::SocketAddress address;
  address.family = platform::kAddressFamilyInet;
  address.port = platform::HostToNetwork16(port);
  address.address = platform::HostToNetwork32(0x7F000001);
  return address;
}

// A library socket connected to a plain-socket peer.
struct ConnectedPair {
  platform::Socket socket = platform::kNoSocket;
  PeerConnection peer;

  ConnectedPair() = default;
  ConnectedPair(ConnectedPair&&) = default;
  ~ConnectedPair() {
    if (socket != platform::kNoSocket) platform::CloseSocket(socket);
  }
};

inline ConnectedPair Connect(LoopbackListener& listener) {
  ConnectedPair pair;
  pair.socket = platform::OpenSocket();
  EXPECT_NE(pair.socket, platform::kNoSocket);
  EXPECT_EQ(platform::Connect(pair.socket, LoopbackAddress(listener.port())), 0)
      << platform::LastSocketError();
  auto accepted = listener.Accept(kPrompt);
  EXPECT_TRUE(accepted.has_value());
  if (accepted) pair.peer = std::move(*accepted);
  return pair;
}

// Runs a call on a host thread; the test then checks whether and how it ends.
template <typename Call>
auto Launch(Call call) {
  return std::async(std::launch::async, std::move(call));
}

template <typename Future>
bool EndsWithin(Future& future, milliseconds bound) {
  return future.wait_for(bound) == std::future_status::ready;
}

// Waits until count socket calls are blocked in their waits, and library
// threads in their sleeps or suspensions: what a close, a resume or a
// termination does next then meets a call that is waiting, not one that is
// about to start.
inline bool SocketCallsBlocked(int32_t count = 1) {
  return WaitUntil([&] { return platform::BlockedSocketWaits() >= count; }, kPrompt);
}
inline bool LibraryThreadsWaiting(int32_t count = 1) {
  return WaitUntil([&] { return platform::WaitingLibraryThreads() >= count; }, kPrompt);
}

// A library thread that runs a lambda.
class LibraryThread {
 public:
  explicit LibraryThread(std::function<void()> body) : body_(std::move(body)) {
    handle_ = platform::CreateSuspendedThread(&LibraryThread::Run, this);
  }
  // A test that fails half-way must not leave a thread waiting for ever.
  ~LibraryThread() {
    Terminate();
    Close();
  }
  LibraryThread(const LibraryThread&) = delete;
  LibraryThread& operator=(const LibraryThread&) = delete;

  platform::ThreadHandle handle() const { return handle_; }
  void Resume() { platform::ResumeThread(handle_); }
  void Terminate() { platform::TerminateThread(handle_); }
  void Close() {
    platform::CloseThreadHandle(handle_);
    handle_ = nullptr;
  }

 private:
  static void Run(void* self) { static_cast<LibraryThread*>(self)->body_(); }

  std::function<void()> body_;
  platform::ThreadHandle handle_ = nullptr;
};

// Sets a flag when it is destroyed: proof that a terminated thread unwound.
class UnwindWitness {
 public:
  explicit UnwindWitness(std::atomic<bool>& flag) : flag_(flag) {}
  ~UnwindWitness() { flag_.store(true); }
  UnwindWitness(const UnwindWitness&) = delete;
  UnwindWitness& operator=(const UnwindWitness&) = delete;

 private:
  std::atomic<bool>& flag_;
};

// The platform tests call the socket layer without a port, so they start
// the network themselves (Winsock on Windows; nothing on Linux), once for
// the program.
class NetworkStarted : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_EQ(platform::StartNetwork(), 0); }
  void TearDown() override { platform::StopNetwork(); }
};
inline ::testing::Environment* const kNetworkStarted =
    ::testing::AddGlobalTestEnvironment(new NetworkStarted);

// Every test starts and ends with no fault armed.
class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::faults::ClearAll(); }
  void TearDown() override { platform::faults::ClearAll(); }
};

}  // namespace zortcp::testing
