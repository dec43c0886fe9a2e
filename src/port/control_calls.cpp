// SPDX-License-Identifier: MIT
// The host's control and query calls: event registration, signal 1, the
// library-wide defaults, and what a port reports about itself.
#include <algorithm>
#include <cstring>
#include <string>

#include "core/last_error.h"
#include "core/text.h"
#include "diagnostics/config_file.h"
#include "diagnostics/debug_log.h"
#include "diagnostics/error_texts.h"
#include "platform/platform.h"
#include "port/port_calls.h"
#include "port/port_table.h"

namespace zortcp {
namespace {

constexpr int32_t kSignalHold = 1;
constexpr int32_t kItemOutOfRange = -3;
constexpr uint32_t kKeepSize = 0xFFFFFFFFu;
constexpr uint32_t kLargestSize = 0x7FFFFFFFu;
constexpr int32_t kLocalHostNameSize = 130;
constexpr int32_t kPeerNameCopy = 129;
constexpr const char* kSuccessfulText = "Successful";

enum DefaultType : uint32_t {
  kDefaultService = ZOR_DEFAULT_SERVICE,
  kDefaultServiceType = ZOR_DEFAULT_SERVICE_TYPE,
  kDefaultRetryCount = ZOR_DEFAULT_RETRY_COUNT,
  kDefaultLookupHost = ZOR_DEFAULT_LOOKUP_HOST,
  kDefaultFastTransfer = ZOR_DEFAULT_FAST_TRANSFER,
  kDefaultKeepAlive = ZOR_DEFAULT_KEEP_ALIVE,
  kDefaultConnectTimeout = ZOR_DEFAULT_CONNECT_TIMEOUT,
};

// Copies at most the store's 36 bytes and keeps a terminator in it: a
// longer or unterminated text is cut to 35 characters, while a short copy
// without a terminator changes only the characters it covers.
void ChangeTextDefault(char (&store)[kDefaultTextSize], const void* data, uint32_t length) {
  const size_t copied = std::min<size_t>(length, kDefaultTextSize);
  std::memcpy(store, data, copied);
  if (std::memchr(store, '\0', kDefaultTextSize) == nullptr) store[kDefaultTextSize - 1] = '\0';
}

// A number from 0 to max replaces the default; any other is ignored.
void ChangeRangedDefault(uint32_t& store, const void* data, uint32_t max) {
  uint32_t value = 0;
  std::memcpy(&value, data, sizeof(value));
  if (value <= max) store = value;
}

int32_t ReadInt32(const void* data) {
  int32_t value = 0;
  std::memcpy(&value, data, sizeof(value));
  return value;
}

void WriteOutput(void* output, const void* value, size_t size) {
  if (output != nullptr) std::memcpy(output, value, size);
}

void WriteLength(int32_t* length, int32_t value) {
  if (length != nullptr) *length = value;
}

void GetLocalAddress(PortControlBlock& block, void* output, int32_t* length) {
  const bool logging = LogIsOpen(block);
  if (logging) LogMessage(block, 1, "ZorGetConfig() - Get Local IP Address\n");
  platform::SocketAddress address;
  uint8_t bytes[4] = {};
  int32_t resultLength = 0;
  if (platform::LocalAddress(block.peer.socket.load(), &address) == 0) {
    std::memcpy(bytes, &address.address, sizeof(bytes));
    resultLength = 4;
  } else if (logging) {
    const int32_t code = platform::LastSocketError();
    StoreErrorCode(code);
    LogMessage(block, 1, "ZorGetConfig() - getsockname() failed. %u\n",
               static_cast<uint32_t>(code));
    LogMessage(block, 1, "ZorGetConfig() - [%s]\n",
               SocketErrorText(static_cast<uint32_t>(code)).c_str());
  }
  WriteOutput(output, bytes, sizeof(bytes));
  WriteLength(length, resultLength);
  if (logging) {
    LogMessage(block, 1, "ZorGetConfig() - Returning (%d) [%d.%d.%d.%d]\n", resultLength, bytes[0],
               bytes[1], bytes[2], bytes[3]);
  }
}

void GetLocalHostName(void* output, int32_t* length) {
  char name[kLocalHostNameSize] = {};
  if (platform::LocalHostName(name, kLocalHostNameSize) != 0) CopyText(name, "localhost");
  name[kLocalHostNameSize - 1] = '\0';
  WriteOutput(output, name, std::strlen(name) + 1);
  WriteLength(length, static_cast<int32_t>(std::strlen(name)));
}

void GetPeerName(PortControlBlock& block, void* output, int32_t* length) {
  char name[kRemoteHostNameSize];
  {
    SpinLockGuard guard(block.peer.nameLock);
    std::memcpy(name, block.peer.remoteHostName, sizeof(name));
  }
  name[kRemoteHostNameSize - 1] = '\0';
  const size_t nameLength = std::strlen(name);
  WriteOutput(output, name, std::min<size_t>(nameLength + 1, kPeerNameCopy));
  WriteLength(length, static_cast<int32_t>(nameLength));
}

void GetValue(uint32_t value, void* output, int32_t* length) {
  WriteOutput(output, &value, sizeof(value));
  WriteLength(length, 4);
}

}  // namespace

int32_t SetEventHandler(ZorEventHandler handler, uint32_t userData) {
  Library().pendingEventHandler = handler;
  Library().pendingEventUserData = userData;
  return 0;
}

int32_t ChangeSignal(int32_t handle, int32_t signalNumber, uint32_t value) {
  const PortCall call(handle, CallNumber::kChangeSignal);
  PortControlBlock* block = call.block();
  if (block == nullptr) return call.result();
  if (signalNumber == kSignalHold) block->signal.store(static_cast<int32_t>(value & 1));
  return 0;
}

int32_t GetSignal(int32_t handle, int32_t signalNumber, int32_t* value) {
  const PortCall call(handle, CallNumber::kGetSignal);
  PortControlBlock* block = call.block();
  if (block == nullptr) return call.result();
  if (signalNumber == kSignalHold && value != nullptr) *value = block->signal.load();
  return 0;
}

void ChangeDefault(uint32_t type, const void* data, uint32_t length) {
  if (data == nullptr) return;
  LibraryDefaults& defaults = Defaults();
  switch (type) {
    case kDefaultService:
      ChangeTextDefault(defaults.defaultService, data, length);
      break;
    case kDefaultServiceType:
      ChangeTextDefault(defaults.defaultServiceType, data, length);
      break;
    case kDefaultRetryCount:
      defaults.defaultConnectRetryCount = ReadInt32(data);
      break;
    case kDefaultLookupHost:
      defaults.defaultLookupHostName = ReadInt32(data);
      break;
    case kDefaultFastTransfer:
      defaults.defaultFastTransfer = ReadInt32(data) != 0 ? 1 : 0;
      break;
    case kDefaultKeepAlive:
      ChangeRangedDefault(defaults.defaultKeepAliveSeconds, data, kMaxKeepAliveSeconds);
      break;
    case kDefaultConnectTimeout:
      ChangeRangedDefault(defaults.defaultConnectTimeoutMs, data, kMaxConnectTimeoutMs);
      break;
    default:
      break;
  }
}

void ChangeBufferSizes(uint32_t rxRingSize, uint32_t txRingSize) {
  // All bits set keeps a size; sizes below the minimum or beyond the signed
  // 32-bit range that the rings count in are ignored.
  LibraryDefaults& defaults = Defaults();
  if (rxRingSize != kKeepSize && rxRingSize >= kMinimumRxRingSize && rxRingSize <= kLargestSize) {
    defaults.defaultRxRingSize = rxRingSize;
    defaults.rxRingSizeChosen = true;
  }
  if (txRingSize != kKeepSize && txRingSize >= kMinimumTxRingSize && txRingSize <= kLargestSize) {
    defaults.defaultTxRingSize = txRingSize;
    defaults.txRingSizeChosen = true;
  }
}

int32_t GetConfig(int32_t handle, int32_t item, void* output, int32_t* length) {
  const PortCall call(handle, CallNumber::kGetConfig);
  PortControlBlock* block = call.block();
  if (block == nullptr) return call.result();
  switch (item) {
    case ZOR_CONFIG_LOCAL_ADDRESS:
      GetLocalAddress(*block, output, length);
      return 0;
    case ZOR_CONFIG_PEER_ADDRESS: {
      const uint32_t address = block->peer.ipAddress.load();
      WriteOutput(output, &address, sizeof(address));
      WriteLength(length, 4);
      return 0;
    }
    case ZOR_CONFIG_LOCAL_HOST:
      GetLocalHostName(output, length);
      return 0;
    case ZOR_CONFIG_PEER_NAME:
      GetPeerName(*block, output, length);
      return 0;
    case ZOR_CONFIG_SERVICE_PORT:
      GetValue(block->port, output, length);
      return 0;
    case ZOR_CONFIG_PEER_PORT:
      GetValue((block->flags & ZOR_OPEN_SERVER) != 0 ? block->peer.port.load() : block->port,
               output, length);
      return 0;
    default:
      return kItemOutOfRange;
  }
}

int32_t GetStatistics(int32_t handle, ZorPortStatistics* output) {
  const PortCall call(handle, CallNumber::kGetStatistics);
  PortControlBlock* block = call.block();
  if (block == nullptr) return call.result();
  if (output != nullptr) {
    output->rxBytes = block->rxBytes.load();
    output->txBytes = block->txBytes.load();
    output->rxErrors = block->rxErrors.load();
    output->txErrors = block->txErrors.load();
    output->connectErrors = block->connectErrors.load();
  }
  return 0;
}

char* GetLastErrorText(int32_t* code, int32_t* location, char* text) {
  const LastError record = ReadLastError();
  const bool none = record.code == 0;
  if (code != nullptr) *code = none ? 0 : record.code;
  if (location != nullptr) *location = none ? 0 : record.location;
  if (text != nullptr) CopyText(text, kErrorTextSize, none ? kSuccessfulText : record.text);
  return text;
}

}  // namespace zortcp
