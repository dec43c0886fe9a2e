// SPDX-License-Identifier: MIT
// The calling thread's last socket and system error numbers.
#include "platform/platform.h"

namespace zortcp::platform {
namespace {

thread_local int32_t lastSocketError = 0;
thread_local int32_t lastSystemError = 0;

}  // namespace

int32_t LastSocketError() { return lastSocketError; }
void SetLastSocketError(int32_t code) { lastSocketError = code; }

int32_t LastSystemError() { return lastSystemError; }
void SetLastSystemError(int32_t code) { lastSystemError = code; }

}  // namespace zortcp::platform
