// SPDX-License-Identifier: MIT
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

// Records the calling thread's last socket error at a location, with its
// socket error text; returns the number.
int32_t RecordSocketFailure(int32_t location);
// Records the calling thread's last system error at a location, with its
// system error text; returns the number.
int32_t RecordSystemFailure(int32_t location);

}  // namespace zortcp
