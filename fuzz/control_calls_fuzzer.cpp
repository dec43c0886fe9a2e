// SPDX-License-Identifier: MIT
// ZorChangeDefault, ZorChangeBufferSizes, ZorGetConfig, ZorGetStatistics,
// the signal calls and ZorGetLastError with arguments decoded from the
// input, against a library with a server port (handle 0) and a client port
// connected to it (handle 1).
//
// The host's side of each contract is kept: a text default's data holds
// exactly its length in bytes (at most the 36 that may be copied), an
// integer default's data 4 bytes, an output exactly the room its item
// needs; so the sanitizer reports any access beyond them. The checks: the
// result that the handle and item call for, outputs of a failed call left
// as they were, lengths within the output, texts terminated, defaults and
// ring sizes within their ranges, the handle failures' numbers in the
// last-error record.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "diagnostics/config_file.h"
#include "fuzz/fuzz_support.h"
#include "port/port_table.h"
#include "zortcp.h"

namespace {

constexpr int32_t kServerHandle = 0;
constexpr int32_t kClientHandle = 1;
constexpr uint8_t kUntouched = 0xA5;
constexpr int32_t kUntouchedLength = -77;
constexpr uint32_t kTextDefaultStore = 36;
constexpr int32_t kWouldBlock = 10035;

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Empty() const { return size_ == 0; }
  uint8_t Byte() { return size_ > 0 ? (--size_, *data_++) : 0; }
  uint32_t Word() {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = (value << 8) | Byte();
    return value;
  }
  // Mostly small values near the edges, sometimes any 32 bits.
  int32_t Number(int32_t low, int32_t high) {
    const uint8_t pick = Byte();
    if (pick < 200) return low + pick % (high - low + 1);
    return static_cast<int32_t>(Word());
  }
  std::vector<uint8_t> Bytes(size_t count) {
    count = std::min(count, size_);
    std::vector<uint8_t> bytes(data_, data_ + count);
    data_ += count;
    size_ -= count;
    return bytes;
  }

 private:
  const uint8_t* data_;
  size_t size_;
};

void WaitForConnection() {
  for (int turn = 0; turn < 5000 && zortcp::PortTable()[kClientHandle].connected.load() == 0;
       ++turn) {
    usleep(1000);
  }
}

// A server on a port the system chooses and a client connected to it.
void OpenPorts() {
  zortcp::LibraryLoad();
  std::atexit([] { zortcp::LibraryUnload(); });
  ZorChangeDefault(ZOR_DEFAULT_SERVICE, "0", 2);
  int32_t handle = -1;
  ZORTCP_FUZZ_CHECK(ZorOpenPort("127.0.0.1", 0, ZOR_OPEN_SERVER, nullptr, &handle) == 0 &&
                        handle == kServerHandle,
                    "the server opens");
  uint32_t port = 0;
  int32_t length = 0;
  ZorGetConfig(kServerHandle, ZOR_CONFIG_SERVICE_PORT, &port, &length);
  const std::string service = std::to_string(port);
  ZorChangeDefault(ZOR_DEFAULT_SERVICE, service.c_str(), static_cast<uint32_t>(service.size() + 1));
  ZORTCP_FUZZ_CHECK(
      ZorOpenPort("127.0.0.1", 0, 0, nullptr, &handle) == 0 && handle == kClientHandle,
      "the client opens");
  WaitForConnection();
}

int32_t HandleFrom(Input& input) {
  switch (input.Byte() % 8) {
    case 0:
      return kServerHandle;
    case 1:
      return kClientHandle;
    case 2:
      return -1;
    case 3:
      return zortcp::kPortCount;
    case 4:
      return 2 + input.Byte() % (zortcp::kPortCount - 2);  // not open
    default:
      return static_cast<int32_t>(input.Word());
  }
}

// The result the handle test must give: 0 for an open port.
int32_t HandleResult(int32_t handle) {
  if (handle < 0 || handle >= zortcp::kPortCount) return -1;
  return handle == kServerHandle || handle == kClientHandle ? 0 : -2;
}

// The record is library-wide: a monitor's receive that would block (the
// connected pair is silent) may have written its two numbers since, but
// never its text.
void CheckHandleFailureRecorded(int32_t result, int32_t call) {
  if (result == 0) return;
  const int32_t reason = result == -1 ? 1 : 2;
  int32_t code = 0;
  int32_t location = 0;
  char text[288];
  ZorGetLastError(&code, &location, text);
  ZORTCP_FUZZ_CHECK(
      (location == 100 * call + reason && code == 900 + 100 * call + reason) || code == kWouldBlock,
      "a handle failure records its call's numbers");
  ZORTCP_FUZZ_CHECK(std::strcmp(text, reason == 1 ? "Invalid port handle specified"
                                                  : "Port handle specified is not in use") == 0,
                    "a handle failure records its text");
}

bool Untouched(const std::vector<uint8_t>& bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == kUntouched; });
}

void ChangeDefault(Input& input) {
  const uint32_t type = input.Byte() < 220 ? input.Byte() % 9 : input.Word();
  const uint32_t length = input.Byte() < 200 ? input.Byte() % 48 : input.Word();
  const bool text = type == ZOR_DEFAULT_SERVICE || type == ZOR_DEFAULT_SERVICE_TYPE;
  const bool integer = type >= ZOR_DEFAULT_RETRY_COUNT && type <= ZOR_DEFAULT_CONNECT_TIMEOUT;
  // Exactly the bytes the call may read: no more than length of a text,
  // nor more than its store; four of an integer; none for another type.
  const size_t room = text ? std::min(length, kTextDefaultStore) : integer ? 4 : 0;
  std::vector<uint8_t> payload = input.Bytes(room);
  payload.resize(room, 'x');
  auto data = std::make_unique<uint8_t[]>(std::max<size_t>(room, 1));
  std::copy(payload.begin(), payload.end(), data.get());
  ZorChangeDefault(type, input.Byte() % 16 == 0 ? nullptr : data.get(), length);

  const zortcp::LibraryDefaults& defaults = zortcp::Defaults();
  ZORTCP_FUZZ_CHECK(std::memchr(defaults.defaultService, '\0', kTextDefaultStore) != nullptr,
                    "the service default keeps its terminator");
  ZORTCP_FUZZ_CHECK(std::memchr(defaults.defaultServiceType, '\0', kTextDefaultStore) != nullptr,
                    "the service type default keeps its terminator");
  ZORTCP_FUZZ_CHECK(defaults.defaultFastTransfer == 0 || defaults.defaultFastTransfer == 1,
                    "the fast transfer default is on or off");
  ZORTCP_FUZZ_CHECK(defaults.defaultKeepAliveSeconds <= zortcp::kMaxKeepAliveSeconds &&
                        defaults.defaultConnectTimeoutMs <= zortcp::kMaxConnectTimeoutMs,
                    "the keep-alive and connect time-out defaults stay in their ranges");
}

void ChangeBufferSizes(Input& input) {
  const uint32_t rx = input.Byte() < 128 ? 0x5000 - 2 + input.Byte() % 4 : input.Word();
  const uint32_t tx = input.Byte() < 128 ? 0x1000 - 2 + input.Byte() % 4 : input.Word();
  ZorChangeBufferSizes(rx, tx);
  const zortcp::LibraryDefaults& defaults = zortcp::Defaults();
  ZORTCP_FUZZ_CHECK(defaults.defaultRxRingSize >= zortcp::kMinimumRxRingSize &&
                        defaults.defaultRxRingSize <= 0x7FFFFFFFu,
                    "the RxRing size stays in its range");
  ZORTCP_FUZZ_CHECK(defaults.defaultTxRingSize >= zortcp::kMinimumTxRingSize &&
                        defaults.defaultTxRingSize <= 0x7FFFFFFFu,
                    "the TxRing size stays in its range");
}

size_t RoomFor(int32_t item) {
  if (item == ZOR_CONFIG_LOCAL_HOST) return 130;
  if (item == ZOR_CONFIG_PEER_NAME) return 129;
  return 4;
}

void GetConfig(Input& input) {
  const int32_t handle = HandleFrom(input);
  const int32_t item = input.Number(-1, 8);
  const uint8_t pointers = input.Byte();
  const bool validItem = item >= 1 && item <= 6;
  std::vector<uint8_t> output(RoomFor(validItem ? item : 1), kUntouched);
  int32_t length = kUntouchedLength;
  const int32_t result = ZorGetConfig(handle, item, (pointers & 1) != 0 ? nullptr : output.data(),
                                      (pointers & 2) != 0 ? nullptr : &length);
  const int32_t expected = HandleResult(handle) != 0 ? HandleResult(handle) : validItem ? 0 : -3;
  ZORTCP_FUZZ_CHECK(result == expected, "ZorGetConfig gives the result its arguments call for");
  CheckHandleFailureRecorded(result == -3 ? 0 : result, 8);
  if (result != 0) {
    ZORTCP_FUZZ_CHECK(Untouched(output) && length == kUntouchedLength,
                      "a failed call writes nothing");
    return;
  }
  if ((pointers & 2) == 0) {
    ZORTCP_FUZZ_CHECK(length >= 0 && static_cast<size_t>(length) <= output.size(),
                      "the length fits the output");
  }
  if ((pointers & 1) == 0 && (item == ZOR_CONFIG_LOCAL_HOST || item == ZOR_CONFIG_PEER_NAME)) {
    ZORTCP_FUZZ_CHECK(std::memchr(output.data(), '\0', output.size()) != nullptr,
                      "a text item is terminated");
  }
}

void PortQueries(Input& input) {
  const int32_t handle = HandleFrom(input);
  const uint8_t which = input.Byte() % 3;
  int32_t result = 0;
  int32_t call = 0;
  if (which == 0) {
    ZorPortStatistics statistics;
    std::memset(&statistics, kUntouched, sizeof statistics);
    result = ZorGetStatistics(handle, input.Byte() % 4 == 0 ? nullptr : &statistics);
    call = 9;
  } else if (which == 1) {
    int32_t value = kUntouchedLength;
    const int32_t signal = input.Number(0, 2);
    result = ZorGetSignal(handle, signal, input.Byte() % 4 == 0 ? nullptr : &value);
    ZORTCP_FUZZ_CHECK(
        value == kUntouchedLength || (result == 0 && signal == 1 && (value == 0 || value == 1)),
        "signal 1 reads 0 or 1 and nothing else is written");
    call = 7;
  } else {
    // Holding or releasing changes nothing for a connected client or a server.
    result = ZorChangeSignal(handle, input.Number(0, 2), input.Word());
    call = 6;
  }
  ZORTCP_FUZZ_CHECK(result == HandleResult(handle), "the handle test decides the result");
  CheckHandleFailureRecorded(result, call);
}

void GetLastError(Input& input) {
  const uint8_t pointers = input.Byte();
  int32_t code = 0;
  int32_t location = 0;
  char text[288];
  std::memset(text, kUntouched, sizeof text);
  char* returned = ZorGetLastError((pointers & 1) != 0 ? nullptr : &code,
                                   (pointers & 2) != 0 ? nullptr : &location,
                                   (pointers & 4) != 0 ? nullptr : text);
  if ((pointers & 4) == 0) {
    ZORTCP_FUZZ_CHECK(returned == text, "the text buffer is returned");
    ZORTCP_FUZZ_CHECK(std::memchr(text, '\0', sizeof text) != nullptr, "the text ends within 288");
  } else {
    ZORTCP_FUZZ_CHECK(returned == nullptr, "no text buffer, none returned");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  OpenPorts();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input input(data, size);
  while (!input.Empty()) {
    switch (input.Byte() % 5) {
      case 0:
        ChangeDefault(input);
        break;
      case 1:
        ChangeBufferSizes(input);
        break;
      case 2:
        GetConfig(input);
        break;
      case 3:
        PortQueries(input);
        break;
      default:
        GetLastError(input);
        break;
    }
  }
  return 0;
}
