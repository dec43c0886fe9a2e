// SPDX-License-Identifier: MIT
#include "port_bench/host_sides.h"

#include "port_bench/port_events.h"
#include "zortcp.h"

namespace port_bench {

std::vector<uint8_t> Payload(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 131 + 7);
  return bytes;
}

namespace {

void BlockingPortWriter(const Link& link, const std::atomic<bool>& stop) {
  const std::vector<uint8_t> block = Payload(static_cast<size_t>(link.shape.writeBlock));
  while (!stop.load(std::memory_order_relaxed)) {
    if (ZorWritePort(link.handle, block.data(), link.shape.writeBlock) != 0) return;
  }
}

}  // namespace

void PortWriter(const Link& link, const std::atomic<bool>& stop) {
  if (link.shape.blockingWrites) {
    BlockingPortWriter(link, stop);
    return;
  }
  const uint64_t ring = link.shape.txRing;
  const int32_t size = link.shape.writeBlock;
  const auto bytes = static_cast<uint64_t>(size);
  const std::vector<uint8_t> block = Payload(static_cast<size_t>(size));
  uint64_t written = 0;
  while (!stop.load(std::memory_order_relaxed)) {
    const uint64_t wakeAt = written + bytes > ring ? written + bytes - ring : 0;
    if (!AwaitTransmitted(link.slot, wakeAt)) return;
    ZorWritePort(link.handle, block.data(), size);
    written += bytes;
  }
}

void PortReader(const Link& link, const std::atomic<bool>& stop, std::atomic<uint64_t>& bytes) {
  std::vector<uint8_t> buffer(kPeerBlock);
  while (!stop.load(std::memory_order_relaxed)) {
    const uint64_t seen = ReceivedEvents(link.slot);
    int32_t got = 0;
    ZorReadPort(link.handle, buffer.data(), static_cast<int32_t>(buffer.size()), &got);
    if (got > 0) {
      bytes.fetch_add(static_cast<uint64_t>(got), std::memory_order_relaxed);
    } else if (!AwaitReceived(link.slot, seen, Clock::now() + kConnectWait)) {
      return;
    }
  }
}

void PlainWriter(PeerConnection& connection, const std::atomic<bool>& stop) {
  const std::vector<uint8_t> block = Payload(kPeerBlock);
  while (!stop.load(std::memory_order_relaxed)) {
    if (!connection.SendAll(block.data(), block.size())) return;
  }
}

void PlainReader(const PeerConnection& connection, const std::atomic<bool>& stop,
                 std::atomic<uint64_t>& bytes) {
  std::vector<uint8_t> buffer(kPeerBlock);
  while (!stop.load(std::memory_order_relaxed)) {
    const int64_t got = connection.ReceiveOnce(buffer.data(), buffer.size());
    if (got <= 0) return;
    bytes.fetch_add(static_cast<uint64_t>(got), std::memory_order_relaxed);
  }
}

}  // namespace port_bench
