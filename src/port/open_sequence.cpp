// SPDX-License-Identifier: MIT
// Opening a port: claim the first free block, obtain the port's memory,
// socket and monitor threads in a fixed order, and give back everything
// obtained so far when a step fails.
#include <atomic>
#include <cstdint>
#include <utility>

#include "core/control_block.h"
#include "core/last_error.h"
#include "core/pacing.h"
#include "core/text.h"
#include "diagnostics/config_file.h"
#include "diagnostics/debug_log.h"
#include "diagnostics/error_texts.h"
#include "platform/platform.h"
#include "port/port_calls.h"
#include "port/sequences.h"
#include "transport/monitors.h"
#include "transport/rings.h"
#include "zortcp.h"

namespace zortcp {
namespace {

using platform::kAddressFamilyInet;
using platform::kNoSocket;

constexpr const char* kNoFreeBlockText = "No free control blocks available";
constexpr int32_t kNoFreeBlockLocation = 101;
constexpr int32_t kNoFreeBlockCode = 1001;
constexpr uint32_t kPortUnknown = 0xFFFF;

// What a failed step gives back: the memory release always, and the socket
// and the receive monitor when they exist.
void ReleaseMemory(PortControlBlock& block) {
  block.recvBuffer = nullptr;
  block.recvMemory.reset();
  ReleaseRings(block);
}

void CloseOpenSocket(PortControlBlock& block) {
  platform::CloseSocket(block.socket.exchange(kNoSocket));
}

int32_t AllocateBuffers(PortControlBlock& block) {
  const LibraryDefaults& defaults = Defaults();
  block.rxMemory = platform::AllocateZeroed(defaults.defaultRxRingSize);
  if (!block.rxMemory) {
    RecordSystemFailure(ZOR_LOCATION_ALLOCATE_RX_RING);
    return ZOR_LOCATION_ALLOCATE_RX_RING;
  }
  block.rxBuffer.store(block.rxMemory.get());
  block.txMemory = platform::AllocateZeroed(defaults.defaultTxRingSize);
  if (!block.txMemory) {
    RecordSystemFailure(ZOR_LOCATION_ALLOCATE_TX_RING);
    ReleaseMemory(block);
    return ZOR_LOCATION_ALLOCATE_TX_RING;
  }
  block.txBuffer.store(block.txMemory.get());
  block.recvMemory = platform::AllocateZeroed(kRecvBufferSize);
  if (!block.recvMemory) {
    RecordSystemFailure(ZOR_LOCATION_ALLOCATE_RECV_BUFFER);
    ReleaseMemory(block);
    return ZOR_LOCATION_ALLOCATE_RECV_BUFFER;
  }
  block.recvBuffer = block.recvMemory.get();
  block.rxSize.store(static_cast<int32_t>(defaults.defaultRxRingSize));
  block.txSize.store(static_cast<int32_t>(defaults.defaultTxRingSize));
  return 0;
}

// Gives a ring the storage of its pacing's size in place of the default
// one. Larger storage that cannot be had leaves the ring as it is: the port
// works as well with the default size.
void ResizeRing(platform::MemoryBlock& memory, std::atomic<uint8_t*>& buffer,
                std::atomic<int32_t>& size, uint32_t bytes) {
  if (bytes == 0 || static_cast<int32_t>(bytes) == size.load()) return;
  platform::MemoryBlock larger = platform::AllocateZeroed(bytes);
  if (!larger) return;
  memory = std::move(larger);
  buffer.store(memory.get());
  size.store(static_cast<int32_t>(bytes));
}

// The pacing's ring sizes for those the host has not chosen. The monitors
// have not started, so nothing uses the rings yet.
void SizeRingsForPacing(PortControlBlock& block) {
  const LibraryDefaults& defaults = Defaults();
  if (!defaults.rxRingSizeChosen) {
    ResizeRing(block.rxMemory, block.rxBuffer, block.rxSize, block.pacing->rxRingBytes);
  }
  if (!defaults.txRingSizeChosen) {
    ResizeRing(block.txMemory, block.txBuffer, block.txSize, block.pacing->txRingBytes);
  }
}

void ApplyDefaults(PortControlBlock& block) {
  const LibraryDefaults& defaults = Defaults();
  CopyText(block.serviceType, defaults.defaultServiceType);
  CopyText(block.serviceName, defaults.defaultService);
  block.connectRetryCount = defaults.defaultConnectRetryCount;
  if (defaults.defaultLookupHostName != 0) block.flags |= ZOR_OPEN_LOOKUP_HOST_NAME;
  block.fastTransfer = defaults.defaultFastTransfer != 0;
  block.keepAliveSeconds = defaults.defaultKeepAliveSeconds;
  block.connectTimeoutMs = defaults.defaultConnectTimeoutMs;
}

// The decimal value of the leading digits; no range check, so a service of
// 65536 or more keeps its whole value while the addresses use its low 16 bits.
uint32_t LeadingDecimalValue(const char* text) {
  uint32_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text)
    value = value * 10 + static_cast<uint32_t>(*text - '0');
  return value;
}

int32_t ResolvePort(PortControlBlock& block) {
  if (StartsWithDigit(block.serviceName)) {
    block.port = LeadingDecimalValue(block.serviceName);
    return 0;
  }
  uint16_t port = 0;
  if (platform::ServiceByName(block.serviceName, block.serviceType, &port) != 0) {
    RecordSocketFailure(ZOR_LOCATION_SERVICE_LOOKUP);
    ReleaseMemory(block);
    return ZOR_LOCATION_SERVICE_LOOKUP;
  }
  block.port = port;
  return 0;
}

platform::SocketAddress InetAddress(uint32_t port, uint32_t address) {
  platform::SocketAddress result;
  result.family = kAddressFamilyInet;
  result.port = platform::HostToNetwork16(static_cast<uint16_t>(port & 0xFFFF));
  result.address = address;
  return result;
}

int32_t BindServer(PortControlBlock& block) {
  block.addressLength = sizeof(platform::SocketAddress);
  // No peer served yet, whatever an earlier port on the block reported.
  block.peerIpAddress.store(0);
  const uint32_t address = StartsWithDigit(block.hostName)
                               ? platform::ParseDottedAddress(block.hostName)
                               : platform::HostToNetwork32(0);
  block.localAddress = InetAddress(block.port, address);
  if (platform::Bind(block.socket.load(), block.localAddress) != 0) {
    RecordSocketFailure(ZOR_LOCATION_BIND);
    CloseOpenSocket(block);
    ReleaseMemory(block);
    return ZOR_LOCATION_BIND;
  }
  if (block.port == 0) {
    // The system chose the port: report the one it chose.
    platform::SocketAddress bound;
    block.port = platform::LocalAddress(block.socket.load(), &bound) == 0
                     ? platform::NetworkToHost16(bound.port)
                     : kPortUnknown;
  }
  return 0;
}

int32_t ResolveRemoteHost(PortControlBlock& block) {
  block.addressLength = sizeof(platform::SocketAddress);
  block.remoteAddress = InetAddress(block.port, platform::HostToNetwork32(0));
  if (!StartsWithDigit(block.hostName)) {
    uint32_t address = 0;
    if (platform::HostByName(block.hostName, &address) != 0) {
      RecordSocketFailure(ZOR_LOCATION_HOST_BY_NAME);
      CloseOpenSocket(block);
      ReleaseMemory(block);
      return ZOR_LOCATION_HOST_BY_NAME;
    }
    block.remoteAddress.address = address;
    CopyText(block.remoteHostName, block.hostName);
  } else {
    block.remoteAddress.address = platform::ParseDottedAddress(block.hostName);
    // Equipment is often reached by address alone: without a reverse
    // entry the port opens under its dotted address.
    std::string name;
    if (platform::HostByAddress(block.remoteAddress.address, &name) == 0) {
      CopyText(block.remoteHostName, name.c_str());
    } else {
      CopyText(block.remoteHostName, block.hostName);
    }
  }
  block.peerIpAddress.store(block.remoteAddress.address);
  return 0;
}

int32_t CreateMonitors(PortControlBlock& block) {
  block.rxThreadArg = &block;
  const bool server = (block.flags & ZOR_OPEN_SERVER) != 0;
  platform::ThreadHandle rxThread = platform::CreateSuspendedThread(
      server ? RxMonitorServer : RxMonitorClient, &block.rxThreadArg);
  if (rxThread == nullptr) {
    RecordSystemFailure(ZOR_LOCATION_CREATE_RX_MONITOR);
    CloseOpenSocket(block);
    ReleaseMemory(block);
    return ZOR_LOCATION_CREATE_RX_MONITOR;
  }
  block.rxThread.store(rxThread);
  block.txThreadArg = &block;
  platform::ThreadHandle txThread = platform::CreateSuspendedThread(TxMonitor, &block.txThreadArg);
  if (txThread == nullptr) {
    RecordSystemFailure(ZOR_LOCATION_CREATE_TX_MONITOR);
    // The receive monitor has never run: it ends without a step.
    platform::TerminateThread(rxThread);
    platform::CloseThreadHandle(block.rxThread.exchange(nullptr));
    CloseOpenSocket(block);
    ReleaseMemory(block);
    return ZOR_LOCATION_CREATE_TX_MONITOR;
  }
  block.txThread.store(txThread);
  return 0;
}

// Both sides are reset before either monitor is resumed, and the port is
// open from then on: a handler may write from the receive monitor's
// connected event before TxMonitor has been resumed, and those bytes must
// not be reset away. The running flags are raised before the resumes, so
// that a close that follows at once still stops a monitor that has not run
// its first step before the memory goes.
void StartMonitors(PortControlBlock& block) {
  block.rxWriteIndex.store(0);
  block.rxReadIndex.store(0);
  block.rxCount.store(0);
  SpinLockReset(block.rxLock);
  block.rxRoomWanted.store(0);
  block.rxStop.store(0);
  block.rxRunning.store(1);

  block.txWriteIndex.store(0);
  block.txReadIndex.store(0);
  block.txCount.store(0);
  SpinLockReset(block.txLock);
  block.txRoomWanted.store(0);
  block.txStop.store(0);
  block.txRunning.store(1);

  block.replacingSocket.store(0);
  block.life.store(PortLife::kOpen);
  platform::ResumeThread(block.rxThread.load());
  platform::ResumeThread(block.txThread.load());
}

}  // namespace

int32_t OpenSequence(PortControlBlock& block) {
  block.flags &= ~ZOR_OPEN_LOOKUP_HOST_NAME;
  block.rxSize.store(0);
  block.txSize.store(0);
  if (int32_t failed = AllocateBuffers(block)) return failed;

  ApplyDefaults(block);
  if (block.configFileName[0] != '\0') ReadConfigFile(block);
  block.pacing = &PacingFor(block.fastTransfer);
  SizeRingsForPacing(block);
  if (int32_t failed = ResolvePort(block)) return failed;

  block.socket.store(platform::OpenSocket());
  if (block.socket.load() == kNoSocket) {
    RecordSocketFailure(ZOR_LOCATION_CREATE_SOCKET);
    ReleaseMemory(block);
    return ZOR_LOCATION_CREATE_SOCKET;
  }
  block.acceptedSocket.store(kNoSocket);

  const bool server = (block.flags & ZOR_OPEN_SERVER) != 0;
  if (int32_t failed = server ? BindServer(block) : ResolveRemoteHost(block)) return failed;
  if (int32_t failed = CreateMonitors(block)) return failed;

  block.eventHandler = Library().pendingEventHandler;
  block.eventUserData = Library().pendingEventUserData;
  StartMonitors(block);
  return 0;
}

int32_t OpenPort(const char* host, uint32_t flags, const char* configFile, int32_t* handle) {
  PortControlBlock* block = nullptr;
  auto& table = PortTable();
  for (int32_t index = 0; index < kPortCount; ++index) {
    if (table[static_cast<size_t>(index)].inUse.load() == 0) {
      block = &table[static_cast<size_t>(index)];
      if (handle != nullptr) *handle = index;
      break;
    }
  }
  if (block == nullptr) {
    StoreFailure(kNoFreeBlockLocation, kNoFreeBlockCode, kNoFreeBlockText);
    if (handle != nullptr) *handle = 0;
    return -1;
  }

  SpinLockReset(block->logLock);
  block->debugLevel.store(0);
  block->logFile.store(nullptr);
  block->life.store(PortLife::kOpening);
  block->inUse.store(1, std::memory_order_release);
  block->flags = flags;
  CopyText(block->hostName, host);
  CopyText(block->configFileName, configFile);

  if (OpenSequence(*block) != 0) {
    block->life.store(PortLife::kFree);
    block->inUse.store(0, std::memory_order_release);
    if (handle != nullptr) *handle = 0;
    return -2;
  }
  Library().pendingEventHandler = nullptr;
  Library().pendingEventUserData = 0;
  if (block->debugLevel.load() != 0) OpenDebugLog(*block);
  return 0;
}

}  // namespace zortcp
