#include "diagnostics/error_texts.h"

#include <array>
#include <cstdio>
#include <string_view>

#include "platform/platform.h"

namespace zortcp {
namespace {

struct SocketErrorEntry {
  uint32_t code;
  std::string_view text;
};

// The library's own vocabulary for socket errors: the host sees these texts
// through ZorGetLastError, so each one is kept exactly as it was first shipped.
constexpr std::array<SocketErrorEntry, 51> kSocketErrorTable{{
    {10004, "WSAEINTR: Blocking call cancelled by WSACancelBlockingCall()"},
    {10009, "WSAEBADF"},
    {10013, "WSAEACCES: Requested address is a broadcast address, no flags set"},
    {10014, "WSAEFAULT: Name/Address buffer is too small"},
    {10022,
     "WSAEINVAL: listen():  The socket has not been bound or is already connected\n"
     "WSAEINVAL: recv():    The socket has not been bound\n"
     "WSAEINVAL: send():    The socket has not been bound\n"
     "WSAEINVAL: accept():  A call to listen() was invoked prior to calling accept()\n"
     "WSAEINVAL: bind():    Socket already bound to an address\n"
     "WSAEINVAL: connect(): The socket is not already bound to an address\n"},
    {10024,
     "WSAEMFILE: listen(): No more file descriptors are available\n"
     "WSAEMFILE: accept(): Queue was empty"},
    {10035, "WSAEWOULDBLOCK: accept(): Socket is non-blocking and no connections waiting"},
    {10036, "WSAEINPROGRESS: A blocking Windows Sockets operation is in progress"},
    {10037, "WSAEALREADY"},
    {10038, "WSAENOTSOCK: The descriptor is not a socket"},
    {10039, "WSAEDESTADDRREQ: A destination address is required"},
    {10040, "WSAEMSGSIZE: Datagram too large for specified buffer"},
    {10041, "WSAEPROTOTYPE: The specified protocol is the wrong type for this socket"},
    {10042, "WSAENOPROTOOPT: The socket option specified is unknown or unsupported"},
    {10043, "WSAEPROTONOSUPPORT: The specified protocol is not supported"},
    {10044, "WSAESOCKTNOSUPPORT: The specified socket is not supported in selected address family"},
    {10045,
     "WSAEOPNOTSUPP: listen(): The referenced socket does not support listening\n"
     "WSAEOPNOTSUPP: recv():   Out-Of-Band was specified and socket is not SOCK_STREAM\n"
     "WSAEOPNOTSUPP: send():   Out-Of-Band was specified and socket is not SOCK_STREAM"},
    {10046, "WSAEPFNOTSUPP"},
    {10047, "WSAEAFNOSUPPORT: Address family not supported"},
    {10048, "WSAEADDRINUSE: The specified address is already in use"},
    {10049, "WSAEADDRNOTAVAIL: The specified address is not available from the local computer"},
    {10050, "WSAENETDOWN: The network subsystem has failed"},
    {10051, "WSAENETUNREACH: The network can't be reached from this host at this time"},
    {10052, "WSAENETRESET: The connection must be reset due being dropped"},
    {10053, "WSAECONNABORTED: The virtual circuit was aborted due to a timeout or other failure"},
    {10054, "WSAECONNRESET: The virtual circuit was reset by the remote host"},
    {10055, "WSAENOBUFS: No buffer space available"},
    {10056, "WSAEISCONN: The socket is already connected"},
    {10057, "WSAENOTCONN: The socket is not connected"},
    {10058, "WSAESHUTDOWN: The socket has been shutdown. Cannot receive"},
    {10059, "WSAETOOMANYREFS"},
    {10060, "WSAETIMEDOUT: Attempt to connect timed out without establishing a connection"},
    {10061, "WSAECONNREFUSED: The attempt to connect was forcibly rejected"},
    {10062, "WSAELOOP"},
    {10063, "WSAENAMETOOLONG"},
    {10064, "WSAEHOSTDOWN"},
    {10065, "WSAEHOSTUNREACH"},
    {10066, "WSAENOTEMPTY"},
    {10067, "WSAEPROCLIM"},
    {10068, "WSAEUSERS"},
    {10069, "WSAEDQUOT"},
    {10070, "WSAESTALE"},
    {10071, "WSAEREMOTE"},
    {10091, "WSASYSNOTREADY: System not ready"},
    {10092, "WSAVERNOTSUPPORTED: Version not supported"},
    {10093, "WSANOTINITIALISED: System not initialised"},
    {10101, "WSAEDISCON"},
    {11001, "WSAHOST_NOT_FOUND: Authorative answer - host not found"},
    {11002, "WSATRY_AGAIN: Non-authorative answer - host not found, or Server failed"},
    {11003, "WSANO_RECOVERY: Non-recoverable errors: FORMERR, REFUSED and NOTIMP"},
    {11004, "WSANO_DATA: Valid name, no data record of requested type"},
}};

constexpr bool TableFitsCapacity() {
  for (const SocketErrorEntry& entry : kSocketErrorTable) {
    if (entry.text.size() >= static_cast<size_t>(kSocketMessageCapacity)) return false;
  }
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
  for (const SocketErrorEntry& entry : kSocketErrorTable) {
    if (entry.code == code) return std::string(entry.text);
  }
  char fallback[kSocketMessageCapacity];
  std::snprintf(fallback, sizeof fallback, "Unknown Error Code: %u", code);
  return fallback;
}

}  // namespace zortcp
