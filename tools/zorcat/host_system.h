// SPDX-License-Identifier: MIT
// What zorcat asks of the operating system beyond the library and the
// standard library: its standard streams, the wake-ups of its main thread,
// standard input as the pump reads it, and what a --log path names.
// host_system_posix.cpp implements it for Linux, host_system_win32.cpp for
// Windows.
#pragma once

#include <chrono>
#include <cstddef>
#include <ctime>
#include <filesystem>
#include <string>

namespace zorcat {

// Opens the null device on each of standard input, output and error that
// was closed when zorcat started, so that no pipe, socket or file opened
// later takes their place; where the system translates line ends on the
// standard streams, makes them carry bytes as they are. Called first thing
// in main.
void OpenMissingStandardStreams();

// Creates a new folder that only this user may use, named prefix and a
// unique ending, in base; throws std::system_error when it cannot.
std::filesystem::path MakePrivateFolder(const std::filesystem::path& base,
                                        const std::string& prefix);

// The local time of day and date of a moment.
std::tm LocalTime(std::time_t seconds);

// Whether standard error is a terminal that takes the progress line's
// control sequences.
bool ErrorIsTerminal();

// Writes at most size bytes to a descriptor (standard output or error):
// the count written, or -1 with errno set.
long WriteSome(int descriptor, const void* data, size_t size);

// A flag that another thread raises (on Linux also a signal handler) and
// the main thread waits for.
class WakeFlag {
 public:
  WakeFlag();
  ~WakeFlag();
  WakeFlag(const WakeFlag&) = delete;
  WakeFlag& operator=(const WakeFlag&) = delete;

  // Safe in a signal handler.
  void Raise();
  // Lowers the flag: the next wait waits again until the next Raise.
  void Lower();

 private:
  friend void WaitForEither(const WakeFlag&, const WakeFlag&, std::chrono::milliseconds);
#ifdef _WIN32
  void* event_ = nullptr;
#else
  int pipe_[2] = {-1, -1};
#endif
};

// Returns once either flag is raised or the time has passed.
void WaitForEither(const WakeFlag& first, const WakeFlag& second,
                   std::chrono::milliseconds timeout);

// Standard input, read as bytes by one thread (the input pump) while
// another may interrupt its wait.
class StandardInput {
 public:
  StandardInput();
  ~StandardInput();
  StandardInput(const StandardInput&) = delete;
  StandardInput& operator=(const StandardInput&) = delete;

  enum class Wait { kReadable, kInterrupted, kFailed };
  // Waits until a read has something to return (bytes, the end, or a
  // failure) or Interrupt is called. On kFailed, failure() says why.
  Wait WaitReadable();
  // Reads at most size bytes: the count, 0 at the end of the input,
  // kReadAgain when nothing came and the pump should wait again, or
  // kReadFailed with failure() saying why.
  static constexpr long kReadAgain = -2;
  static constexpr long kReadFailed = -1;
  long Read(char* buffer, size_t size);
  // Ends a wait (the current one or the next) with kInterrupted.
  void Interrupt();

  const std::string& failure() const { return failure_; }

 private:
  std::string failure_;
#ifdef _WIN32
  void* input_ = nullptr;
  void* interrupted_ = nullptr;
  void* reader_ = nullptr;  // the waiting thread, whose console read Interrupt cancels
  unsigned long kind_ = 0;
  unsigned long waiting_ = 0;  // bytes a pipe had when last looked at
  bool console_ = false;
#else
  int pipe_[2] = {-1, -1};
#endif
};

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
