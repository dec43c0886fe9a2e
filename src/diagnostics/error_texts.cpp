// SPDX-License-Identifier: MIT
#include "diagnostics/error_texts.h"

#include <cstdio>
#include <string_view>

#include "core/last_error.h"
#include "platform/platform.h"
#include "platform/socket_errors.h"

namespace zortcp {
namespace {

// The texts of the error table, by number.
constexpr std::string_view TableText(uint32_t code) {
#define ZOR_TEXT_CASE(name, number, errnos, text) \
  case number:                                    \
    return text;
  switch (code) {
    ZOR_SOCKET_ERRORS(ZOR_TEXT_CASE)
    default:
      return {};
  }
#undef ZOR_TEXT_CASE
}

constexpr bool TableFitsCapacity() {
#define ZOR_TEXT_FITS(name, number, errnos, text) \
  if (std::string_view(text).size() >= static_cast<size_t>(kSocketMessageCapacity)) return false;
  ZOR_SOCKET_ERRORS(ZOR_TEXT_FITS)
#undef ZOR_TEXT_FITS
  return true;
}
static_assert(TableFitsCapacity());

}  // namespace

std::string SystemErrorText(int32_t errorNumber) {
  std::string text = platform::SystemMessageText(errorNumber);
  if (text.empty() || text.size() >= static_cast<size_t>(kSystemMessageCapacity)) {
    char fallback[kSystemMessageCapacity];
    std::snprintf(fallback, sizeof fallback, "Windows NT System Error %d Has No Message Text",
                  errorNumber);
    return fallback;
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

std::string SocketErrorText(uint32_t code) {
  const std::string_view text = TableText(code);
  if (!text.empty()) return std::string(text);
  char fallback[kSocketMessageCapacity];
  std::snprintf(fallback, sizeof fallback, "Unknown Error Code: %u", code);
  return fallback;
}

int32_t RecordSocketFailure(int32_t location) {
  const int32_t code = platform::LastSocketError();
  StoreFailure(location, code, SocketErrorText(static_cast<uint32_t>(code)));
  return code;
}

int32_t RecordSystemFailure(int32_t location) {
  const int32_t code = platform::LastSystemError();
  StoreFailure(location, code, SystemErrorText(code));
  return code;
}

}  // namespace zortcp
