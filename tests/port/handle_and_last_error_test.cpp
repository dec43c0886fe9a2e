// SPDX-License-Identifier: MIT
// The handle test of every per-port call, the last-error record as the host
// reads it, and the 33rd open.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/last_error.h"
#include "diagnostics/error_texts.h"
#include "platform/fault_injection.h"
#include "port/port_table.h"
#include "support/client_port.h"

namespace zortcp::testing {
namespace {

namespace faults = platform::faults;

struct PortCall {
  const char* name;
  int32_t number;  // the call number k of the handle test's numbering
  std::function<int32_t(int32_t handle)> call;
};

std::vector<PortCall> EveryPortCall() {
  static char buffer[300];
  static int32_t value;
  static ZorPortStatistics statistics;
  return {
      {"ZorClosePort", 2, [](int32_t h) { return ZorClosePort(h); }},
      {"ZorWritePort", 3, [](int32_t h) { return ZorWritePort(h, "x", 1); }},
      {"ZorAnyToRead", 4, [](int32_t h) { return ZorAnyToRead(h); }},
      {"ZorReadPort", 5, [](int32_t h) { return ZorReadPort(h, buffer, 10, &value); }},
      {"ZorChangeSignal", 6, [](int32_t h) { return ZorChangeSignal(h, 1, 1); }},
      {"ZorGetSignal", 7, [](int32_t h) { return ZorGetSignal(h, 1, &value); }},
      {"ZorGetConfig", 8, [](int32_t h) { return ZorGetConfig(h, 5, buffer, &value); }},
      {"ZorGetStatistics", 9, [](int32_t h) { return ZorGetStatistics(h, &statistics); }},
  };
}

void ExpectHandleFailure(const PortCall& call, int32_t handle, int32_t reason) {
  SCOPED_TRACE(std::string(call.name) + "(" + std::to_string(handle) + ")");
  EXPECT_EQ(call.call(handle), -reason);
  const LastErrorView error = LastErrorNow();
  EXPECT_EQ(error.location, 100 * call.number + reason);
  EXPECT_EQ(error.code, 900 + 100 * call.number + reason);
  EXPECT_EQ(error.text,
            reason == 1 ? "Invalid port handle specified" : "Port handle specified is not in use");
}

using HandleTest = ClientPortTest;

TEST_F(HandleTest, EveryCallRejectsHandlesOutOfRange) {
  for (const PortCall& call : EveryPortCall()) {
    for (int32_t handle : {-1, 32, INT32_MAX, INT32_MIN}) ExpectHandleFailure(call, handle, 1);
  }
}

TEST_F(HandleTest, EveryCallRejectsHandlesThatAreNotOpenAndLeavesOutputs) {
  for (const PortCall& call : EveryPortCall()) {
    for (int32_t handle : {0, 31}) ExpectHandleFailure(call, handle, 2);
  }
  int32_t count = 77;
  int32_t signal = 77;
  char output[8] = "keep";
  int32_t length = 77;
  EXPECT_EQ(ZorReadPort(3, output, 8, &count), -2);
  EXPECT_EQ(ZorGetSignal(3, 1, &signal), -2);
  EXPECT_EQ(ZorGetConfig(3, 3, output, &length), -2);
  EXPECT_EQ(count, 77);
  EXPECT_EQ(signal, 77);
  EXPECT_EQ(length, 77);
  EXPECT_STREQ(output, "keep");
}

TEST_F(HandleTest, ClosedHandleIsNotInUseAndClosingTwiceFails) {
  const int32_t handle = OpenClient();
  ASSERT_EQ(handle, 0);
  EXPECT_EQ(ZorClosePort(handle), 0);
  for (const PortCall& call : EveryPortCall()) ExpectHandleFailure(call, handle, 2);
}

TEST_F(HandleTest, LastErrorIsSuccessfulAfterLoadAndKeepsAFailureThroughSuccesses) {
  ResetLastErrorForTesting();  // as a process that has just loaded the library
  int32_t code = 55;
  int32_t location = 55;
  char text[288];
  EXPECT_EQ(ZorGetLastError(&code, &location, text), text);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(location, 0);
  EXPECT_STREQ(text, "Successful");

  EXPECT_EQ(ZorAnyToRead(40), -1);
  const int32_t handle = OpenClient();
  ASSERT_GE(handle, 0);
  ASSERT_TRUE(AcceptPeer().IsOpen());
  ASSERT_TRUE(WaitForEvent(ZOR_EVENT_CONNECTED));
  EXPECT_EQ(ZorAnyToRead(handle), 0);
  EXPECT_EQ(ZorWritePort(handle, "x", 1), 0);
  ASSERT_TRUE(WaitForEvent(ZOR_EVENT_TRANSMITTED));
  StatisticsOf(handle);

  const LastErrorView error = LastErrorNow();
  EXPECT_EQ(error.location, 401);
  EXPECT_EQ(error.code, 1301);
  EXPECT_EQ(error.text, "Invalid port handle specified");
  // Null outputs are not written; the result is the text pointer.
  EXPECT_EQ(ZorGetLastError(nullptr, nullptr, nullptr), nullptr);
}

TEST_F(HandleTest, ThirtyThirdOpenFindsNoFreeBlock) {
  UseService(UnusedLoopbackPort());
  UseRetryCount(-1);  // each monitor gives up after one refused attempt
  for (int32_t expected = 0; expected < kPortCount; ++expected) {
    int32_t handle = -1;
    ASSERT_EQ(ZorOpenPort("localhost", 0, 0, nullptr, &handle), 0);
    EXPECT_EQ(handle, expected);
  }
  // Quiet monitors: none of them writes the record after this point.
  ASSERT_TRUE(WaitUntil(
      [] {
        for (const auto& block : PortTable()) {
          if (block.rxMonitor.running.load() != 0) return false;
        }
        return true;
      },
      kWait));

  int32_t handle = 77;
  EXPECT_EQ(ZorOpenPort("localhost", 0, 0, nullptr, &handle), -1);
  EXPECT_EQ(handle, 0);
  const LastErrorView error = LastErrorNow();
  EXPECT_EQ(error.location, 101);
  EXPECT_EQ(error.code, 1001);
  EXPECT_EQ(error.text, "No free control blocks available");
  EXPECT_EQ(ZorOpenPort("localhost", 0, 0, nullptr, nullptr), -1);

  // The first free block is taken next.
  ASSERT_EQ(ZorClosePort(7), 0);
  ASSERT_EQ(ZorOpenPort("localhost", 0, 0, nullptr, &handle), 0);
  EXPECT_EQ(handle, 7);
}

TEST_F(HandleTest, FailureTextIsCutTo287Characters) {
  faults::Inject(faults::Operation::kOpenSocket, {.error = 10022});
  int32_t handle = 77;
  EXPECT_EQ(ZorOpenPort("localhost", 0, 0, nullptr, &handle), -2);
  const std::string full = SocketErrorText(10022);
  ASSERT_EQ(full.size(), 384u);
  const LastErrorView error = LastErrorNow();
  EXPECT_EQ(error.location, 9);
  EXPECT_EQ(error.code, 10022);
  EXPECT_EQ(error.text, full.substr(0, 287));
}

// Writers on several threads; every reading must show the numbers and the
// text of one and the same failure.
TEST_F(HandleTest, ConcurrentFailuresNeverMixInTheRecord) {
  constexpr int32_t kWriters = 4;
  constexpr size_t kReadings = 20000;
  auto textOf = [](int32_t writer) {
    return "failure of writer " +
           std::string(static_cast<size_t>(20 + 60 * writer), static_cast<char>('a' + writer));
  };
  ResetLastErrorForTesting();
  std::atomic<bool> done{false};
  std::vector<std::thread> writers;
  for (int32_t writer = 0; writer < kWriters; ++writer) {
    writers.emplace_back([&, writer] {
      const std::string text = textOf(writer);
      while (!done.load()) StoreFailure(5000 + writer, 7000 + writer, text);
    });
  }
  size_t mixed = 0;
  for (size_t reading = 0; reading < kReadings; ++reading) {
    const LastErrorView error = LastErrorNow();
    if (error.code == 0) continue;  // before the first write
    const int32_t writer = error.location - 5000;
    if (writer < 0 || writer >= kWriters || error.code != 7000 + writer ||
        error.text != textOf(writer)) {
      ++mixed;
    }
  }
  done.store(true);
  for (auto& writer : writers) writer.join();
  EXPECT_EQ(mixed, 0u);
}

}  // namespace
}  // namespace zortcp::testing
