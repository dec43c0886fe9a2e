// SPDX-License-Identifier: MIT
// Helpers for tests of client ports against a plain-socket peer on
// 127.0.0.1: a fixture with a loaded library, a listener that new client
// ports are pointed at and an event recorder, plus small readers of the
// process's threads and descriptors. The port readers (last error,
// statistics, data) come from port_io.h.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "support/event_recorder.h"
#include "support/library_fixture.h"
#include "support/loopback_peer.h"
#include "support/port_io.h"
#include "zortcp.h"

namespace zortcp::testing {

// Generous bounds: the machine is small and shared, and sanitizers slow it.
inline constexpr milliseconds kWait{5000};
inline constexpr milliseconds kQuiet{300};  // how long "nothing happens" is watched

// Library-wide defaults for the ports opened next.
void UseService(const std::string& service);
void UseService(uint16_t port);
void UseRetryCount(int32_t count);

// Threads, open descriptors (handles on Windows) and resident memory of
// this process; one version per system (process_probes_*.cpp).
size_t ThreadCount();
// ThreadCount once the runtime's own threads (a sanitizer's, started with
// the first thread) exist: the count that a test ends with again.
size_t BaselineThreadCount();
size_t DescriptorCount();
size_t ResidentBytes();
// Threads of this process at the highest priority (nice -20 on Linux), and
// whether this process may raise a thread that high.
size_t ThreadsAtTimeCriticalPriority();
bool MayRaisePriority();

// Milliseconds between two recorded events.
int64_t MillisecondsBetween(const RecordedEvent& earlier, const RecordedEvent& later);

class ClientPortTest : public LoadedLibrary {
 protected:
  void SetUp() override;

  // Registers the recorder and opens a client port on host; the handle, or
  // -1 with a test failure.
  int32_t OpenClient(const char* host = "localhost");
  // Accepts the port's connection at the listener.
  PeerConnection AcceptPeer();
  // Opens a client, accepts it and waits for its connected event.
  void OpenConnected(int32_t& handle, PeerConnection& peer);
  // Waits for a kind (with value, or any for -1) to have been raised count times.
  bool WaitForEvent(int32_t kind, int32_t value = -1, size_t count = 1);
  // The first events' Sequence() entries: a port that reconnects at once
  // may already have raised more.
  std::vector<std::string> FirstEvents(size_t count) const;

  // Members outlive TearDown's unload, so that a monitor stopped there
  // still finds both.
  LoopbackListener listener;
  EventRecorder events;
};

}  // namespace zortcp::testing
