// SPDX-License-Identifier: MIT
#include "support/client_port.h"

#include <thread>

namespace zortcp::testing {

void UseService(const std::string& service) {
  ZorChangeDefault(ZOR_DEFAULT_SERVICE, service.c_str(), static_cast<uint32_t>(service.size() + 1));
}

void UseService(uint16_t port) { UseService(std::to_string(port)); }

void UseRetryCount(int32_t count) {
  ZorChangeDefault(ZOR_DEFAULT_RETRY_COUNT, &count, sizeof(count));
}

int64_t MillisecondsBetween(const RecordedEvent& earlier, const RecordedEvent& later) {
  return std::chrono::duration_cast<milliseconds>(later.when - earlier.when).count();
}

void ClientPortTest::SetUp() {
  LoadedLibrary::SetUp();
  UseService(listener.port());
}

int32_t ClientPortTest::OpenClient(const char* host) {
  events.Register();
  int32_t handle = -1;
  const int32_t result = ZorOpenPort(host, 0, 0, nullptr, &handle);
  EXPECT_EQ(result, 0) << LastErrorNow().text;
  return result == 0 ? handle : -1;
}

PeerConnection ClientPortTest::AcceptPeer() {
  auto accepted = listener.Accept(kWait);
  EXPECT_TRUE(accepted.has_value()) << "the port did not connect";
  return accepted ? std::move(*accepted) : PeerConnection();
}

void ClientPortTest::OpenConnected(int32_t& handle, PeerConnection& peer) {
  handle = OpenClient();
  ASSERT_GE(handle, 0);
  peer = AcceptPeer();
  ASSERT_TRUE(peer.IsOpen());
  ASSERT_TRUE(WaitForEvent(ZOR_EVENT_CONNECTED));
}

bool ClientPortTest::WaitForEvent(int32_t kind, int32_t value, size_t count) {
  return events.WaitForCount(kind, value, count, kWait);
}

std::vector<std::string> ClientPortTest::FirstEvents(size_t count) const {
  std::vector<std::string> sequence = events.Sequence();
  if (sequence.size() > count) sequence.resize(count);
  return sequence;
}

}  // namespace zortcp::testing
