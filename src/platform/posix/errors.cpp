// Per-thread error numbers, the one errno-to-Winsock table, and system
// message texts.
#include <locale.h>
#include <string.h>

#include <cerrno>
#include <string>

#include "platform/platform.h"

namespace zortcp::platform {
namespace {

thread_local int32_t lastSocketError = 0;
thread_local int32_t lastSystemError = 0;

struct ErrorPair {
  int system;
  int32_t winsock;
};

// The only place where system error numbers meet Winsock numbers.
constexpr ErrorPair kWinsockErrors[] = {
    {EINTR, 10004},        {EBADF, 10009},           {EACCES, 10013},
    {EFAULT, 10014},       {EINVAL, 10022},          {EMFILE, 10024},
    {EWOULDBLOCK, 10035},  {EAGAIN, 10035},          {EINPROGRESS, 10036},
    {EALREADY, 10037},     {ENOTSOCK, 10038},        {EDESTADDRREQ, 10039},
    {EMSGSIZE, 10040},     {EPROTOTYPE, 10041},      {ENOPROTOOPT, 10042},
    {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},
    {EPFNOSUPPORT, 10046}, {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},       {ENETUNREACH, 10051},
    {ENETRESET, 10052},    {ECONNABORTED, 10053},    {ECONNRESET, 10054},
    {EPIPE, 10054},        {ENOBUFS, 10055},         {EISCONN, 10056},
    {ENOTCONN, 10057},     {ESHUTDOWN, 10058},       {ETOOMANYREFS, 10059},
    {ETIMEDOUT, 10060},    {ECONNREFUSED, 10061},    {ELOOP, 10062},
    {ENAMETOOLONG, 10063}, {EHOSTDOWN, 10064},       {EHOSTUNREACH, 10065},
    {ENOTEMPTY, 10066},    {EUSERS, 10068},          {EDQUOT, 10069},
    {ESTALE, 10070},       {EREMOTE, 10071},
};

// The user's locale for message texts, made once; the C locale when the
// environment names one the system does not have.
locale_t MessageLocale() {
  static const locale_t locale = [] {
    locale_t made = newlocale(LC_ALL_MASK, "", static_cast<locale_t>(0));
    if (made == static_cast<locale_t>(0)) made = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return made;
  }();
  return locale;
}

}  // namespace

int32_t LastSocketError() { return lastSocketError; }
void SetLastSocketError(int32_t code) { lastSocketError = code; }

int32_t LastSystemError() { return lastSystemError; }
void SetLastSystemError(int32_t code) { lastSystemError = code; }

int32_t WinsockErrorFromSystem(int errorNumber) {
  for (const ErrorPair& pair : kWinsockErrors) {
    if (pair.system == errorNumber) return pair.winsock;
  }
  return errorNumber;
}

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
