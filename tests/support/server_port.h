// SPDX-License-Identifier: MIT
// Server ports for the tests: opened on a port that the system chooses,
// with what the tests compare (the debug log, the hosts file's name of an
// address) in a form they can compare directly. The last-error record, the
// statistics and the port's data are read through port_io.h.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "support/event_recorder.h"
#include "support/library_fixture.h"
#include "support/loopback_peer.h"
#include "support/port_io.h"
#include "support/temp_directory.h"
#include "zortcp.h"

namespace zortcp::testing {

// Opens a server port on the service "0", so that the system picks a free
// port, and reads the port back. -1 (with a test failure) when the open
// fails.
inline int32_t OpenServer(const char* host, const char* configFile, uint16_t* port,
                          uint32_t flags = ZOR_OPEN_SERVER) {
  ZorChangeDefault(ZOR_DEFAULT_SERVICE, "0", 2);
  int32_t handle = -1;
  const int32_t result = ZorOpenPort(host, 0, flags, configFile, &handle);
  EXPECT_EQ(result, 0) << "server open failed";
  if (result != 0) return -1;
  uint32_t chosen = 0;
  int32_t length = 0;
  ZorGetConfig(handle, ZOR_CONFIG_SERVICE_PORT, &chosen, &length);
  EXPECT_NE(chosen, 0u);
  if (port != nullptr) *port = static_cast<uint16_t>(chosen);
  return handle;
}

// Connects to a server port. Its receive monitor starts listening only
// after the open has returned, so refused attempts are repeated for a while.
inline PeerConnection ConnectToServer(uint16_t port) {
  PeerConnection peer;
  WaitUntil(
      [&] {
        peer = ConnectLoopback(port);
        return peer.IsOpen();
      },
      std::chrono::seconds(5));
  return peer;
}

// The peer sends a text and the port delivers it, and the other way round.
inline void ExpectServed(int32_t handle, PeerConnection& peer, const std::string& inbound,
                         const std::string& outbound) {
  ASSERT_TRUE(peer.SendAll(inbound));
  EXPECT_EQ(Text(ReadPortExactly(handle, inbound.size(), std::chrono::seconds(5))), inbound);
  ASSERT_EQ(ZorWritePort(handle, outbound.data(), static_cast<int32_t>(outbound.size())), 0);
  EXPECT_EQ(Text(peer.ReceiveExactly(outbound.size(), std::chrono::seconds(5))), outbound);
}

// The lines of a debug log without their time stamps.
inline std::vector<std::string> LogLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.front() == '[') {
      const size_t end = line.find("] ");
      if (end != std::string::npos) line.erase(0, end + 2);
    }
    lines.push_back(line);
  }
  return lines;
}

inline size_t CountLinesContaining(const std::vector<std::string>& lines, const std::string& text) {
  size_t count = 0;
  for (const auto& line : lines) count += line.find(text) != std::string::npos ? 1u : 0u;
  return count;
}

// The first name that /etc/hosts gives an address: what the resolver
// answers for it without asking a name server.
inline std::string HostsFileNameOf(const std::string& address) {
  std::ifstream hosts("/etc/hosts");
  for (std::string line; std::getline(hosts, line);) {
    line = line.substr(0, line.find('#'));
    std::istringstream fields(line);
    std::string first;
    std::string name;
    if (fields >> first >> name && first == address) return name;
  }
  return {};
}

// The last-error record as the host finds it from within each 5/4 event
// (the failure that the event reports), noted on the monitor's thread.
class FailureNotes {
 public:
  explicit FailureNotes(EventRecorder& recorder) {
    recorder.SetCallback([this](const RecordedEvent& event) {
      std::function<void(const RecordedEvent&)> hold;
      {
        std::lock_guard lock(mutex_);
        hold = hold_;
      }
      if (hold) hold(event);
      if (event.kind != ZOR_EVENT_ERROR || event.value != ZOR_ERROR_RECORDED) return;
      const LastErrorView values = LastErrorNow();
      std::lock_guard lock(mutex_);
      notes_.push_back(values);
    });
  }
  std::vector<LastErrorView> Notes() const {
    std::lock_guard lock(mutex_);
    return notes_;
  }
  // A note is taken just after the recorder has the event: a test that has
  // waited for a 5/4 waits for its note too.
  bool WaitForNotes(size_t count) const {
    return WaitUntil([&] { return Notes().size() >= count; }, std::chrono::seconds(5));
  }
  // Runs first in the handler, on the monitor's thread: a test may hold the
  // monitor at an event there.
  void HoldAt(std::function<void(const RecordedEvent&)> hold) {
    std::lock_guard lock(mutex_);
    hold_ = std::move(hold);
  }
  std::vector<int32_t> Locations() const {
    std::vector<int32_t> locations;
    for (const auto& note : Notes()) locations.push_back(note.location);
    return locations;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<LastErrorView> notes_;
  std::function<void(const RecordedEvent&)> hold_;
};

// A loaded library, an event recorder with its failure notes and a
// directory for configuration files and logs. They outlive the unload at
// the end of the test, so that no monitor ever calls a recorder that has
// gone.
class ServerPortTest : public LoadedLibrary {
 protected:
  // Writes a configuration file of the given lines and returns its path.
  std::string ConfigFile(const std::string& name, const std::string& lines) {
    const std::string path = directory.File(name);
    WriteFile(path, lines);
    return path;
  }

  // A configuration file that logs at level 1 to the returned log path.
  std::string LoggingConfig(const std::string& name, std::string* logPath,
                            const std::string& moreLines = "") {
    *logPath = directory.File(name + ".log");
    return ConfigFile(name + ".cfg",
                      "Debug Level=1\nDebug Output File=" + *logPath + "\n" + moreLines);
  }

  // Registers the event recorder, opens a server port on 127.0.0.1 (with
  // the configuration file, or none) and connects a first peer, waiting for
  // its kind 1 event. A failed open or connect is fatal: call it inside
  // ASSERT_NO_FATAL_FAILURE. port may be null when no other peer follows.
  void OpenServerWithPeer(const char* configFile, int32_t* handle, uint16_t* port,
                          PeerConnection* peer) {
    events.Register();
    uint16_t chosen = 0;
    *handle = OpenServer("127.0.0.1", configFile, &chosen);
    ASSERT_GE(*handle, 0);
    if (port != nullptr) *port = chosen;
    *peer = ConnectToServer(chosen);
    ASSERT_TRUE(peer->IsOpen());
    WaitForConnected();
  }

  // Waits for the kind 1 event of the n-th peer and returns its text.
  std::string WaitForConnected(size_t n = 1) {
    EXPECT_TRUE(events.WaitForCount(ZOR_EVENT_CONNECTED, -1, n, std::chrono::seconds(5)))
        << "no connected event";
    std::string text;
    size_t seen = 0;
    for (const auto& event : events.Events()) {
      if (event.kind == ZOR_EVENT_CONNECTED && ++seen == n) text = event.text;
    }
    return text;
  }

  TempDirectory directory;
  EventRecorder events;
  FailureNotes failures{events};
};

}  // namespace zortcp::testing
