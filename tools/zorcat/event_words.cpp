// SPDX-License-Identifier: MIT
#include "zorcat/event_words.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>

#include "zorcat/host_system.h"

namespace zorcat {
namespace {

constexpr size_t kErrorTextSize = 288;

struct Word {
  int32_t number;
  const char* words;
};

// Reasons of kind 2 and details of kind 5, as the header numbers them.
constexpr std::array<Word, 3> kDisconnectReasons{{
    {ZOR_DISCONNECT_PEER_CLOSED, "the peer closed the connection"},
    {ZOR_DISCONNECT_RECEIVE_FAILED, "a receive failed"},
    {ZOR_DISCONNECT_MONITOR_ENDED, "the receive monitor ended"},
}};

constexpr std::array<Word, 5> kErrorDetails{{
    {ZOR_ERROR_CONNECT_FAILED, "a connect attempt failed"},
    {ZOR_ERROR_RECEIVE_FAILED, "a receive failed"},
    {ZOR_ERROR_SEND_FAILED, "a send failed, its chunk is dropped"},
    {ZOR_ERROR_RECORDED, "failure recorded"},
    {ZOR_ERROR_RETRY_LIMIT, "the connect retry limit was reached"},
}};

// Failure locations after which the port's receive monitor ends by itself:
// no socket for a connect attempt, a failed listen, and the readiness polls
// and pending-byte counts of either receive monitor that fail.
constexpr std::array<int32_t, 9> kMonitorEndingLocations{
    ZOR_LOCATION_CLIENT_SOCKET,         ZOR_LOCATION_CLIENT_POLL,
    ZOR_LOCATION_CLIENT_PENDING_BEFORE, ZOR_LOCATION_CLIENT_PENDING_AFTER,
    ZOR_LOCATION_SERVER_LISTEN,         ZOR_LOCATION_SERVER_LISTEN_POLL,
    ZOR_LOCATION_SERVER_POLL,           ZOR_LOCATION_SERVER_PENDING_BEFORE,
    ZOR_LOCATION_SERVER_PENDING_AFTER,
};

template <size_t N>
std::string WordFor(const std::array<Word, N>& table, int32_t number) {
  for (const Word& word : table) {
    if (word.number == number) return word.words;
  }
  return "number " + std::to_string(number);
}

std::string Plural(int32_t count, const char* thing) {
  return std::to_string(count) + " " + thing + (count == 1 ? "" : "s");
}

}  // namespace

std::string TimeOfDay(std::chrono::system_clock::time_point when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() % 1000;
  const std::tm local = LocalTime(seconds);
  char text[32];
  std::snprintf(text, sizeof(text), "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                local.tm_sec, static_cast<int>(millis));
  return text;
}

std::string DescribeEvent(const PortEvent& event) {
  switch (event.kind) {
    case ZOR_EVENT_CONNECTED:
      return "connected: " + event.text;
    case ZOR_EVENT_DISCONNECTED:
      return "disconnected: " + WordFor(kDisconnectReasons, event.value);
    case ZOR_EVENT_RECEIVED:
      return "received " + Plural(event.value, "byte");
    case ZOR_EVENT_TRANSMITTED:
      return "transmitted " + Plural(event.value, "byte");
    case ZOR_EVENT_ERROR: {
      std::string words = "error: " + WordFor(kErrorDetails, event.value);
      if (event.value == ZOR_ERROR_RECORDED) {
        words += ": " + DescribeFailure(event.errorLocation, event.errorCode, event.text);
      }
      return words;
    }
    default:
      return "event of kind " + std::to_string(event.kind) + ", data " +
             std::to_string(event.value);
  }
}

std::string DescribeFailure(int32_t location, int32_t code, const std::string& text) {
  std::string joined = text;
  while (!joined.empty() && (joined.back() == '\n' || joined.back() == '\r')) joined.pop_back();
  for (size_t at = joined.find('\n'); at != std::string::npos; at = joined.find('\n', at)) {
    joined.replace(at, 1, "; ");
  }
  return "location " + std::to_string(location) + ", error " + std::to_string(code) + ": " + joined;
}

std::string LastFailure() {
  int32_t code = 0;
  int32_t location = 0;
  char text[kErrorTextSize] = {};
  ZorGetLastError(&code, &location, text);
  return DescribeFailure(location, code, text);
}

std::string DescribeStatistics(const ZorPortStatistics& statistics) {
  return "rxBytes " + std::to_string(statistics.rxBytes) + ", txBytes " +
         std::to_string(statistics.txBytes) + ", rxErrors " + std::to_string(statistics.rxErrors) +
         ", txErrors " + std::to_string(statistics.txErrors) + ", connectErrors " +
         std::to_string(statistics.connectErrors);
}

std::string ByteSize(uint64_t bytes) {
  char text[32];
  if (bytes < 1024) {
    std::snprintf(text, sizeof(text), "%llu bytes", static_cast<unsigned long long>(bytes));
  } else if (bytes < 1024 * 1024) {
    std::snprintf(text, sizeof(text), "%.1f KiB", static_cast<double>(bytes) / 1024.0);
  } else {
    std::snprintf(text, sizeof(text), "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
  }
  return text;
}

std::string ByteRate(uint64_t bytes, std::chrono::steady_clock::duration elapsed) {
  const double seconds = std::max(std::chrono::duration<double>(elapsed).count(), 0.001);
  char text[32];
  std::snprintf(text, sizeof(text), "%.2f MB/s", static_cast<double>(bytes) / seconds / 1e6);
  return text;
}

bool EndsReceiveMonitor(int32_t location) {
  return std::find(kMonitorEndingLocations.begin(), kMonitorEndingLocations.end(), location) !=
         kMonitorEndingLocations.end();
}

}  // namespace zorcat
