// Fixed-capacity texts: a copy is cut to the field's capacity less one and
// always ends in a terminator; a null source counts as empty.
#pragma once

#include <cstddef>
#include <cstring>

namespace zortcp {

inline void CopyText(char* destination, size_t capacity, const char* source) {
  if (capacity == 0) return;
  size_t length = source == nullptr ? 0 : ::strnlen(source, capacity - 1);
  std::memcpy(destination, source == nullptr ? "" : source, length);
  destination[length] = '\0';
}

template <size_t N>
void CopyText(char (&destination)[N], const char* source) {
  CopyText(destination, N, source);
}

inline bool StartsWithDigit(const char* text) { return text[0] >= '0' && text[0] <= '9'; }

}  // namespace zortcp
