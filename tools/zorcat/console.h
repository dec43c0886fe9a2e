// SPDX-License-Identifier: MIT
// Standard error: event lines, notes, failures and the progress line.
//
// Only the main thread writes here. The progress line is drawn only when
// standard error is a terminal, and is wiped before any other line so that
// it always stays the last one.
#pragma once

#include <string>

namespace zorcat {

class Console {
 public:
  explicit Console(bool quiet);

  // An event or a note of what zorcat does; left out with --quiet.
  void Line(const std::string& text);
  // A failure or something the user asked for; always shown.
  void Report(const std::string& text);
  // Redraws the progress line (a terminal only, not with --quiet).
  void Progress(const std::string& text);
  void EndProgress();

  bool quiet() const { return quiet_; }

 private:
  void Write(const std::string& text);

  const bool quiet_;
  const bool terminal_;
  bool progressShown_ = false;
};

}  // namespace zorcat
