// SPDX-License-Identifier: MIT
// The per-port debug log: time-stamped lines and raw data dumps, each
// written whole and flushed under the port's logLock. Nothing is written
// while the port has no open log or when the level is above debugLevel.
#pragma once

#include <cstdint>

namespace zortcp {

struct PortControlBlock;

// Writes one line: "[dd/mm/yyyy hh:mm:ss.mmm] " and the formatted text.
void LogMessage(PortControlBlock& block, int32_t level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Writes "Raw Data Dump - %d Bytes" and rows of 16 bytes in hexadecimal
// with their characters.
void LogDataDump(PortControlBlock& block, int32_t level, const void* data, int32_t size);

// True while the port has an open log (callers skip building log input).
bool LogIsOpen(const PortControlBlock& block);

// Creates (emptying) the file named by debugOutputFile; turns the log off
// (debugLevel 0) when it cannot be created.
void OpenDebugLog(PortControlBlock& block);

// Closes the stream and clears logFile as one step with respect to the
// writers: no line reaches the file afterwards.
void CloseDebugLog(PortControlBlock& block);

// In a child process after a fork: lets go of the copy of the parent's log
// without writing to it (a line that a thread of the parent had half
// written stays the parent's) and without taking its lock.
void ForgetInheritedLog(PortControlBlock& block);

}  // namespace zortcp
