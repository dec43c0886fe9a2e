// SPDX-License-Identifier: MIT
// Every socket error number the library reports, in one table: each row
// names the number, gives its value, the system errors (errno names) that
// map to it, and the library's own text for it, which the host sees through
// ZorGetLastError exactly as it was first shipped. The errno column is a
// parenthesised list, empty where no system error maps; it names no value
// until a file that includes <cerrno> expands it, so this header stays free
// of system headers and every layer may include it.
//
// Expand it with a macro X(name, number, errnos, text):
//   errors.cpp makes the errno mapping, error_texts.cpp the texts, and the
//   constants below are kError<name>.
#pragma once

#include <cstdint>

// clang-format off
#define ZOR_SOCKET_ERRORS(X)                                                                       \
  X(Interrupted, 10004, (EINTR), "WSAEINTR: Blocking call cancelled by WSACancelBlockingCall()")   \
  X(BadHandle, 10009, (EBADF), "WSAEBADF")                                                         \
  X(AccessDenied, 10013, (EACCES),                                                                 \
    "WSAEACCES: Requested address is a broadcast address, no flags set")                           \
  X(Fault, 10014, (EFAULT), "WSAEFAULT: Name/Address buffer is too small")                         \
  X(Invalid, 10022, (EINVAL),                                                                      \
    "WSAEINVAL: listen():  The socket has not been bound or is already connected\n"                \
    "WSAEINVAL: recv():    The socket has not been bound\n"                                        \
    "WSAEINVAL: send():    The socket has not been bound\n"                                        \
    "WSAEINVAL: accept():  A call to listen() was invoked prior to calling accept()\n"             \
    "WSAEINVAL: bind():    Socket already bound to an address\n"                                   \
    "WSAEINVAL: connect(): The socket is not already bound to an address\n")                       \
  X(NoMoreHandles, 10024, (EMFILE),                                                                \
    "WSAEMFILE: listen(): No more file descriptors are available\n"                                \
    "WSAEMFILE: accept(): Queue was empty")                                                        \
  X(WouldBlock, 10035, (EWOULDBLOCK, EAGAIN),                                                      \
    "WSAEWOULDBLOCK: accept(): Socket is non-blocking and no connections waiting")                 \
  X(InProgress, 10036, (EINPROGRESS),                                                              \
    "WSAEINPROGRESS: A blocking Windows Sockets operation is in progress")                         \
  X(Already, 10037, (EALREADY), "WSAEALREADY")                                                     \
  X(NotSocket, 10038, (ENOTSOCK), "WSAENOTSOCK: The descriptor is not a socket")                   \
  X(DestinationRequired, 10039, (EDESTADDRREQ),                                                    \
    "WSAEDESTADDRREQ: A destination address is required")                                          \
  X(MessageSize, 10040, (EMSGSIZE), "WSAEMSGSIZE: Datagram too large for specified buffer")        \
  X(ProtocolType, 10041, (EPROTOTYPE),                                                             \
    "WSAEPROTOTYPE: The specified protocol is the wrong type for this socket")                     \
  X(NoProtocolOption, 10042, (ENOPROTOOPT),                                                        \
    "WSAENOPROTOOPT: The socket option specified is unknown or unsupported")                       \
  X(ProtocolNotSupported, 10043, (EPROTONOSUPPORT),                                                \
    "WSAEPROTONOSUPPORT: The specified protocol is not supported")                                 \
  X(SocketTypeNotSupported, 10044, (ESOCKTNOSUPPORT),                                              \
    "WSAESOCKTNOSUPPORT: The specified socket is not supported in selected address family")        \
  X(OperationNotSupported, 10045, (EOPNOTSUPP),                                                    \
    "WSAEOPNOTSUPP: listen(): The referenced socket does not support listening\n"                  \
    "WSAEOPNOTSUPP: recv():   Out-Of-Band was specified and socket is not SOCK_STREAM\n"           \
    "WSAEOPNOTSUPP: send():   Out-Of-Band was specified and socket is not SOCK_STREAM")            \
  X(ProtocolFamilyNotSupported, 10046, (EPFNOSUPPORT), "WSAEPFNOTSUPP")                            \
  X(AddressFamilyNotSupported, 10047, (EAFNOSUPPORT),                                              \
    "WSAEAFNOSUPPORT: Address family not supported")                                               \
  X(AddressInUse, 10048, (EADDRINUSE), "WSAEADDRINUSE: The specified address is already in use")   \
  X(AddressNotAvailable, 10049, (EADDRNOTAVAIL),                                                   \
    "WSAEADDRNOTAVAIL: The specified address is not available from the local computer")            \
  X(NetworkDown, 10050, (ENETDOWN), "WSAENETDOWN: The network subsystem has failed")               \
  X(NetworkUnreachable, 10051, (ENETUNREACH),                                                      \
    "WSAENETUNREACH: The network can't be reached from this host at this time")                    \
  X(NetworkReset, 10052, (ENETRESET),                                                              \
    "WSAENETRESET: The connection must be reset due being dropped")                                \
  X(ConnectionAborted, 10053, (ECONNABORTED),                                                      \
    "WSAECONNABORTED: The virtual circuit was aborted due to a timeout or other failure")          \
  X(ConnectionReset, 10054, (ECONNRESET, EPIPE),                                                   \
    "WSAECONNRESET: The virtual circuit was reset by the remote host")                             \
  X(NoBuffers, 10055, (ENOBUFS), "WSAENOBUFS: No buffer space available")                          \
  X(IsConnected, 10056, (EISCONN), "WSAEISCONN: The socket is already connected")                  \
  X(NotConnected, 10057, (ENOTCONN), "WSAENOTCONN: The socket is not connected")                   \
  X(Shutdown, 10058, (ESHUTDOWN), "WSAESHUTDOWN: The socket has been shutdown. Cannot receive")    \
  X(TooManyReferences, 10059, (ETOOMANYREFS), "WSAETOOMANYREFS")                                   \
  X(TimedOut, 10060, (ETIMEDOUT),                                                                  \
    "WSAETIMEDOUT: Attempt to connect timed out without establishing a connection")                \
  X(ConnectionRefused, 10061, (ECONNREFUSED),                                                      \
    "WSAECONNREFUSED: The attempt to connect was forcibly rejected")                               \
  X(Loop, 10062, (ELOOP), "WSAELOOP")                                                              \
  X(NameTooLong, 10063, (ENAMETOOLONG), "WSAENAMETOOLONG")                                         \
  X(HostDown, 10064, (EHOSTDOWN), "WSAEHOSTDOWN")                                                  \
  X(HostUnreachable, 10065, (EHOSTUNREACH), "WSAEHOSTUNREACH")                                     \
  X(NotEmpty, 10066, (ENOTEMPTY), "WSAENOTEMPTY")                                                  \
  X(ProcessLimit, 10067, (), "WSAEPROCLIM")                                                        \
  X(Users, 10068, (EUSERS), "WSAEUSERS")                                                           \
  X(DiskQuota, 10069, (EDQUOT), "WSAEDQUOT")                                                       \
  X(Stale, 10070, (ESTALE), "WSAESTALE")                                                           \
  X(Remote, 10071, (EREMOTE), "WSAEREMOTE")                                                        \
  X(SystemNotReady, 10091, (), "WSASYSNOTREADY: System not ready")                                 \
  X(VersionNotSupported, 10092, (), "WSAVERNOTSUPPORTED: Version not supported")                   \
  X(NotInitialised, 10093, (), "WSANOTINITIALISED: System not initialised")                        \
  X(Disconnecting, 10101, (), "WSAEDISCON")                                                        \
  X(HostNotFound, 11001, (), "WSAHOST_NOT_FOUND: Authorative answer - host not found")             \
  X(TryAgain, 11002, (),                                                                           \
    "WSATRY_AGAIN: Non-authorative answer - host not found, or Server failed")                     \
  X(NoRecovery, 11003, (), "WSANO_RECOVERY: Non-recoverable errors: FORMERR, REFUSED and NOTIMP")  \
  X(NoData, 11004, (), "WSANO_DATA: Valid name, no data record of requested type")
// clang-format on

namespace zortcp::platform {

#define ZOR_SOCKET_ERROR_CONSTANT(name, number, errnos, text) \
  inline constexpr int32_t kError##name = number;
ZOR_SOCKET_ERRORS(ZOR_SOCKET_ERROR_CONSTANT)
#undef ZOR_SOCKET_ERROR_CONSTANT

}  // namespace zortcp::platform
