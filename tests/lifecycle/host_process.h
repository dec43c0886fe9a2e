// SPDX-License-Identifier: MIT
// The life-cycle tests' two halves: the host program (host/lifecycle_host.cpp)
// run as a child process with a scenario, and plain peers on 127.0.0.1 that
// its client ports connect to. Every wait is bounded; a host still running
// at the end is killed and reaped.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace zortcp::testing {

using std::chrono::milliseconds;

struct HostEnd {
  bool exited = false;   // false: killed at the time-out, or ended by a signal
  int status = -1;       // the exit status, or the signal's number
  milliseconds took{0};  // from the call to Wait to the end
};

// The C host (host/lifecycle_host.cpp), or the script host
// (host/script_host.py: Python calling the library through ctypes), which
// knows some of its scenarios.
enum class Host { kProgram, kScript };

std::string HostName(const ::testing::TestParamInfo<Host>& info);
inline void PrintTo(Host host, std::ostream* out) {
  *out << (host == Host::kProgram ? "C" : "Python");
}

// Why the host cannot run here (nullptr when it can): the script host
// needs python3, and cannot load a library built with a sanitizer.
const char* WhyHostCannotRun(Host host);

class HostProcess {
 public:
  // Runs the host with "<scenario> <library> <arguments...>"; environment
  // entries NAME=VALUE are added (an *_OPTIONS entry is appended to the
  // variable that the test itself runs with).
  HostProcess(const std::string& scenario, const std::vector<std::string>& arguments,
              const std::vector<std::string>& environment = {})
      : HostProcess(Host::kProgram, scenario, arguments, environment) {}
  HostProcess(Host host, const std::string& scenario, const std::vector<std::string>& arguments,
              const std::vector<std::string>& environment = {});
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  // The rest of the next line (standard output and error) that starts with
  // prefix; none at the time-out or the end of the output.
  std::optional<std::string> WaitForLine(const std::string& prefix, milliseconds timeout);
  // Everything the host has written so far, for failure messages.
  const std::string& output() const { return output_; }
  void CloseInput();
  HostEnd Wait(milliseconds timeout);

 private:
  bool ReadMore(milliseconds timeout);

  pid_t pid_ = -1;
  int inFd_ = -1;
  int outFd_ = -1;
  std::string output_;
  size_t consumed_ = 0;  // output already searched by WaitForLine
};

// A listener that accepts every connection, keeps sending to each (unless
// told not to) and reads whatever arrives, on a thread of its own.
class TrafficPeers {
 public:
  explicit TrafficPeers(bool send = true);
  ~TrafficPeers();
  TrafficPeers(const TrafficPeers&) = delete;
  TrafficPeers& operator=(const TrafficPeers&) = delete;

  std::string PortText() const { return std::to_string(port_); }
  size_t Connections() const;
  // Bytes received on each connection, in the order they were accepted.
  std::vector<uint64_t> Received() const;
  // Connections that the other side has ended (end of stream or reset).
  size_t Ended() const;

 private:
  struct Peer {
    int fd;
    uint64_t received = 0;
    bool ended = false;
  };
  void Run();
  void Serve(Peer& peer, short events);

  bool send_;
  int listenFd_ = -1;
  uint16_t port_ = 0;
  mutable std::mutex mutex_;
  std::vector<Peer> peers_;  // guarded by mutex_
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace zortcp::testing
