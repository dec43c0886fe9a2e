// SPDX-License-Identifier: MIT
// Opening a port the way the command line asks: the library-wide defaults,
// the configuration file, the event handler, then ZorOpenPort.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "zorcat/event_feed.h"
#include "zorcat/options.h"

namespace zorcat {

// A directory of its own under the system's temporary directory, removed
// with its files at the end.
class TempDirectory {
 public:
  explicit TempDirectory(const std::string& prefix);
  ~TempDirectory();
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// One keyword line of a port configuration file. The key is written right
// against the "=", since blanks in front of it would become part of the key.
struct ConfigLine {
  std::string keyword;
  std::string value;
};

// Writes a configuration file: the lines of an existing file first (when
// named), then the keyword lines, which win over earlier lines of the same
// keyword. Throws std::runtime_error when a file cannot be read or written.
void WriteConfigFile(const std::filesystem::path& path, const std::string& copyFrom,
                     const std::vector<ConfigLine>& lines);

// Sets a text default of the library (ZorChangeDefault type 1 or 2).
void ChangeTextDefault(uint32_t type, const std::string& text);
void ChangeNumberDefault(uint32_t type, int32_t value);
void ChangeUnsignedDefault(uint32_t type, uint32_t value);

struct PortOpening {
  std::optional<int32_t> handle;  // set when the port is open
  std::string failure;            // "location 12, error 11001: ..." otherwise
  int32_t result = 0;             // ZorOpenPort's result
};

// Applies the options' defaults and ring sizes, registers the tool's event
// handler with tag, and opens the port. configFile may be empty.
PortOpening OpenPort(const PortOptions& options, const std::string& configFile, PortTag tag);

// Whether the options need a configuration file of zorcat's (--log,
// --allow).
bool NeedsOwnConfigFile(const PortOptions& options);

// Writes the configuration file that --log and --allow ask for into
// scratch: the user's own file (--config), if any, followed by the debug
// lines and the allowed peers (which add to any of the user's file).
// Returns its path; throws std::runtime_error when it cannot be written.
std::string WritePortConfigFile(const PortOptions& options, TempDirectory& scratch);

}  // namespace zorcat
