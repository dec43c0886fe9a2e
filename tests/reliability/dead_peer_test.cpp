// SPDX-License-Identifier: MIT
// Peers that go silent: a connection whose peer vanishes without a word
// (the loopback of a private network namespace taken down) and a listener
// that never answers a connect, with and without "Keep Alive" and
// "Connect Timeout".
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/client_port.h"
#include "support/private_network.h"
#include "support/server_port.h"

namespace zortcp::testing {
namespace {

using std::chrono::seconds;
using std::chrono::steady_clock;

constexpr int32_t kClientReceive = 1008;
constexpr int32_t kClientConnect = 1002;
constexpr int32_t kServerReceive = 2010;
constexpr int32_t kTimedOut = 10060;
// Keep Alive=1 gives up a silent peer about 2 s after its last answer; the
// receive monitor notices within the next second of silence.
constexpr milliseconds kGiveUpBound{3500};
constexpr milliseconds kUnnoticedFor{6000};

// A host that writes a few bytes every 20 ms, before, through and after
// the loss, until it goes out of scope.
class SteadyWriter {
 public:
  explicit SteadyWriter(int32_t handle)
      : thread_([this, handle] {
          while (!stop_.load()) {
            ZorWritePort(handle, "ping", 4);
            std::this_thread::sleep_for(milliseconds(20));
          }
        }) {}
  ~SteadyWriter() {
    stop_.store(true);
    thread_.join();
  }
  SteadyWriter(const SteadyWriter&) = delete;
  SteadyWriter& operator=(const SteadyWriter&) = delete;

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Every case runs in a network namespace of its own, entered before the
// library is loaded so that the ports' monitors live in it too.
class DeadPeerTest : public ServerPortTest {
 protected:
  void SetUp() override {
    std::string reason;
    if (!EnterPrivateNetwork(&reason)) {
      if (std::getenv(kRequireNamespaceVariable) != nullptr) FAIL() << reason;
      GTEST_SKIP() << reason;
    }
    ServerPortTest::SetUp();
  }

  // The defaults outlive the library's unload: the next case starts without.
  void TearDown() override {
    const uint32_t off = 0;
    ZorChangeDefault(ZOR_DEFAULT_KEEP_ALIVE, &off, sizeof(off));
    ZorChangeDefault(ZOR_DEFAULT_CONNECT_TIMEOUT, &off, sizeof(off));
    ServerPortTest::TearDown();
  }

  // Opens a client port at a listener of this namespace.
  int32_t OpenClient(const std::string& configLines, uint32_t flags = 0) {
    listener.emplace();
    UseService(listener->port());
    events.Register();
    int32_t handle = -1;
    const std::string config = ConfigFile("client.cfg", configLines);
    EXPECT_EQ(ZorOpenPort("127.0.0.1", 0, flags, config.c_str(), &handle), 0);
    return handle;
  }

  PeerConnection AcceptClient(size_t connectedEvents = 1) {
    std::optional<PeerConnection> peer = listener->Accept(kWait);
    EXPECT_TRUE(peer.has_value());
    EXPECT_TRUE(events.WaitForCount(ZOR_EVENT_CONNECTED, -1, connectedEvents, kWait));
    return peer ? std::move(*peer) : PeerConnection();
  }

  // Takes the loopback down and returns when.
  steady_clock::time_point PullTheCable() {
    const steady_clock::time_point when = steady_clock::now();
    EXPECT_TRUE(SetLoopbackUp(false));
    return when;
  }

  // The loss came as a failed receive with 10060 at the location, soon
  // enough after the cable was pulled: 5/2, 5/4, then 2/1, whatever the
  // host wrote meanwhile (its chunks sent, 4, apart), and never as a close
  // by the peer.
  void ExpectGivenUp(steady_clock::time_point pulled, int32_t location) {
    ASSERT_TRUE(events.WaitForCount(ZOR_EVENT_DISCONNECTED, -1, 1, kWait));
    std::vector<std::string> sequence;
    for (const std::string& event : events.Sequence()) {
      if (event != "4") sequence.push_back(event);
      if (event.starts_with("2/")) break;
    }
    EXPECT_EQ(sequence, (std::vector<std::string>{"1", "5/2", "5/4", "2/1"}));
    for (const RecordedEvent& event : events.Events()) {
      if (event.kind == ZOR_EVENT_DISCONNECTED) {
        EXPECT_LE(event.when - pulled, kGiveUpBound);
        break;
      }
    }
    ASSERT_TRUE(failures.WaitForNotes(1));
    EXPECT_EQ(failures.Notes()[0].location, location);
    EXPECT_EQ(failures.Notes()[0].code, kTimedOut);
  }

  bool LogContains(const std::string& text) {
    return CountLinesContaining(LogLines(directory.File("client.log")), text) != 0;
  }

  std::optional<LoopbackListener> listener;
};

// The host idle, writing, or writing on a port whose socket blocks (its
// receive monitor waits in its receive).
enum class HostDoes { kNothing, kWrite, kWriteOnABlockingPort };

class VanishingPeerTest : public DeadPeerTest, public ::testing::WithParamInterface<HostDoes> {};

TEST_P(VanishingPeerTest, KeepAliveClientGivesUpSilentPeerAndConnectsAgain) {
  const bool writing = GetParam() != HostDoes::kNothing;
  const int32_t handle = OpenClient(
      "Keep Alive=1\nDebug Level=1\nDebug Output File=" + directory.File("client.log") + "\n",
      GetParam() == HostDoes::kWriteOnABlockingPort ? ZOR_OPEN_BLOCKING : 0);
  ASSERT_GE(handle, 0);
  PeerConnection peer = AcceptClient();

  std::optional<SteadyWriter> writer;
  if (writing) {
    // The transmit monitor is given every chance to report a failure of its
    // own in the middle of the loss's report.
    failures.HoldAt([this](const RecordedEvent& event) {
      if (event.kind == ZOR_EVENT_ERROR && event.value == ZOR_ERROR_RECEIVE_FAILED) {
        events.WaitForCount(ZOR_EVENT_ERROR, ZOR_ERROR_SEND_FAILED, 1, milliseconds(200));
      }
    });
    writer.emplace(handle);
    ASSERT_TRUE(events.WaitForCount(ZOR_EVENT_TRANSMITTED, -1, 1, kWait));
  }
  ExpectGivenUp(PullTheCable(), kClientReceive);
  writer.reset();

  ASSERT_TRUE(SetLoopbackUp(true));
  EXPECT_TRUE(AcceptClient(2).IsOpen());
  // The log is made once the open has started the monitors, so the first
  // connection's line may come too early for it; the second one's does not.
  EXPECT_TRUE(WaitUntil([&] { return LogContains("Port: 1, Keep Alive: 1 s"); }, kWait));
}

INSTANTIATE_TEST_SUITE_P(IdleOrWriting, VanishingPeerTest,
                         ::testing::Values(HostDoes::kNothing, HostDoes::kWrite,
                                           HostDoes::kWriteOnABlockingPort),
                         [](const auto& instance) {
                           switch (instance.param) {
                             case HostDoes::kNothing:
                               return "Idle";
                             case HostDoes::kWrite:
                               return "Writing";
                             default:
                               return "WritingBlocking";
                           }
                         });

TEST_F(DeadPeerTest, KeepAliveServerGivesUpSilentPeerAndServesTheNext) {
  const uint32_t keepAlive = 1;
  ZorChangeDefault(ZOR_DEFAULT_KEEP_ALIVE, &keepAlive, sizeof(keepAlive));
  int32_t handle = -1;
  uint16_t port = 0;
  PeerConnection peer;
  ASSERT_NO_FATAL_FAILURE(OpenServerWithPeer(nullptr, &handle, &port, &peer));

  ExpectGivenUp(PullTheCable(), kServerReceive);

  ASSERT_TRUE(SetLoopbackUp(true));
  PeerConnection next = ConnectToServer(port);
  ASSERT_TRUE(next.IsOpen());
  WaitForConnected(2);
}

TEST_F(DeadPeerTest, WithoutKeepAliveSilentPeerGoesUnnoticed) {
  const int32_t handle = OpenClient("Debug Level=0\n");
  ASSERT_GE(handle, 0);
  PeerConnection peer = AcceptClient();
  PullTheCable();
  ASSERT_EQ(ZorWritePort(handle, "ping", 4), 0);
  EXPECT_FALSE(events.WaitFor([](const auto& seen) { return seen.size() > 2; }, kUnnoticedFor))
      << "events after the loss";
  EXPECT_EQ(events.Sequence(), (std::vector<std::string>{"1", "4"}));
}

// A listener whose backlog is full drops further connection requests, as a
// device that does not answer would.
class SilentListenerTest : public DeadPeerTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SilentListenerTest, ConnectTimeoutEndsEachAttemptAndCountsTowardTheRetryLimit) {
  const bool fromDefault = GetParam();
  listener.emplace(0);
  PeerConnection filler = ConnectLoopback(listener->port());
  ASSERT_TRUE(filler.IsOpen());
  UseService(listener->port());
  std::string lines =
      "Connect Retry Count=3\nDebug Level=1\nDebug Output File=" + directory.File("client.log") +
      "\n";
  if (fromDefault) {
    const uint32_t timeoutMs = 300;
    ZorChangeDefault(ZOR_DEFAULT_CONNECT_TIMEOUT, &timeoutMs, sizeof(timeoutMs));
  } else {
    lines += "Connect Timeout=300\n";
  }
  events.Register();
  int32_t handle = -1;
  const std::string config = ConfigFile("client.cfg", lines);
  ASSERT_EQ(ZorOpenPort("127.0.0.1", 0, 0, config.c_str(), &handle), 0);

  ASSERT_TRUE(events.WaitForCount(ZOR_EVENT_ERROR, ZOR_ERROR_RETRY_LIMIT, 1, kWait));
  EXPECT_EQ(events.Sequence(),
            (std::vector<std::string>{"5/1", "5/4", "5/1", "5/4", "5/1", "5/4", "5/5"}));
  std::vector<RecordedEvent> attempts;
  for (const RecordedEvent& event : events.Events()) {
    if (event.kind == ZOR_EVENT_ERROR && event.value == ZOR_ERROR_CONNECT_FAILED)
      attempts.push_back(event);
  }
  ASSERT_EQ(attempts.size(), 3u);
  for (size_t i = 1; i < attempts.size(); ++i) {
    // The time-out, then the 250 ms pause: far from the system's own minutes.
    EXPECT_GE(MillisecondsBetween(attempts[i - 1], attempts[i]), 540);
    EXPECT_LE(MillisecondsBetween(attempts[i - 1], attempts[i]), 1500);
  }
  ASSERT_TRUE(failures.WaitForNotes(3));
  for (const LastErrorView& note : failures.Notes()) {
    EXPECT_EQ(note.location, kClientConnect);
    EXPECT_EQ(note.code, kTimedOut);
  }
  EXPECT_EQ(StatisticsOf(handle).connectErrors, 3u);
  EXPECT_TRUE(LogContains("RxMonitorClient() - Port: 1, Connect Timeout: 300 ms"));
}

INSTANTIATE_TEST_SUITE_P(KeywordOrDefault, SilentListenerTest, ::testing::Bool(),
                         [](const auto& instance) {
                           return instance.param ? "Default" : "Keyword";
                         });

}  // namespace
}  // namespace zortcp::testing
