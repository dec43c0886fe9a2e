// SPDX-License-Identifier: MIT
// Opening a port: claim the first free block, obtain the port's memory,
// socket and monitor threads in a fixed order, and give back everything
// obtained so far when a step fails.
#include <cstdint>
#include <string>
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
constexpr const char* kUnreadableAllowedPeerText = "WSAEINVAL: Allowed Peers: cannot read";
constexpr const char* kTooManyAllowedPeersText = "WSAEINVAL: Allowed Peers: more than 64 entries";
static_assert(kMaxAllowedPeers == 64);

// What a failed step gives back: the memory release always, and the socket
// and the receive monitor when they exist.
void ReleaseMemory(PortControlBlock& block) {
  block.recvBuffer = nullptr;
  block.recvBufferSize = 0;
  block.recvMemory.reset();
  ReleaseRings(block);
}

void CloseOpenSocket(PortControlBlock& block) {
  platform::CloseSocket(block.peer.socket.exchange(kNoSocket));
}

// A failed allocation is recorded at its location and gives back what the
// earlier ones obtained.
int32_t AllocationFailed(PortControlBlock& block, int32_t location) {
  RecordSystemFailure(location);
  ReleaseMemory(block);
  return location;
}

// The ring's storage; its size is published only once all the port's memory
// is there.
bool AllocateRing(ByteRing& ring, uint32_t size) {
  ring.memory = platform::AllocateZeroed(size);
  if (!ring.memory) return false;
  ring.buffer.store(ring.memory.get());
  return true;
}

int32_t AllocateBuffers(PortControlBlock& block) {
  const LibraryDefaults& defaults = Defaults();
  if (!AllocateRing(block.rx, defaults.defaultRxRingSize)) {
    return AllocationFailed(block, ZOR_LOCATION_ALLOCATE_RX_RING);
  }
  if (!AllocateRing(block.tx, defaults.defaultTxRingSize)) {
    return AllocationFailed(block, ZOR_LOCATION_ALLOCATE_TX_RING);
  }
  block.recvMemory = platform::AllocateZeroed(kRecvBufferSize);
  if (!block.recvMemory) return AllocationFailed(block, ZOR_LOCATION_ALLOCATE_RECV_BUFFER);
  block.recvBuffer = block.recvMemory.get();
  block.recvBufferSize = kRecvBufferSize;
  block.rx.size.store(static_cast<int32_t>(defaults.defaultRxRingSize));
  block.tx.size.store(static_cast<int32_t>(defaults.defaultTxRingSize));
  return 0;
}

// What every open starts from: the library defaults, with the log where the
// block's earlier port had it, and the level that the open has reset.
PortSettings DefaultSettings(const PortControlBlock& block) {
  const LibraryDefaults& defaults = Defaults();
  PortSettings settings;
  CopyText(settings.serviceType, defaults.defaultServiceType);
  CopyText(settings.serviceName, defaults.defaultService);
  settings.connectRetryCount = defaults.defaultConnectRetryCount;
  settings.lookupHostName = defaults.defaultLookupHostName != 0;
  settings.debugLevel = block.log.level.load(std::memory_order_relaxed);
  CopyText(settings.debugOutputFile, block.log.fileName);
  settings.fastTransfer = defaults.defaultFastTransfer != 0;
  settings.keepAliveSeconds = defaults.defaultKeepAliveSeconds;
  settings.connectTimeoutMs = defaults.defaultConnectTimeoutMs;
  return settings;
}

// The settings go to the block, which takes the pacing that they choose.
void ApplySettings(PortControlBlock& block, const PortSettings& settings) {
  block.settings = settings;
  block.pacing = &PacingFor(settings.fastTransfer);
  if (settings.lookupHostName) block.flags |= ZOR_OPEN_LOOKUP_HOST_NAME;
  block.log.level.store(settings.debugLevel, std::memory_order_relaxed);
  CopyText(block.log.fileName, settings.debugOutputFile);
}

// Puts zeroed storage of the pacing's size in place of the default one.
// False, with the default storage kept, when it cannot be had: the port
// works as well with that.
bool ReplaceStorage(platform::MemoryBlock& memory, size_t bytes) {
  platform::MemoryBlock larger = platform::AllocateZeroed(bytes);
  if (!larger) return false;
  memory = std::move(larger);
  return true;
}

// Gives a ring storage of its pacing's size in place of the default one.
void ResizeRing(ByteRing& ring, uint32_t bytes) {
  if (bytes == 0 || static_cast<int32_t>(bytes) == ring.size.load()) return;
  if (!ReplaceStorage(ring.memory, bytes)) return;
  ring.buffer.store(ring.memory.get());
  ring.size.store(static_cast<int32_t>(bytes));
}

// The pacing's ring sizes for those the host has not chosen. The monitors
// have not started, so nothing uses the rings yet.
void SizeRingsForPacing(PortControlBlock& block) {
  const LibraryDefaults& defaults = Defaults();
  if (!defaults.rxRingSizeChosen) ResizeRing(block.rx, block.pacing->rxRingBytes);
  if (!defaults.txRingSizeChosen) ResizeRing(block.tx, block.pacing->txRingBytes);
}

// A receive buffer for as many chunks as the pacing receives at once. As
// with the rings, the default one stays when no larger one can be had: the
// receive monitor then takes one chunk per receive.
void SizeReceiveBufferForPacing(PortControlBlock& block) {
  const int32_t bytes = kRecvBufferSize * block.pacing->receiveBatchChunks;
  if (bytes <= block.recvBufferSize) return;
  if (!ReplaceStorage(block.recvMemory, static_cast<size_t>(bytes))) return;
  block.recvBuffer = block.recvMemory.get();
  block.recvBufferSize = bytes;
}

// The decimal value of the leading digits; no range check, so a service of
// 65536 or more keeps its whole value while the addresses use its low 16 bits.
uint32_t LeadingDecimalValue(const char* text) {
  uint32_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text)
    value = value * 10 + static_cast<uint32_t>(*text - '0');
  return value;
}

// A server whose "Allowed Peers" cannot all be read does not open: letting
// in everyone, or fewer peers than meant, would go unnoticed. Recorded at
// the service step, the first that checks what the configuration says.
int32_t CheckAllowedPeers(PortControlBlock& block) {
  const AllowedPeers& peers = block.settings.allowedPeers;
  if ((block.flags & ZOR_OPEN_SERVER) == 0 || peers.problem == AllowedPeers::Problem::kNone) {
    return 0;
  }
  const std::string text =
      peers.problem == AllowedPeers::Problem::kTooMany
          ? std::string(kTooManyAllowedPeersText)
          : std::string(kUnreadableAllowedPeerText) + " \"" + peers.badEntry + "\"";
  StoreFailure(ZOR_LOCATION_SERVICE_LOOKUP, platform::kErrorInvalid, text);
  ReleaseMemory(block);
  return ZOR_LOCATION_SERVICE_LOOKUP;
}

int32_t ResolvePort(PortControlBlock& block) {
  if (StartsWithDigit(block.settings.serviceName)) {
    block.port = LeadingDecimalValue(block.settings.serviceName);
    return 0;
  }
  uint16_t port = 0;
  if (platform::ServiceByName(block.settings.serviceName, block.settings.serviceType, &port) != 0) {
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
  // No peer served yet, whatever an earlier port on the block reported.
  block.peer.ipAddress.store(0);
  const uint32_t address = StartsWithDigit(block.hostName)
                               ? platform::ParseDottedAddress(block.hostName)
                               : platform::HostToNetwork32(0);
  if (platform::Bind(block.peer.socket.load(), InetAddress(block.port, address)) != 0) {
    RecordSocketFailure(ZOR_LOCATION_BIND);
    CloseOpenSocket(block);
    ReleaseMemory(block);
    return ZOR_LOCATION_BIND;
  }
  if (block.port == 0) {
    // The system chose the port: report the one it chose.
    platform::SocketAddress bound;
    block.port = platform::LocalAddress(block.peer.socket.load(), &bound) == 0
                     ? platform::NetworkToHost16(bound.port)
                     : kPortUnknown;
  }
  return 0;
}

int32_t ResolveRemoteHost(PortControlBlock& block) {
  block.peer.remoteAddress = InetAddress(block.port, platform::HostToNetwork32(0));
  if (!StartsWithDigit(block.hostName)) {
    uint32_t address = 0;
    if (platform::HostByName(block.hostName, &address) != 0) {
      RecordSocketFailure(ZOR_LOCATION_HOST_BY_NAME);
      CloseOpenSocket(block);
      ReleaseMemory(block);
      return ZOR_LOCATION_HOST_BY_NAME;
    }
    block.peer.remoteAddress.address = address;
    CopyText(block.peer.remoteHostName, block.hostName);
  } else {
    block.peer.remoteAddress.address = platform::ParseDottedAddress(block.hostName);
    // Equipment is often reached by address alone: without a reverse
    // entry the port opens under its dotted address.
    std::string name;
    if (platform::HostByAddress(block.peer.remoteAddress.address, &name) == 0) {
      CopyText(block.peer.remoteHostName, name.c_str());
    } else {
      CopyText(block.peer.remoteHostName, block.hostName);
    }
  }
  block.peer.ipAddress.store(block.peer.remoteAddress.address);
  return 0;
}

// The monitor's thread, suspended; its argument leads back to the block.
platform::ThreadHandle CreateMonitor(PortControlBlock& block, MonitorControl& monitor,
                                     void (*entry)(void*)) {
  monitor.threadArg = &block;
  const platform::ThreadHandle thread = platform::CreateSuspendedThread(entry, &monitor.threadArg);
  monitor.thread.store(thread);
  return thread;
}

int32_t CreateMonitors(PortControlBlock& block) {
  const bool server = (block.flags & ZOR_OPEN_SERVER) != 0;
  const platform::ThreadHandle rxThread =
      CreateMonitor(block, block.rxMonitor, server ? RxMonitorServer : RxMonitorClient);
  if (rxThread == nullptr) {
    RecordSystemFailure(ZOR_LOCATION_CREATE_RX_MONITOR);
    CloseOpenSocket(block);
    ReleaseMemory(block);
    return ZOR_LOCATION_CREATE_RX_MONITOR;
  }
  if (CreateMonitor(block, block.txMonitor, TxMonitor) == nullptr) {
    RecordSystemFailure(ZOR_LOCATION_CREATE_TX_MONITOR);
    // The receive monitor has never run: it ends without a step.
    platform::TerminateThread(rxThread);
    platform::CloseThreadHandle(block.rxMonitor.thread.exchange(nullptr));
    CloseOpenSocket(block);
    ReleaseMemory(block);
    return ZOR_LOCATION_CREATE_TX_MONITOR;
  }
  return 0;
}

// An empty ring, and a monitor that is running and not asked to stop.
void ResetRing(ByteRing& ring) {
  ring.writeIndex.store(0);
  ring.readIndex.store(0);
  ring.count.store(0);
  SpinLockReset(ring.lock);
}

void MarkRunning(MonitorControl& monitor) {
  monitor.stop.store(0);
  monitor.running.store(1);
}

// Both sides are reset before either monitor is resumed, and the port is
// open from then on: a handler may write from the receive monitor's
// connected event before TxMonitor has been resumed, and those bytes must
// not be reset away. The running flags are raised before the resumes, so
// that a close that follows at once still stops a monitor that has not run
// its first step before the memory goes.
void StartMonitors(PortControlBlock& block) {
  ResetRing(block.rx);
  block.rxRoomWanted.store(0);
  MarkRunning(block.rxMonitor);
  ResetRing(block.tx);
  block.txRoomWanted.store(0);
  MarkRunning(block.txMonitor);

  block.peer.replacingSocket.store(0);
  block.life.store(PortLife::kOpen);
  platform::ResumeThread(block.rxMonitor.thread.load());
  platform::ResumeThread(block.txMonitor.thread.load());
}

// The port's use of the network library, given back by the close or by a
// later step that fails.
int32_t StartNetwork(PortControlBlock& block) {
  if (platform::StartNetwork() == 0) return 0;
  RecordSocketFailure(ZOR_LOCATION_NETWORK_STARTUP);
  ReleaseMemory(block);
  return ZOR_LOCATION_NETWORK_STARTUP;
}

int32_t OpenOnNetwork(PortControlBlock& block) {
  PortSettings settings = DefaultSettings(block);
  if (block.configFileName[0] != '\0') settings = ReadConfigFile(block.configFileName, settings);
  ApplySettings(block, settings);
  SizeRingsForPacing(block);
  SizeReceiveBufferForPacing(block);
  if (int32_t failed = CheckAllowedPeers(block)) return failed;
  if (int32_t failed = ResolvePort(block)) return failed;

  block.peer.socket.store(platform::OpenSocket());
  if (block.peer.socket.load() == kNoSocket) {
    RecordSocketFailure(ZOR_LOCATION_CREATE_SOCKET);
    ReleaseMemory(block);
    return ZOR_LOCATION_CREATE_SOCKET;
  }
  block.peer.acceptedSocket.store(kNoSocket);

  const bool server = (block.flags & ZOR_OPEN_SERVER) != 0;
  if (int32_t failed = server ? BindServer(block) : ResolveRemoteHost(block)) return failed;
  if (int32_t failed = CreateMonitors(block)) return failed;

  block.eventHandler = Library().pendingEventHandler;
  block.eventUserData = Library().pendingEventUserData;
  // Until its close, a dlclose by the host leaves the library loaded rather
  // than wait for a handler that may never return.
  if (block.eventHandler != nullptr) platform::HoldLibrary();
  StartMonitors(block);
  return 0;
}

}  // namespace

int32_t OpenSequence(PortControlBlock& block) {
  block.flags &= ~ZOR_OPEN_LOOKUP_HOST_NAME;
  block.rx.size.store(0);
  block.tx.size.store(0);
  if (int32_t failed = AllocateBuffers(block)) return failed;
  if (int32_t failed = StartNetwork(block)) return failed;
  const int32_t failed = OpenOnNetwork(block);
  if (failed != 0) platform::StopNetwork();
  return failed;
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

  SpinLockReset(block->log.lock);
  block->log.level.store(0);
  block->log.file.store(nullptr);
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
  if (block->log.level.load() != 0) OpenDebugLog(*block);
  return 0;
}

}  // namespace zortcp
