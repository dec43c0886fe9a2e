// SPDX-License-Identifier: MIT
// Fixed-capacity texts: a copy is cut to the field's capacity less one and
// always ends in a terminator; a null source counts as empty.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace zortcp {

inline void CopyText(char* destination, size_t capacity, std::string_view source) {
  if (capacity == 0) return;
  destination[source.copy(destination, capacity - 1)] = '\0';
}

// A C text is read no further than the field can hold.
inline void CopyText(char* destination, size_t capacity, const char* source) {
  if (source == nullptr) source = "";
  const size_t readable = capacity == 0 ? 0 : capacity - 1;
  CopyText(destination, capacity, std::string_view(source, ::strnlen(source, readable)));
}

template <size_t N, typename Source>
void CopyText(char (&destination)[N], Source source) {
  CopyText(destination, N, source);
}

inline bool StartsWithDigit(const char* text) { return text[0] >= '0' && text[0] <= '9'; }

}  // namespace zortcp
