// SPDX-License-Identifier: MIT
#include "lifecycle/host_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace zortcp::testing {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kSendChunk = 16384;
constexpr int kPollMs = 10;

milliseconds Left(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? left : milliseconds(0);
}

// The test's environment with the additions; NAME_OPTIONS=... is appended
// to the variable the test runs with, so that a sanitizer keeps its options.
std::vector<std::string> Environment(const std::vector<std::string>& additions) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) result.emplace_back(*entry);
  for (const std::string& addition : additions) {
    const std::string name = addition.substr(0, addition.find('=') + 1);
    auto same = std::find_if(result.begin(), result.end(),
                             [&](const std::string& entry) { return entry.starts_with(name); });
    if (same == result.end()) {
      result.push_back(addition);
    } else if (name.ends_with("_OPTIONS=")) {
      *same += ":" + addition.substr(name.size());
    } else {
      *same = addition;
    }
  }
  return result;
}

std::vector<char*> Pointers(std::vector<std::string>& words) {
  std::vector<char*> pointers;
  for (auto& word : words) pointers.push_back(word.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

std::string HostName(const ::testing::TestParamInfo<Host>& info) {
  return info.param == Host::kProgram ? "C" : "Python";
}

const char* WhyHostCannotRun(Host host) {
  if (host == Host::kProgram) return nullptr;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return "python3 cannot load a library built with a sanitizer; the C host runs the same case";
#else
  if (std::system("python3 -c '' >/dev/null 2>&1") != 0) return "no python3";
  return nullptr;
#endif
}

HostProcess::HostProcess(Host host, const std::string& scenario,
                         const std::vector<std::string>& arguments,
                         const std::vector<std::string>& environment) {
  std::vector<std::string> words{LIFECYCLE_HOST_PATH, scenario, ZORTCP_LIBRARY_PATH};
  if (host == Host::kScript) {
    words = {"/usr/bin/env", "python3", LIFECYCLE_SCRIPT_HOST_PATH, scenario, ZORTCP_LIBRARY_PATH};
  }
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<std::string> variables = Environment(environment);
  std::vector<char*> argv = Pointers(words);
  std::vector<char*> envp = Pointers(variables);
  int in[2];
  int out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  pid_ = ::fork();
  if (pid_ == 0) {
    // Nothing is allocated between fork and exec.
    ::dup2(in[0], STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(out[1], STDERR_FILENO);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  inFd_ = in[1];
  outFd_ = out[0];
  if (pid_ < 0) throw std::runtime_error("fork");
}

HostProcess::~HostProcess() {
  CloseInput();
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (outFd_ >= 0) ::close(outFd_);
}

bool HostProcess::ReadMore(milliseconds timeout) {
  if (outFd_ < 0) return false;
  pollfd entry{outFd_, POLLIN, 0};
  if (::poll(&entry, 1, static_cast<int>(timeout.count())) <= 0) return true;
  char buffer[4096];
  const ssize_t count = ::read(outFd_, buffer, sizeof(buffer));
  if (count <= 0) {
    ::close(outFd_);
    outFd_ = -1;
    return false;
  }
  output_.append(buffer, static_cast<size_t>(count));
  return true;
}

std::optional<std::string> HostProcess::WaitForLine(const std::string& prefix,
                                                    milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    size_t end;
    while ((end = output_.find('\n', consumed_)) != std::string::npos) {
      const std::string line = output_.substr(consumed_, end - consumed_);
      consumed_ = end + 1;
      if (line.starts_with(prefix)) return line.substr(prefix.size());
    }
    if (Left(deadline).count() == 0 || !ReadMore(Left(deadline))) return std::nullopt;
  }
}

void HostProcess::CloseInput() {
  if (inFd_ >= 0) ::close(inFd_);
  inFd_ = -1;
}

HostEnd HostProcess::Wait(milliseconds timeout) {
  const auto start = Clock::now();
  const auto deadline = start + timeout;
  HostEnd end;
  int status = 0;
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (Left(deadline).count() == 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
      return end;
    }
    ReadMore(milliseconds(1));
  }
  end.took = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
  pid_ = -1;
  while (ReadMore(milliseconds(100))) {
  }
  end.exited = WIFEXITED(status);
  end.status = end.exited ? WEXITSTATUS(status) : WTERMSIG(status);
  return end;
}

TrafficPeers::TrafficPeers(bool send) : send_(send) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listenFd_, 64) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("listener");
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Run(); });
}

TrafficPeers::~TrafficPeers() {
  stop_ = true;
  thread_.join();
  for (const Peer& peer : peers_) ::close(peer.fd);
  ::close(listenFd_);
}

size_t TrafficPeers::Connections() const {
  std::lock_guard lock(mutex_);
  return peers_.size();
}

std::vector<uint64_t> TrafficPeers::Received() const {
  std::lock_guard lock(mutex_);
  std::vector<uint64_t> counts;
  for (const Peer& peer : peers_) counts.push_back(peer.received);
  return counts;
}

size_t TrafficPeers::Ended() const {
  std::lock_guard lock(mutex_);
  return static_cast<size_t>(
      std::count_if(peers_.begin(), peers_.end(), [](const Peer& peer) { return peer.ended; }));
}

void TrafficPeers::Serve(Peer& peer, short events) {
  static const std::vector<char> chunk(kSendChunk, 'p');
  if ((events & (POLLIN | POLLHUP | POLLERR)) != 0) {
    char buffer[65536];
    const ssize_t count = ::recv(peer.fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (count > 0) peer.received += static_cast<uint64_t>(count);
    if (count == 0 || (count < 0 && errno != EAGAIN && errno != EINTR)) peer.ended = true;
  }
  if (!peer.ended && (events & POLLOUT) != 0)
    ::send(peer.fd, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
}

void TrafficPeers::Run() {
  while (!stop_) {
    std::vector<pollfd> watched{{listenFd_, POLLIN, 0}};
    {
      std::lock_guard lock(mutex_);
      for (const Peer& peer : peers_) {
        const short events = static_cast<short>(POLLIN | (send_ ? POLLOUT : 0));
        watched.push_back({peer.ended ? -1 : peer.fd, events, 0});
      }
    }
    if (::poll(watched.data(), watched.size(), kPollMs) <= 0) continue;
    std::lock_guard lock(mutex_);
    for (size_t index = 1; index < watched.size(); ++index) {
      if (watched[index].revents != 0) Serve(peers_[index - 1], watched[index].revents);
    }
    if ((watched[0].revents & POLLIN) != 0) {
      const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd >= 0) peers_.push_back(Peer{fd});
    }
  }
}

}  // namespace zortcp::testing
