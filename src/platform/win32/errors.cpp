// SPDX-License-Identifier: MIT
// Per-thread error numbers and system message texts. Socket errors are
// Winsock numbers already: nothing to map.
#include <string>

#include "platform/platform.h"
#include "platform/win32/system.h"

namespace zortcp::platform {
namespace {

thread_local int32_t lastSocketError = 0;
thread_local int32_t lastSystemError = 0;

constexpr DWORD kMessageBytes = 512;

}  // namespace

int32_t LastSocketError() { return lastSocketError; }
void SetLastSocketError(int32_t code) { lastSocketError = code; }

int32_t LastSystemError() { return lastSystemError; }
void SetLastSystemError(int32_t code) { lastSystemError = code; }

int32_t WinsockErrorFromSystem(int errorNumber) { return errorNumber; }

std::string SystemMessageText(int32_t errorNumber) {
  char text[kMessageBytes] = {};
  // Language 0: the thread's, then the user's, then the system's language.
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                     static_cast<DWORD>(errorNumber), 0, text, kMessageBytes, nullptr);
  std::string message(text, length);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
    message.pop_back();
  }
  return message;
}

}  // namespace zortcp::platform
