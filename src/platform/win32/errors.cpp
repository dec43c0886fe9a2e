// SPDX-License-Identifier: MIT
// System message texts. Socket errors are Winsock numbers already:
// nothing to map.
#include <string>

#include "platform/platform.h"
#include "platform/win32/system.h"

namespace zortcp::platform {
namespace {

constexpr DWORD kMessageBytes = 512;

}  // namespace

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
