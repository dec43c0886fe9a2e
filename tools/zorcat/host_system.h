// SPDX-License-Identifier: MIT
// What zorcat asks of the operating system beyond the library and the
// standard library: its standard descriptors and what a --log path names.
// host_system_posix.cpp implements it for Linux; another system gets a file
// of its own beside it.
#pragma once

#include <string>

namespace zorcat {

// Opens the null device on each of standard input, output and error that
// was closed when zorcat started, so that no pipe, socket or file opened
// later takes their place. Called first thing in main.
void OpenMissingStandardStreams();

// What zorcat finds, before the port opens, about the file that --log
// names: why the library could not keep its debug log there, or nothing.
class LogPathCheck {
 public:
  explicit LogPathCheck(const std::string& path);
  ~LogPathCheck();
  LogPathCheck(const LogPathCheck&) = delete;
  LogPathCheck& operator=(const LogPathCheck&) = delete;

  // Empty when the library can write the log there; otherwise the reason,
  // such as "the folder /x does not exist".
  const std::string& problem() const { return problem_; }
  // Lets go of the FIFO held open since the check: call once the port is
  // open (and has opened its own end).
  void Release();

 private:
  std::string problem_;
  // A FIFO's write end, held from the check to the port's open so that its
  // reader sees no end of file in between.
  int heldFifo_ = -1;
};

}  // namespace zorcat
