// SPDX-License-Identifier: MIT
#include "core/last_error.h"

#include <cstring>
#include <mutex>
#include <type_traits>

#include "core/text.h"
#include "platform/never_destroyed.h"
#include "platform/platform.h"

namespace zortcp {
namespace {

struct LastErrorRecord {
  int32_t errorCode = 0;
  int32_t errorLocation = 0;
  char errorText[kErrorTextSize] = {};
};

// One lock for writers and readers, so that a reader never finds the
// numbers of one failure beside the text of another.
// Nothing here is destroyed at exit before the library's unload, which may
// still record failures (a mutex is not trivially destructible everywhere).
NeverDestroyed<std::mutex> recordLock;
LastErrorRecord record;
static_assert(std::is_trivially_destructible_v<LastErrorRecord>);

}  // namespace

void StoreFailure(int32_t location, int32_t code, std::string_view text) {
  std::lock_guard guard(*recordLock);
  record.errorLocation = location;
  record.errorCode = code;
  CopyText(record.errorText, text);
}

void StoreFailureNumbers(int32_t location, int32_t code) {
  std::lock_guard guard(*recordLock);
  record.errorLocation = location;
  record.errorCode = code;
}

void StoreErrorCode(int32_t code) {
  std::lock_guard guard(*recordLock);
  record.errorCode = code;
}

void HoldLastErrorForFork() { recordLock->lock(); }
void ReleaseLastErrorAfterFork() { recordLock->unlock(); }

LastError ReadLastError() {
  std::lock_guard guard(*recordLock);
  LastError copy;
  copy.code = record.errorCode;
  copy.location = record.errorLocation;
  std::memcpy(copy.text, record.errorText, kErrorTextSize);
  copy.text[kErrorTextSize - 1] = '\0';
  return copy;
}

void ResetLastErrorForTesting() {
  std::lock_guard guard(*recordLock);
  record = LastErrorRecord{};
}

}  // namespace zortcp
