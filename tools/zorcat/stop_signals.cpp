// SPDX-License-Identifier: MIT
#include "zorcat/stop_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <system_error>

namespace zorcat {
namespace {

volatile std::sig_atomic_t receivedSignal = 0;
int signalPipe[2] = {-1, -1};

extern "C" void OnStopSignal(int number) {
  const int savedErrno = errno;
  if (receivedSignal == 0) receivedSignal = number;
  const char byte = 1;
  [[maybe_unused]] ssize_t written = ::write(signalPipe[1], &byte, 1);
  errno = savedErrno;
}

}  // namespace

void StopSignals::Install() {
  if (signalPipe[0] >= 0) return;
  if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw std::system_error(errno, std::generic_category(), "signal pipe");
  }
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a write to a standard output that nobody reads returns
  // on Ctrl-C instead of holding zorcat.
  action.sa_flags = 0;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

StopSignals::Deferred::Deferred() {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &stops, &previous_);
}

StopSignals::Deferred::~Deferred() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

int StopSignals::Descriptor() { return signalPipe[0]; }

int StopSignals::Received() { return receivedSignal; }

}  // namespace zorcat
