// SPDX-License-Identifier: MIT
// The exported functions. Each hands over to the library's own call and
// keeps whatever is thrown inside from reaching the host: a monitor thread
// that is terminated while the host's handler called back into the library
// unwinds here and ends once the handler has returned.
#include "platform/platform.h"
#include "port/port_calls.h"
#include "zortcp.h"

namespace {

constexpr int32_t kFailed = -2;

// A monitor thread that the close has given up on may still be inside the
// host's handler; whatever that handler calls then does nothing, since the
// block may already belong to the next port.
template <typename Call>
auto Guarded(Call call, decltype(call()) failed) noexcept -> decltype(call()) {
  try {
    zortcp::platform::TerminationPoint();
    return call();
  } catch (...) {
    return failed;
  }
}

}  // namespace

extern "C" {

ZOR_API int32_t ZOR_CALL ZorOpenPort(const char* host, int32_t /*reserved*/, uint32_t flags,
                                     const char* configFile, int32_t* handle) {
  return Guarded([&] { return zortcp::OpenPort(host, flags, configFile, handle); }, kFailed);
}

ZOR_API int32_t ZOR_CALL ZorClosePort(int32_t handle) {
  return Guarded([&] { return zortcp::ClosePort(handle); }, kFailed);
}

ZOR_API int32_t ZOR_CALL ZorWritePort(int32_t handle, const void* data, int32_t size) {
  return Guarded([&] { return zortcp::WritePort(handle, data, size); }, kFailed);
}

ZOR_API int32_t ZOR_CALL ZorReadPort(int32_t handle, void* buffer, int32_t capacity,
                                     int32_t* count) {
  return Guarded([&] { return zortcp::ReadPort(handle, buffer, capacity, count); }, kFailed);
}

ZOR_API int32_t ZOR_CALL ZorAnyToRead(int32_t handle) {
  return Guarded([&] { return zortcp::AnyToRead(handle); }, kFailed);
}

ZOR_API int32_t ZOR_CALL ZorSetEventHandler(ZorEventHandler handler, uint32_t userData) {
  return zortcp::SetEventHandler(handler, userData);
}

ZOR_API int32_t ZOR_CALL ZorChangeSignal(int32_t handle, int32_t signalNumber, uint32_t value) {
  return Guarded([&] { return zortcp::ChangeSignal(handle, signalNumber, value); }, kFailed);
}

ZOR_API int32_t ZOR_CALL ZorGetSignal(int32_t handle, int32_t signalNumber, int32_t* value) {
  return Guarded([&] { return zortcp::GetSignal(handle, signalNumber, value); }, kFailed);
}

ZOR_API void ZOR_CALL ZorChangeDefault(uint32_t type, const void* data, uint32_t length) {
  zortcp::ChangeDefault(type, data, length);
}

ZOR_API void ZOR_CALL ZorChangeBufferSizes(uint32_t rxRingSize, uint32_t txRingSize) {
  zortcp::ChangeBufferSizes(rxRingSize, txRingSize);
}

ZOR_API int32_t ZOR_CALL ZorGetConfig(int32_t handle, int32_t item, void* output, int32_t* length) {
  return Guarded([&] { return zortcp::GetConfig(handle, item, output, length); }, kFailed);
}

ZOR_API int32_t ZOR_CALL ZorGetStatistics(int32_t handle, ZorPortStatistics* output) {
  return Guarded([&] { return zortcp::GetStatistics(handle, output); }, kFailed);
}

ZOR_API char* ZOR_CALL ZorGetLastError(int32_t* code, int32_t* location, char* text) {
  return zortcp::GetLastErrorText(code, location, text);
}

}  // extern "C"
