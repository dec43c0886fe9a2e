// SPDX-License-Identifier: MIT
// Sockets against plain-socket peers on 127.0.0.1: data transfer, blocking
// and non-blocking modes, closing under blocked calls, handle safety.
#ifndef _WIN32
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/platform_test_support.h"
#ifdef _WIN32
#include "platform/win32/socket_registry.h"
#ifndef TCP_KEEPIDLE
#define TCP_KEEPIDLE 3
#endif
#else
#include "platform/posix/socket_registry.h"
#ifndef TCP_RTO_MAX_MS
#define TCP_RTO_MAX_MS 44
#endif
#endif

namespace zortcp::testing {
namespace {

constexpr int32_t kInterrupted = 10004;
constexpr int32_t kNotSocket = 10038;
constexpr int32_t kWouldBlock = 10035;
constexpr int32_t kConnectionReset = 10054;
constexpr int32_t kConnectionRefused = 10061;
constexpr int32_t kInvalid = 10022;

using Outcome = std::pair<int32_t, int32_t>;  // result, last socket error

Outcome Receive(platform::Socket socket) {
  uint8_t buffer[64];
  const int32_t result = platform::Receive(socket, buffer, sizeof(buffer));
  return {result, platform::LastSocketError()};
}

// A listening library socket on a port the system chooses.
platform::Socket OpenListener(uint16_t* port, int32_t backlog = 4) {
  const platform::Socket listener = platform::OpenSocket();
  EXPECT_EQ(platform::Bind(listener, LoopbackAddress(0)), 0);
  EXPECT_EQ(platform::Listen(listener, backlog), 0);
  platform::SocketAddress bound;
  EXPECT_EQ(platform::LocalAddress(listener, &bound), 0);
  *port = platform::NetworkToHost16(bound.port);
  return listener;
}

// An option of the system's socket under a handle, as the system reads it
// back; minus the error number where it refuses to.
int SystemOption(platform::Socket socket, int level, int option) {
  const platform::SocketEntryRef entry = platform::Sockets().Find(socket);
  if (entry == nullptr) return -platform::LastSocketError();
#ifdef _WIN32
  DWORD value = 0;
  int length = sizeof(value);
  if (getsockopt(entry->socket, level, option, reinterpret_cast<char*>(&value), &length) != 0) {
    return -WSAGetLastError();
  }
  return static_cast<int>(value);
#else
  int value = 0;
  socklen_t length = sizeof(value);
  if (getsockopt(entry->fd, level, option, &value, &length) != 0) return -errno;
  return value;
#endif
}

std::vector<uint8_t> ReceiveExactly(platform::Socket socket, size_t size) {
  std::vector<uint8_t> received(size);
  size_t got = 0;
  while (got < size) {
    const int32_t n =
        platform::Receive(socket, received.data() + got, static_cast<int32_t>(size - got));
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  received.resize(got);
  return received;
}

// Fills the listener's accept queue with plain connections until one of
// them stays unanswered, so that a further connect waits.
std::vector<PeerConnection> FillAcceptQueue(const LoopbackListener& listener) {
  std::vector<PeerConnection> queued;
  for (int attempt = 0; attempt < 16; ++attempt) {
    bool connected = false;
    queued.push_back(StartConnectLoopback(listener.port(), kStillBlocked * 2, &connected));
    if (!connected) return queued;
  }
  ADD_FAILURE() << "the accept queue never filled";
  return queued;
}

class SocketTest : public PlatformTest {
 protected:
  LoopbackListener listener_;
};

TEST_F(SocketTest, BlockingSendAndReceiveCarryEveryByteBothWays) {
  ConnectedPair pair = Connect(listener_);
  const auto outbound = RandomBytes(1 << 20, 7);
  auto peerReads =
      Launch([&] { return pair.peer.ReceiveExactly(outbound.size(), milliseconds(10000)); });
  EXPECT_EQ(platform::Send(pair.socket, outbound.data(), static_cast<int32_t>(outbound.size())),
            static_cast<int32_t>(outbound.size()));
  EXPECT_EQ(peerReads.get(), outbound);

  const auto inbound = RandomBytes(300000, 8);
  auto peerWrites = Launch([&] { return pair.peer.SendAll(inbound.data(), inbound.size()); });
  EXPECT_EQ(ReceiveExactly(pair.socket, inbound.size()), inbound);
  EXPECT_TRUE(peerWrites.get());
}

TEST_F(SocketTest, PendingBytesAndLocalAddressDescribeTheConnection) {
  ConnectedPair pair = Connect(listener_);
  uint32_t pending = 99;
  EXPECT_EQ(platform::PendingBytes(pair.socket, &pending), 0);
  EXPECT_EQ(pending, 0u);
  EXPECT_EQ(platform::PollReadable(pair.socket), 0);
  EXPECT_EQ(platform::PollWritable(pair.socket), 1);

  ASSERT_TRUE(pair.peer.SendAll("0123456789"));
  EXPECT_EQ(platform::WaitReadable(pair.socket, static_cast<int32_t>(kPrompt.count())), 1);
  EXPECT_EQ(platform::PollReadable(pair.socket), 1);
  EXPECT_EQ(platform::PendingBytes(pair.socket, &pending), 0);
  EXPECT_EQ(pending, 10u);

  platform::SocketAddress local;
  ASSERT_EQ(platform::LocalAddress(pair.socket, &local), 0);
  EXPECT_EQ(local.family, platform::kAddressFamilyInet);
  EXPECT_EQ(local.address, platform::HostToNetwork32(0x7F000001));
  EXPECT_EQ(platform::NetworkToHost16(local.port), pair.peer.RemotePort());
  EXPECT_EQ(platform::FormatDottedAddress(local.address), "127.0.0.1");
}

TEST_F(SocketTest, NonBlockingCallsFailWith10035WhenTheyWouldWait) {
  ConnectedPair pair = Connect(listener_);
  ASSERT_EQ(platform::SetNonBlocking(pair.socket, true), 0);
  EXPECT_EQ(Receive(pair.socket), Outcome(platform::kSocketError, kWouldBlock));
  // A receive that would wait is no failure of the connection: the peer's
  // close after it still reads as an end.
  pair.peer.Close();
  EXPECT_EQ(platform::WaitReadable(pair.socket, static_cast<int32_t>(kPrompt.count())), 1);
  EXPECT_EQ(Receive(pair.socket).first, 0);

  // A send takes what fits and says how much; once nothing more fits, a
  // send fails with 10035. The peer does not read.
  ConnectedPair full = Connect(listener_);
  ASSERT_EQ(platform::SetSendBufferSize(full.socket, 16384), 0);
  ASSERT_EQ(platform::SetNonBlocking(full.socket, true), 0);
  const std::vector<uint8_t> bulk(16 << 20, 0x5A);
  const auto bulkSize = static_cast<int32_t>(bulk.size());
  const int32_t taken = platform::Send(full.socket, bulk.data(), bulkSize);
  EXPECT_GT(taken, 0);
  EXPECT_LT(taken, bulkSize);
  int32_t result = 0;
  for (int attempt = 0; attempt < 100 && result != platform::kSocketError; ++attempt) {
    result = platform::Send(full.socket, bulk.data(), bulkSize);
  }
  EXPECT_EQ(result, platform::kSocketError);
  EXPECT_EQ(platform::LastSocketError(), kWouldBlock);

  uint16_t port = 0;
  const platform::Socket listener = OpenListener(&port);
  ASSERT_EQ(platform::SetNonBlocking(listener, true), 0);
  EXPECT_EQ(platform::PollReadable(listener), 0);
  EXPECT_EQ(platform::Accept(listener, nullptr), platform::kNoSocket);
  EXPECT_EQ(platform::LastSocketError(), kWouldBlock);

  PeerConnection client = ConnectLoopback(port);
  ASSERT_TRUE(client.IsOpen());
  EXPECT_EQ(platform::WaitReadable(listener, static_cast<int32_t>(kPrompt.count())), 1);
  uint32_t pending = 0;
  EXPECT_EQ(platform::PendingBytes(listener, &pending), platform::kSocketError);
  EXPECT_EQ(platform::LastSocketError(), kInvalid);
  platform::SocketAddress peer;
  const platform::Socket accepted = platform::Accept(listener, &peer);
  ASSERT_NE(accepted, platform::kNoSocket);
  EXPECT_EQ(platform::NetworkToHost16(peer.port), client.LocalPort());
  EXPECT_EQ(peer.address, platform::HostToNetwork32(0x7F000001));

  // The accepted socket starts blocking whatever the listener's mode.
  ASSERT_TRUE(client.SendAll("x"));
  EXPECT_EQ(Receive(accepted).first, 1);
  auto blocked = Launch([&] { return Receive(accepted); });
  ASSERT_TRUE(SocketCallsBlocked());
  ASSERT_TRUE(client.SendAll("yz"));
  ASSERT_TRUE(EndsWithin(blocked, kPrompt));
  EXPECT_EQ(blocked.get().first, 2);
  platform::CloseSocket(accepted);
  platform::CloseSocket(listener);
}

// Sends until one fails (the first may still be taken by the system) and
// returns its error number; 0 when three were taken.
int32_t SendUntilRefused(platform::Socket socket) {
  const uint8_t bytes[16] = {};
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (platform::Send(socket, bytes, sizeof(bytes)) == platform::kSocketError) {
      return platform::LastSocketError();
    }
  }
  return 0;
}

// A reset stays a failure for the receive even when a send met it first
// (the system tells only the first call); a peer's close followed by the
// reset of bytes sent after it still reads as the close.
TEST_F(SocketTest, PeerCloseReadsAsZeroAndPeerResetAs10054WithoutSigpipe) {
  ConnectedPair closed = Connect(listener_);
  closed.peer.Close();
  EXPECT_EQ(Receive(closed.socket).first, 0);
  EXPECT_EQ(SendUntilRefused(closed.socket), kConnectionReset);
  EXPECT_EQ(Receive(closed.socket).first, 0);

  ConnectedPair reset = Connect(listener_);
  reset.peer.Reset();
  EXPECT_EQ(platform::WaitReadable(reset.socket, static_cast<int32_t>(kPrompt.count())), 1);
  const uint8_t bytes[16] = {};
  // The first send may still be taken by the system; the reset shows
  // at the latest on the next one, and no signal ends the process.
  int32_t result = 0;
  for (int attempt = 0; attempt < 3 && result != platform::kSocketError; ++attempt) {
    result = platform::Send(reset.socket, bytes, sizeof(bytes));
  }
  EXPECT_EQ(result, platform::kSocketError);
  EXPECT_EQ(platform::LastSocketError(), kConnectionReset);
  EXPECT_EQ(platform::Send(reset.socket, bytes, sizeof(bytes)), platform::kSocketError);
  EXPECT_EQ(platform::LastSocketError(), kConnectionReset);
  EXPECT_EQ(Receive(reset.socket), Outcome(platform::kSocketError, kConnectionReset));
}

TEST_F(SocketTest, BindToAnAddressThatIsNotLocalFailsWith10049) {
  // The broadcast address is also what a dotted text that is no address reads as.
  for (const char* text : {"255.255.255.255", "300.1.1.1", "192.0.2.1"}) {
    const platform::Socket socket = platform::OpenSocket();
    platform::SocketAddress address = LoopbackAddress(0);
    address.address = platform::ParseDottedAddress(text);
    EXPECT_EQ(platform::Bind(socket, address), platform::kSocketError) << text;
    EXPECT_EQ(platform::LastSocketError(), 10049) << text;
    platform::CloseSocket(socket);
  }
}

TEST_F(SocketTest, AServerPortCanBeBoundAgainAtOnceButNotWhileSomeoneListens) {
  uint16_t port = 0;
  const platform::Socket listener = OpenListener(&port);
#ifdef _WIN32
  // Without exclusive use another program could take the port with
  // SO_REUSEADDR (Wine does not let it, so only the option shows).
  EXPECT_EQ(SystemOption(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE), 1);
#else
  EXPECT_EQ(SystemOption(listener, SOL_SOCKET, SO_REUSEADDR), 1);
#endif
  PeerConnection client = ConnectLoopback(port);
  ASSERT_TRUE(client.IsOpen());
  const platform::Socket served = platform::Accept(listener, nullptr);
  ASSERT_NE(served, platform::kNoSocket);

  const platform::Socket rival = platform::OpenSocket();
  EXPECT_EQ(platform::Bind(rival, LoopbackAddress(port)), platform::kSocketError);
  EXPECT_EQ(platform::LastSocketError(), 10048);
  platform::CloseSocket(rival);

  // A port that another program holds on every address: Windows refuses an
  // exclusive bind there with 10013 (so does Wine 8), a port in use all the
  // same.
  const PeerConnection holder = HoldPortOnEveryAddress();
  const platform::Socket refused = platform::OpenSocket();
  EXPECT_EQ(platform::Bind(refused, LoopbackAddress(holder.LocalPort())), platform::kSocketError);
  EXPECT_EQ(platform::LastSocketError(), 10048);
  platform::CloseSocket(refused);

  // Closing the served side first leaves its connection in TIME_WAIT here.
  platform::CloseSocket(served);
  ASSERT_TRUE(client.WaitForClose(kPrompt));
  client.Close();
  platform::CloseSocket(listener);
  const platform::Socket reopened = platform::OpenSocket();
  EXPECT_EQ(platform::Bind(reopened, LoopbackAddress(port)), 0) << platform::LastSocketError();
  EXPECT_EQ(platform::Listen(reopened, 1), 0);
  platform::CloseSocket(reopened);
}

// Only a connected socket takes data: a fresh one, or one whose connect was
// refused, is not writable (bytes wait for a connection), while both sides
// of a made connection are.
TEST_F(SocketTest, AnUnconnectedSocketIsReadableButNotWritableAndItsReceiveSays10057) {
  const platform::Socket socket = platform::OpenSocket();
  EXPECT_EQ(platform::PollReadable(socket), 1);
  EXPECT_EQ(platform::PollWritable(socket), 0);
  const auto start = Clock::now();
  EXPECT_EQ(platform::WaitWritable(socket, 1000), 0);
  EXPECT_LT(Clock::now() - start, milliseconds(100));
  EXPECT_EQ(Receive(socket), Outcome(platform::kSocketError, 10057));
  platform::CloseSocket(socket);

  uint16_t port = 0;
  const platform::Socket listener = OpenListener(&port);
  ConnectedPair pair = Connect(listener_);
  EXPECT_EQ(platform::PollWritable(pair.socket), 1);
  PeerConnection client = ConnectLoopback(port);
  ASSERT_TRUE(client.IsOpen());
  const platform::Socket served = platform::Accept(listener, nullptr);
  ASSERT_NE(served, platform::kNoSocket);
  EXPECT_EQ(platform::PollWritable(served), 1);
  platform::CloseSocket(served);
  platform::CloseSocket(listener);
}

TEST_F(SocketTest, RefusedConnectFailsWith10061AndLeavesTheSocketUnwritable) {
  const platform::Socket socket = platform::OpenSocket();
  EXPECT_EQ(platform::Connect(socket, LoopbackAddress(UnusedLoopbackPort())),
            platform::kSocketError);
  EXPECT_EQ(platform::LastSocketError(), kConnectionRefused);
  EXPECT_EQ(platform::PollWritable(socket), 0);
  platform::CloseSocket(socket);
}

TEST_F(SocketTest, CloseEndsABlockedReceiveWith10004AndLaterCallsFailWith10038) {
  ConnectedPair pair = Connect(listener_);
  auto blocked = Launch([&] { return Receive(pair.socket); });
  ASSERT_TRUE(SocketCallsBlocked());
  // A call that is still inside the socket (this reference stands for one)
  // keeps its descriptor, but not the peer from seeing the close at once.
  const platform::SocketEntryRef inside = platform::Sockets().Find(pair.socket);

  EXPECT_EQ(platform::CloseSocket(pair.socket), 0);
  ASSERT_TRUE(EndsWithin(blocked, kPrompt));
  EXPECT_EQ(blocked.get(), Outcome(platform::kSocketError, kInterrupted));
  EXPECT_TRUE(pair.peer.WaitForClose(kPrompt));

  uint8_t byte = 0;
  uint32_t pending = 0;
  platform::SocketAddress address;
  EXPECT_EQ(Receive(pair.socket), Outcome(platform::kSocketError, kNotSocket));
  EXPECT_EQ(platform::Send(pair.socket, &byte, 1), platform::kSocketError);
  EXPECT_EQ(platform::LastSocketError(), kNotSocket);
  EXPECT_EQ(platform::PollReadable(pair.socket), platform::kSocketError);
  EXPECT_EQ(platform::PendingBytes(pair.socket, &pending), platform::kSocketError);
  EXPECT_EQ(platform::LocalAddress(pair.socket, &address), platform::kSocketError);
  EXPECT_EQ(platform::LastSocketError(), kNotSocket);
  EXPECT_EQ(platform::CloseSocket(pair.socket), platform::kSocketError);
  EXPECT_EQ(platform::LastSocketError(), kNotSocket);
  EXPECT_EQ(platform::CloseSocket(platform::kNoSocket), platform::kSocketError);
  pair.socket = platform::kNoSocket;
}

TEST_F(SocketTest, CloseEndsABlockedAcceptWith10004) {
  uint16_t port = 0;
  const platform::Socket listener = OpenListener(&port);
  auto blocked = Launch([&] {
    const platform::Socket accepted = platform::Accept(listener, nullptr);
    return Outcome(accepted, platform::LastSocketError());
  });
  ASSERT_TRUE(SocketCallsBlocked());
  platform::CloseSocket(listener);
  ASSERT_TRUE(EndsWithin(blocked, kPrompt));
  EXPECT_EQ(blocked.get(), Outcome(platform::kNoSocket, kInterrupted));
}

// A connect that gets no answer waits until its time-out (10060) or a close
// (10004).
TEST_F(SocketTest, ABlockedConnectEndsWith10060AtItsTimeOutAnd10004OnClose) {
  LoopbackListener full(0);
  const auto queued = FillAcceptQueue(full);
  const platform::Socket unanswered = platform::OpenSocket();
  const auto start = Clock::now();
  EXPECT_EQ(platform::ConnectWithin(unanswered, LoopbackAddress(full.port()), 100),
            platform::kSocketError);
  EXPECT_EQ(platform::LastSocketError(), 10060);
  EXPECT_GE(Clock::now() - start, milliseconds(100));
  platform::CloseSocket(unanswered);

  const platform::Socket socket = platform::OpenSocket();
  auto blocked = Launch([&] {
    const int32_t result = platform::Connect(socket, LoopbackAddress(full.port()));
    return Outcome(result, platform::LastSocketError());
  });
  ASSERT_TRUE(SocketCallsBlocked());
  platform::CloseSocket(socket);
  ASSERT_TRUE(EndsWithin(blocked, kPrompt));
  EXPECT_EQ(blocked.get(), Outcome(platform::kSocketError, kInterrupted));
}

TEST_F(SocketTest, CloseEndsABlockedSendAndWait) {
  ConnectedPair pair = Connect(listener_);
  ASSERT_EQ(platform::SetSendBufferSize(pair.socket, 16384), 0);
  // More than the send buffer and the peer's receive buffer can hold,
  // with a peer that does not read.
  const std::vector<uint8_t> bulk(16 << 20, 0x5A);
  auto sending = Launch([&] {
    const int32_t result =
        platform::Send(pair.socket, bulk.data(), static_cast<int32_t>(bulk.size()));
    return Outcome(result, platform::LastSocketError());
  });
  auto waiting = Launch([&] {
    const int32_t result = platform::WaitReadable(pair.socket, -1);
    return Outcome(result, platform::LastSocketError());
  });
  ASSERT_TRUE(SocketCallsBlocked(2));
  platform::CloseSocket(pair.socket);
  ASSERT_TRUE(EndsWithin(sending, kPrompt));
  ASSERT_TRUE(EndsWithin(waiting, kPrompt));
  EXPECT_EQ(sending.get(), Outcome(platform::kSocketError, kInterrupted));
  EXPECT_EQ(waiting.get(), Outcome(platform::kSocketError, kInterrupted));
  pair.socket = platform::kNoSocket;
}

// Threads blocked on a socket where nothing happens sleep, however many
// wait on it: here a receive, a readiness wait and a send to a peer that
// does not read. Once the send has filled the buffers, a third of a second
// passes with hardly a wake-up (a look every millisecond would be hundreds).
TEST_F(SocketTest, WaitsOnAQuietSocketSleepUntilItsCloseWakesThem) {
  ConnectedPair pair = Connect(listener_);
  ASSERT_EQ(platform::SetSendBufferSize(pair.socket, 16384), 0);
  const std::vector<uint8_t> bulk(16 << 20, 0x5A);
  auto sending = Launch(
      [&] { return platform::Send(pair.socket, bulk.data(), static_cast<int32_t>(bulk.size())); });
  auto receiving = Launch([&] { return Receive(pair.socket); });
  auto waiting = Launch([&] { return platform::WaitReadable(pair.socket, -1); });
  ASSERT_TRUE(SocketCallsBlocked(3));
  const auto quietPeriod = [] {
    const uint32_t before = platform::faults::SocketWaitWakeUps();
    std::this_thread::sleep_for(milliseconds(333));
    return platform::faults::SocketWaitWakeUps() - before <= 3;
  };
  EXPECT_TRUE(WaitUntil(quietPeriod, milliseconds(5000)));
  platform::CloseSocket(pair.socket);
  ASSERT_TRUE(EndsWithin(sending, kPrompt));
  ASSERT_TRUE(EndsWithin(receiving, kPrompt));
  ASSERT_TRUE(EndsWithin(waiting, kPrompt));
  EXPECT_EQ(sending.get(), platform::kSocketError);
  EXPECT_EQ(receiving.get(), Outcome(platform::kSocketError, kInterrupted));
  EXPECT_EQ(waiting.get(), platform::kSocketError);
  pair.socket = platform::kNoSocket;
}

#ifndef _WIN32
// A close wakes every wait on the socket by itself, not through the
// shutdown of its connection: here the descriptor is a pipe's, which no
// shutdown reaches.
TEST_F(SocketTest, CloseWakesAWaitThatNoShutdownReaches) {
  int pipeEnds[2];
  ASSERT_EQ(pipe2(pipeEnds, O_NONBLOCK | O_CLOEXEC), 0);
  const platform::Socket socket = platform::posix::RegisterSocket(pipeEnds[0], true);
  ASSERT_NE(socket, platform::kNoSocket);
  auto waiting = Launch([&] {
    const int32_t result = platform::WaitReadable(socket, -1);
    return Outcome(result, platform::LastSocketError());
  });
  ASSERT_TRUE(SocketCallsBlocked());
  platform::CloseSocket(socket);
  const bool woken = EndsWithin(waiting, kPrompt);
  if (!woken) {
    EXPECT_EQ(write(pipeEnds[1], "x", 1), 1);  // so that the wait ends all the same
  }
  close(pipeEnds[1]);
  ASSERT_TRUE(woken);
  EXPECT_EQ(waiting.get(), Outcome(platform::kSocketError, kInterrupted));
}
#endif

TEST_F(SocketTest, AClosedHandleNeverReachesTheSocketThatReusesItsDescriptor) {
  ConnectedPair first = Connect(listener_);
  // A call still inside the first socket when it is closed.
  auto blocked = Launch([&] { return Receive(first.socket); });
  ASSERT_TRUE(SocketCallsBlocked());
  platform::CloseSocket(first.socket);
  ASSERT_TRUE(EndsWithin(blocked, kPrompt));

  // The system hands out the lowest free descriptor, so the next socket
  // very likely gets the first one's number.
  ConnectedPair second = Connect(listener_);
  ASSERT_NE(second.socket, first.socket);
  const uint8_t stale[] = {'o', 'l', 'd'};
  EXPECT_EQ(platform::Send(first.socket, stale, sizeof(stale)), platform::kSocketError);
  EXPECT_EQ(platform::LastSocketError(), kNotSocket);
  EXPECT_EQ(Receive(first.socket), Outcome(platform::kSocketError, kNotSocket));

  const uint8_t fresh[] = {'n', 'e', 'w'};
  EXPECT_EQ(platform::Send(second.socket, fresh, sizeof(fresh)), 3);
  EXPECT_EQ(second.peer.ReceiveExactly(3, kPrompt), std::vector<uint8_t>({'n', 'e', 'w'}));
  EXPECT_TRUE(second.peer.ReceiveSome(16, milliseconds(50)).empty());
  first.socket = platform::kNoSocket;
}

TEST_F(SocketTest, HandlesAreNeverHandedOutTwice) {
  std::set<platform::Socket> seen;
  for (int round = 0; round < 300; ++round) {
    const platform::Socket socket = platform::OpenSocket();
    ASSERT_NE(socket, platform::kNoSocket);
    EXPECT_TRUE(seen.insert(socket).second) << "handle " << socket << " came back";
    platform::CloseSocket(socket);
  }
}

// A time-out waits at least its time, measured with the clock the waits
// themselves use: what is left of it rounds up, never down to nothing.
TEST_F(SocketTest, ReadinessWaitEndsAtItsTimeOut) {
  ConnectedPair pair = Connect(listener_);
  for (const int32_t timeoutMs : {1, 100}) {
    const auto start = Clock::now();
    EXPECT_EQ(platform::WaitReadable(pair.socket, timeoutMs), 0);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, milliseconds(timeoutMs));
    EXPECT_LT(waited, kPrompt);
  }
  EXPECT_EQ(platform::WaitWritable(pair.socket, 100), 1);
}

// Keep-alive times reach the system in its own units: seconds in Linux's
// options, milliseconds in Windows' SIO_KEEPALIVE_VALS. Windows 10 1709 and
// later read the idle time back (TCP_KEEPIDLE); Wine 8 refuses with 10042,
// so there the times handed to the system are what is checked.
TEST_F(SocketTest, KeepAliveTimesReachTheSystemInItsUnits) {
  ConnectedPair pair = Connect(listener_);
  struct Case {
    uint32_t seconds;  // asked for
    int idleSeconds;   // in range
    int probeSeconds;  // between probes on Linux
  };
  for (const Case& step : {Case{0, 1, 1}, Case{127, 127, 1}, Case{128, 128, 2},
                           Case{7200, 7200, 57}, Case{9000, 7200, 57}}) {
    SCOPED_TRACE(step.seconds);
    ASSERT_EQ(platform::SetKeepAlive(pair.socket, step.seconds), 0);
#ifdef _WIN32
    const platform::faults::KeepAliveTimes given = platform::faults::LastKeepAliveTimes();
    EXPECT_EQ(given.idleMs, static_cast<uint32_t>(step.idleSeconds) * 1000);
    EXPECT_EQ(given.intervalMs, 1000u);
    const int idle = SystemOption(pair.socket, IPPROTO_TCP, TCP_KEEPIDLE);
    if (idle != -10042) {
      EXPECT_EQ(idle, step.idleSeconds);
    }
#else
    // The gap between window probes is bounded to half the time, from one
    // second to two minutes, by kernels that take the bound (6.15 on).
    const int probeGapMs = SystemOption(pair.socket, IPPROTO_TCP, TCP_RTO_MAX_MS);
    if (probeGapMs != -ENOPROTOOPT) {
      EXPECT_EQ(probeGapMs, std::clamp(step.idleSeconds * 500, 1000, 120000));
    }
    EXPECT_EQ(SystemOption(pair.socket, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(SystemOption(pair.socket, IPPROTO_TCP, TCP_KEEPIDLE), step.idleSeconds);
    EXPECT_EQ(SystemOption(pair.socket, IPPROTO_TCP, TCP_KEEPINTVL), step.probeSeconds);
    EXPECT_EQ(SystemOption(pair.socket, IPPROTO_TCP, TCP_KEEPCNT),
              step.idleSeconds / step.probeSeconds);
#endif
  }
}

TEST_F(SocketTest, DescriptorsAreCloseOnExecAndUnknownHandlesFail10038) {
  ConnectedPair pair = Connect(listener_);
  EXPECT_EQ(platform::PollReadable(987654), platform::kSocketError);
  EXPECT_EQ(platform::LastSocketError(), kNotSocket);
  EXPECT_EQ(platform::SetNonBlocking(platform::kNoSocket, true), platform::kSocketError);
  EXPECT_EQ(platform::LastSocketError(), kNotSocket);
#ifdef _WIN32
  // Inheritance is checked where it matters on Windows: a child process
  // started by the host (tests/lifecycle).
#else
  // No descriptor of the process other than the test's own may survive an
  // exec: every one the platform opened carries FD_CLOEXEC.
  const int highest = static_cast<int>(::sysconf(_SC_OPEN_MAX));
  for (int fd = 3; fd < std::min(highest, 4096); ++fd) {
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags < 0 || fd == static_cast<int>(pair.peer.fd())) continue;
    char path[64];
    std::snprintf(path, sizeof(path), "/proc/self/fd/%d", fd);
    char target[256] = {};
    if (::readlink(path, target, sizeof(target) - 1) < 0) continue;
    const std::string kind(target);
    if (kind.rfind("socket:", 0) == 0 || kind.find("eventfd") != std::string::npos) {
      EXPECT_TRUE(flags & FD_CLOEXEC) << "descriptor " << fd << " (" << kind << ")";
    }
  }
#endif
}

}  // namespace
}  // namespace zortcp::testing
