// The Winsock numbers that the platform layer reports of its own accord,
// rather than by mapping a system error (errors.cpp holds that table).
#pragma once

#include <cstdint>

namespace zortcp::platform::posix {

inline constexpr int32_t kErrorInterrupted = 10004;    // closed under a waiting call
inline constexpr int32_t kErrorFault = 10014;          // missing or too small buffer
inline constexpr int32_t kErrorInvalid = 10022;        // invalid argument
inline constexpr int32_t kErrorNoMoreHandles = 10024;  // socket handles used up
inline constexpr int32_t kErrorWouldBlock = 10035;
inline constexpr int32_t kErrorNotSocket = 10038;      // handle closed or never handed out
inline constexpr int32_t kErrorNoBuffers = 10055;      // out of memory
inline constexpr int32_t kErrorTimedOut = 10060;       // a connect that outlived its time-out
inline constexpr int32_t kHostNotFound = 11001;
inline constexpr int32_t kTryAgain = 11002;
inline constexpr int32_t kNoRecovery = 11003;
inline constexpr int32_t kNoData = 11004;  // no IPv4 address, or unknown service

}  // namespace zortcp::platform::posix
