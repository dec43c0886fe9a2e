// SPDX-License-Identifier: MIT
// The errno-to-Winsock mapping made from the one error table
// (socket_errors.h), and system message texts.
#include <locale.h>
#include <string.h>

#include <cerrno>
#include <initializer_list>
#include <string>

#include "platform/platform.h"
#include "platform/socket_errors.h"

namespace zortcp::platform {
namespace {

// The user's locale for message texts, made once; the C locale when the
// environment names one the system does not have.
locale_t MessageLocale() {
  static const locale_t locale = [] {
    locale_t made = newlocale(LC_ALL_MASK, "", static_cast<locale_t>(0));
    if (made == static_cast<locale_t>(0))
      made = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return made;
  }();
  return locale;
}

bool OneOf(int errorNumber, std::initializer_list<int> systemErrors) {
  for (const int systemError : systemErrors) {
    if (systemError == errorNumber) return true;
  }
  return false;
}

}  // namespace

// A row's system errors, "(EINTR)" or "()", as a list.
#define ZOR_ERRNO_LIST(...) \
  { __VA_ARGS__ }
#define ZOR_MAP_ERRNO(name, number, errnos, text) \
  if (OneOf(errorNumber, ZOR_ERRNO_LIST errnos)) return number;

// The only place where system error numbers meet Winsock numbers.
int32_t WinsockErrorFromSystem(int errorNumber) {
  ZOR_SOCKET_ERRORS(ZOR_MAP_ERRNO)
  return errorNumber;
}

#undef ZOR_MAP_ERRNO
#undef ZOR_ERRNO_LIST

std::string SystemMessageText(int32_t errorNumber) {
  // glibc makes up "Unknown error N" for numbers it has no message for;
  // such numbers have no symbolic name either.
  if (strerrorname_np(errorNumber) == nullptr) return {};
  const locale_t locale = MessageLocale();
  std::string text = locale != static_cast<locale_t>(0) ? strerror_l(errorNumber, locale)
                                                        : strerrordesc_np(errorNumber);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace zortcp::platform
