// SPDX-License-Identifier: MIT
// Events, failures and counters in words.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "zorcat/event_feed.h"
#include "zortcp.h"

namespace zorcat {

// "14:03:27.512", local time.
std::string TimeOfDay(std::chrono::system_clock::time_point when);

// "connected: localhost, Port: 12999", "received 7 bytes",
// "error: failure recorded: location 1002, error 10061: WSAECONNREFUSED: ...".
std::string DescribeEvent(const PortEvent& event);

// "location 12, error 11001: WSAHOST_NOT_FOUND: ..." from the numbers and
// text of a last-error record; a text of several lines is joined with "; ".
std::string DescribeFailure(int32_t location, int32_t code, const std::string& text);

// The library's last-error record, described as above.
std::string LastFailure();

// "rxBytes 7, txBytes 7, rxErrors 0, txErrors 0, connectErrors 0".
std::string DescribeStatistics(const ZorPortStatistics& statistics);

// "1.5 MiB" and "3.4 MB/s" for the progress line and the summaries.
std::string ByteSize(uint64_t bytes);
std::string ByteRate(uint64_t bytes, std::chrono::steady_clock::duration elapsed);

// Whether a failure at this location ends the port's receive monitor for
// good, so that the port will carry no more data until it is reopened.
bool EndsReceiveMonitor(int32_t location);

}  // namespace zorcat
