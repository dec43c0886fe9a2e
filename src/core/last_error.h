// SPDX-License-Identifier: MIT
// The library-wide last-error record: error number, location and text of
// the most recent failure, never cleared. Writes and reads take one lock so
// that a reader never sees two failures mixed.
#pragma once

#include <cstdint>
#include <string_view>

namespace zortcp {

inline constexpr int32_t kErrorTextSize = 288;  // 287 characters

// Sets all three fields; the text is cut to 287 characters.
void StoreFailure(int32_t location, int32_t code, std::string_view text);
// Sets the location and number only (a would-block result).
void StoreFailureNumbers(int32_t location, int32_t code);
// Sets the number only.
void StoreErrorCode(int32_t code);

struct LastError {
  int32_t code;
  int32_t location;
  char text[kErrorTextSize];
};
LastError ReadLastError();

// Around a fork: the record's lock is held, so that the child never finds
// it held by a thread that does not exist there.
void HoldLastErrorForFork();
void ReleaseLastErrorAfterFork();

// Back to 0, 0 and empty; tests only (the library never clears it).
void ResetLastErrorForTesting();

}  // namespace zortcp
