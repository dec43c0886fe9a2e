// Texts of system and socket error numbers, as recorded with failures and
// shown in log lines. Each caller gets a text of its own.
#pragma once

#include <cstdint>
#include <string>

namespace zortcp {

inline constexpr int32_t kSystemMessageCapacity = 520;   // 519 characters
inline constexpr int32_t kSocketMessageCapacity = 1024;  // 1023 characters

// The system's text for an error number in the user's language, without
// trailing line ends, or "Windows NT System Error %d Has No Message Text".
std::string SystemErrorText(int32_t errorNumber);

// The library's own text for a socket error number, or
// "Unknown Error Code: %u".
std::string SocketErrorText(uint32_t code);

}  // namespace zortcp
