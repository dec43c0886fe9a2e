// SPDX-License-Identifier: MIT
// The library's calls behind the exported Zor* functions (exports.cpp,
// which keeps anything thrown inside from reaching the host).
#pragma once

#include <cstdint>

#include "zortcp.h"

namespace zortcp {

int32_t OpenPort(const char* host, uint32_t flags, const char* configFile, int32_t* handle);
int32_t ClosePort(int32_t handle);
int32_t WritePort(int32_t handle, const void* data, int32_t size);
int32_t ReadPort(int32_t handle, void* buffer, int32_t capacity, int32_t* count);
int32_t AnyToRead(int32_t handle);
int32_t SetEventHandler(ZorEventHandler handler, uint32_t userData);
int32_t ChangeSignal(int32_t handle, int32_t signalNumber, uint32_t value);
int32_t GetSignal(int32_t handle, int32_t signalNumber, int32_t* value);
void ChangeDefault(uint32_t type, const void* data, uint32_t length);
void ChangeBufferSizes(uint32_t rxRingSize, uint32_t txRingSize);
int32_t GetConfig(int32_t handle, int32_t item, void* output, int32_t* length);
int32_t GetStatistics(int32_t handle, ZorPortStatistics* output);
char* GetLastErrorText(int32_t* code, int32_t* location, char* text);

}  // namespace zortcp
