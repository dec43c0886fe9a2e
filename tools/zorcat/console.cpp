// SPDX-License-Identifier: MIT
#include "zorcat/console.h"

#include <unistd.h>

#include <cerrno>

#include "zorcat/host_system.h"

namespace zorcat {
namespace {

// Back to the start of the line and clear it.
constexpr const char* kWipeLine = "\r\033[K";

}  // namespace

Console::Console(bool quiet) : quiet_(quiet), terminal_(ErrorIsTerminal()) {}

void Console::Line(const std::string& text) {
  if (!quiet_) Report(text);
}

void Console::Report(const std::string& text) {
  EndProgress();
  Write(text + "\n");
}

void Console::Progress(const std::string& text) {
  if (quiet_ || !terminal_) return;
  Write(kWipeLine + text);
  progressShown_ = true;
}

void Console::EndProgress() {
  if (!progressShown_) return;
  Write(kWipeLine);
  progressShown_ = false;
}

void Console::Write(const std::string& text) {
  // Unbuffered, so that a line is out before zorcat goes on, even when it
  // is killed a moment later.
  size_t done = 0;
  while (done < text.size()) {
    const long written = WriteSome(STDERR_FILENO, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    done += static_cast<size_t>(written);
  }
}

}  // namespace zorcat
