// SPDX-License-Identifier: MIT
#include "diagnostics/config_file.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "core/control_block.h"
#include "core/text.h"
#include "diagnostics/peer_list.h"
#include "platform/platform.h"

namespace zortcp {
namespace {

// Read by the open, written by ZorChangeDefault and ZorChangeBufferSizes;
// constant-initialised so that it holds its values before any code runs.
constinit LibraryDefaults gDefaults;

// A line arrives in reads of at most 255 characters: a longer line is taken
// as several lines.
constexpr int kLineBufferSize = 260;
constexpr int kCharactersPerRead = 255;
// A configuration file is a few dozen lines; whatever lies beyond this is
// not read.
constexpr size_t kMaxConfigFileBytes = 64 * 1024;

enum class Keyword {
  kServiceType,
  kServiceName,
  kConnectRetryCount,
  kLookupHostName,
  kDebugLevel,
  kDebugOutputFile,
  kFastTransfer,
  kKeepAlive,
  kConnectTimeout,
  kAllowedPeers,
};

struct KeywordEntry {
  std::string_view name;
  Keyword keyword;
};

// Searched in this order; the first equal entry decides.
constexpr KeywordEntry kKeywords[] = {
    {"Service Type", Keyword::kServiceType},
    {"Service Name", Keyword::kServiceName},
    {"Connect Retry Count", Keyword::kConnectRetryCount},
    {"Lookup Host Name", Keyword::kLookupHostName},
    {"Debug Level", Keyword::kDebugLevel},
    {"Debug Output File", Keyword::kDebugOutputFile},
    {"Fast Transfer", Keyword::kFastTransfer},
    {"Keep Alive", Keyword::kKeepAlive},
    {"Connect Timeout", Keyword::kConnectTimeout},
    {"Allowed Peers", Keyword::kAllowedPeers},
};

// Locale-independent on purpose: the host may have set any locale.
char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool IsWhiteSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsTrailingJunk(char c) { return c == '\n' || c == '\r' || IsBlank(c); }

bool IsComment(const char* line) {
  return line[0] == ';' || line[0] == '#' || (line[0] == '/' && line[1] == '/');
}

bool IsAffirmative(std::string_view value) {
  return EqualIgnoringAsciiCase(value, "YES") || EqualIgnoringAsciiCase(value, "ON") ||
         EqualIgnoringAsciiCase(value, "TRUE");
}

// Reads a decimal integer as strtol does (white space, sign, digits; no
// digits gives 0), saturating at the limits of 32 bits.
int32_t ParseInteger(std::string_view value) {
  size_t i = 0;
  while (i < value.size() && IsWhiteSpace(value[i])) ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) {
    negative = value[i] == '-';
    ++i;
  }
  const int64_t limit = negative ? -int64_t{INT32_MIN} : int64_t{INT32_MAX};
  int64_t magnitude = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    magnitude = magnitude * 10 + (value[i] - '0');
    if (magnitude > limit) magnitude = limit;
  }
  return static_cast<int32_t>(negative ? -magnitude : magnitude);
}

// A number from 0 to max goes into the setting; any other leaves it as it
// was.
void ApplyRangedNumber(uint32_t& setting, std::string_view value, uint32_t max) {
  const int32_t number = ParseInteger(value);
  if (number >= 0 && static_cast<uint32_t>(number) <= max) setting = static_cast<uint32_t>(number);
}

void ApplyKeyword(PortSettings& settings, Keyword keyword, std::string_view value) {
  switch (keyword) {
    case Keyword::kServiceType:
      CopyText(settings.serviceType, value);
      break;
    case Keyword::kServiceName:
      CopyText(settings.serviceName, value);
      break;
    case Keyword::kConnectRetryCount:
      settings.connectRetryCount = ParseInteger(value);
      break;
    case Keyword::kLookupHostName:
      // Only ever turns it on, so one affirmative line anywhere wins.
      if (IsAffirmative(value)) settings.lookupHostName = true;
      break;
    case Keyword::kDebugLevel:
      settings.debugLevel = ParseInteger(value);
      break;
    case Keyword::kDebugOutputFile:
      CopyText(settings.debugOutputFile, value);
      break;
    case Keyword::kFastTransfer:
      if (IsAffirmative(value)) settings.fastTransfer = true;
      break;
    case Keyword::kKeepAlive:
      ApplyRangedNumber(settings.keepAliveSeconds, value, kMaxKeepAliveSeconds);
      break;
    case Keyword::kConnectTimeout:
      ApplyRangedNumber(settings.connectTimeoutMs, value, kMaxConnectTimeoutMs);
      break;
    case Keyword::kAllowedPeers:
      // A list longer than one line goes on in further lines.
      AddAllowedPeers(settings.allowedPeers, value);
      break;
  }
}

void ApplyKey(PortSettings& settings, std::string_view key, std::string_view value) {
  for (const KeywordEntry& entry : kKeywords) {
    if (EqualIgnoringAsciiCase(key, entry.name)) {
      ApplyKeyword(settings, entry.keyword, value);
      return;
    }
  }
}

// One line as read, possibly a piece of a longer one.
void ApplyLine(PortSettings& settings, char* line) {
  size_t length = std::strlen(line);
  if (length == 0) return;
  while (length > 0 && IsTrailingJunk(line[length - 1])) --length;
  line[length] = '\0';
  // The mark must be the line's very first character: an indented mark
  // leaves a key that matches nothing.
  if (IsComment(line)) return;

  const std::string_view text(line, length);
  const size_t keyStart = text.find_first_not_of(" \t");
  if (keyStart == std::string_view::npos) return;
  const size_t equals = text.find('=', keyStart);
  if (equals == std::string_view::npos) return;

  // Blanks in front of the "=" stay in the key, which then matches nothing.
  const std::string_view key = text.substr(keyStart, equals - keyStart);
  std::string_view value = text.substr(equals + 1);
  while (!value.empty() && IsBlank(value.front())) value.remove_prefix(1);
  ApplyKey(settings, key, value);
}

}  // namespace

LibraryDefaults& Defaults() { return gDefaults; }

PortSettings ReadConfigFile(const char* fileName, PortSettings settings) {
  // Only a regular file is read, and only as much of it as is there at once
  // up to the bound: a device that never ends (/dev/zero), a pipe without a
  // writer or a file whose reads wait (/proc/kmsg) must not hold the open.
  std::string contents;
  if (!platform::ReadRegularFile(fileName, kMaxConfigFileBytes, &contents)) return settings;
  // Editors on Windows begin a UTF-8 file with a byte-order mark, which
  // would otherwise make the first keyword match nothing.
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  const size_t first = contents.starts_with(kByteOrderMark) ? kByteOrderMark.size() : 0;
  char line[kLineBufferSize];
  for (size_t start = first; start < contents.size();) {
    // A piece ends after its line end or at the read limit; a zero byte in
    // it ends the line early, as it does for any C string.
    const size_t limit = std::min(contents.size() - start, size_t{kCharactersPerRead});
    const size_t lineEnd = contents.find('\n', start);
    const size_t length =
        lineEnd != std::string::npos && lineEnd - start < limit ? lineEnd - start + 1 : limit;
    std::memcpy(line, contents.data() + start, length);
    line[length] = '\0';
    ApplyLine(settings, line);
    start += length;
  }
  return settings;
}

}  // namespace zortcp
