// SPDX-License-Identifier: MIT
// The built zorcat as a child process of a test: its standard input from a
// file, /dev/null or a pipe the test holds, its standard output and error
// collected while it runs. Every wait is bounded; a child still running at
// the end is killed and reaped.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace zorcat::testing {

using std::chrono::milliseconds;

// Where the child's standard input comes from.
struct Input {
  enum class Kind { kNull, kFile, kPipe, kClosed } kind = Kind::kNull;
  std::filesystem::path file;

  static Input Null() { return {}; }
  static Input File(const std::filesystem::path& path) { return {Kind::kFile, path}; }
  // A pipe that stays open until CloseInput (or the end of the test).
  static Input Pipe() { return {Kind::kPipe, {}}; }
  // No standard input at all: descriptor 0 closed, as by "<&-".
  static Input Closed() { return {Kind::kClosed, {}}; }
};

struct Finished {
  bool exited = false;  // false: killed at the time-out
  int status = -1;      // the exit status, when exited
  std::string out;
  std::string err;
};

class ZorcatProcess {
 public:
  ZorcatProcess(const std::vector<std::string>& arguments, const Input& input);
  ~ZorcatProcess();
  ZorcatProcess(const ZorcatProcess&) = delete;
  ZorcatProcess& operator=(const ZorcatProcess&) = delete;

  // Collect output until standard error (standard output) holds the text,
  // or the time passes.
  bool WaitForError(const std::string& text, milliseconds timeout);
  bool WaitForOutput(const std::string& text, milliseconds timeout);

  bool WriteInput(const std::string& text);
  void CloseInput();
  void Signal(int number);

  // Waits for the exit, killing the child at the time-out.
  Finished Wait(milliseconds timeout);

  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }

 private:
  // Reads what the child has written, waiting up to the time given; false
  // once both pipes have ended.
  bool Collect(milliseconds timeout);
  bool WaitFor(const std::string& sink, const std::string& text, milliseconds timeout);
  void KillAndReap();

  pid_t pid_ = -1;
  int inFd_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  std::string out_;
  std::string err_;
  std::optional<int> status_;
};

// Runs zorcat to its end with the input given.
Finished RunZorcat(const std::vector<std::string>& arguments, const Input& input,
                   milliseconds timeout);

// A temporary directory, removed with its files at the end.
class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path Write(const std::string& name, const std::string& bytes) const;

 private:
  std::filesystem::path path_;
};

std::string ReadFile(const std::filesystem::path& path);

// The lines of text that hold part.
std::vector<std::string> LinesWith(const std::string& text, const std::string& part);
// The digits that follow the first prefix in text; empty when none do.
std::string NumberAfter(const std::string& text, const std::string& prefix);
// The words of a line, split at blanks.
std::vector<std::string> Words(const std::string& line);
// Whether text begins with a time of day such as "14:03:27.512".
bool BeginsWithTimeOfDay(const std::string& text);

}  // namespace zorcat::testing
