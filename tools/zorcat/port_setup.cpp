// SPDX-License-Identifier: MIT
#include "zorcat/port_setup.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "zorcat/event_words.h"
#include "zorcat/host_system.h"
#include "zorcat/stop_signals.h"
#include "zortcp.h"

namespace zorcat {
namespace {

// Room left in a temporary directory's path for a file name, so that the
// file's path still fits the library's 129-character path fields.
constexpr size_t kFileNameRoom = 32;
constexpr const char* kFallbackTempDirectory = "/tmp";

std::filesystem::path TempBase() {
  std::error_code error;
  std::filesystem::path base = std::filesystem::temp_directory_path(error);
  if (error || base.string().size() + kFileNameRoom > kMaxPathLength) {
    base = kFallbackTempDirectory;
  }
  return base;
}

// The library reads a line in pieces of 255 characters, and its "Allowed
// Peers" lines add to one list: a long list goes into several lines, each
// of whole entries. The entries themselves are the library's to judge.
constexpr size_t kAllowedPeersLineLength = 200;

std::vector<std::string> AllowedPeersLines(const std::string& list) {
  std::vector<std::string> lines;
  if (list.empty()) return lines;
  std::string line;
  bool lineHasEntries = false;
  for (size_t start = 0;;) {
    const size_t comma = list.find(',', start);
    const std::string entry = list.substr(start, comma - start);
    if (lineHasEntries && line.size() + 1 + entry.size() > kAllowedPeersLineLength) {
      lines.push_back(line);
      line.clear();
      lineHasEntries = false;
    }
    // An empty entry stays one, so that the library refuses the list.
    line += (lineHasEntries ? "," : "") + entry;
    lineHasEntries = true;
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  lines.push_back(line);
  return lines;
}

}  // namespace

TempDirectory::TempDirectory(const std::string& prefix)
    : path_(MakePrivateFolder(TempBase(), prefix)) {}

TempDirectory::~TempDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void WriteConfigFile(const std::filesystem::path& path, const std::string& copyFrom,
                     const std::vector<ConfigLine>& lines) {
  std::ofstream out(path);
  if (!out) throw std::runtime_error("cannot write " + path.string());
  out << "# Written by zorcat; the port reads it once, while it opens.\n";
  if (!copyFrom.empty()) {
    std::ifstream in(copyFrom);
    if (!in) throw std::runtime_error("cannot read the configuration file " + copyFrom);
    out << "# From " << copyFrom << ":\n" << in.rdbuf() << "\n";
  }
  for (const ConfigLine& line : lines) out << line.keyword << "=" << line.value << "\n";
  if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

void ChangeTextDefault(uint32_t type, const std::string& text) {
  // The library copies exactly the given length, so the terminator is
  // counted in.
  ZorChangeDefault(type, text.c_str(), static_cast<uint32_t>(text.size() + 1));
}

void ChangeNumberDefault(uint32_t type, int32_t value) {
  ZorChangeDefault(type, &value, sizeof(value));
}

void ChangeUnsignedDefault(uint32_t type, uint32_t value) {
  ZorChangeDefault(type, &value, sizeof(value));
}

bool NeedsOwnConfigFile(const PortOptions& options) {
  return !options.logFile.empty() || !options.allowedPeers.empty();
}

std::string WritePortConfigFile(const PortOptions& options, TempDirectory& scratch) {
  const std::filesystem::path path = scratch.path() / "zorcat.conf";
  std::vector<ConfigLine> lines;
  if (!options.logFile.empty()) {
    lines.push_back({"Debug Level", std::to_string(options.level)});
    lines.push_back({"Debug Output File", options.logFile});
  }
  for (const std::string& list : AllowedPeersLines(options.allowedPeers)) {
    lines.push_back({"Allowed Peers", list});
  }
  WriteConfigFile(path, options.configFile, lines);
  return path.string();
}

PortOpening OpenPort(const PortOptions& options, const std::string& configFile, PortTag tag) {
  if (!options.service.empty()) ChangeTextDefault(ZOR_DEFAULT_SERVICE, options.service);
  if (options.retry) ChangeNumberDefault(ZOR_DEFAULT_RETRY_COUNT, *options.retry);
  ChangeNumberDefault(ZOR_DEFAULT_LOOKUP_HOST, options.lookup ? 1 : 0);
  ChangeNumberDefault(ZOR_DEFAULT_FAST_TRANSFER, options.fastTransfer ? 1 : 0);
  if (options.keepAlive) ChangeUnsignedDefault(ZOR_DEFAULT_KEEP_ALIVE, *options.keepAlive);
  if (options.connectTimeout) {
    ChangeUnsignedDefault(ZOR_DEFAULT_CONNECT_TIMEOUT, *options.connectTimeout);
  }
  ZorChangeBufferSizes(options.rxRing.value_or(UINT32_MAX), options.txRing.value_or(UINT32_MAX));

  uint32_t flags = 0;
  if (options.server) flags |= ZOR_OPEN_SERVER;
  if (options.blocking) flags |= ZOR_OPEN_BLOCKING;

  EventFeed::Instance().RegisterForNextOpen(tag);
  PortOpening opening;
  int32_t handle = 0;
  {
    StopSignals::Deferred monitorsWithoutStopSignals;
    opening.result = ZorOpenPort(options.host.c_str(), 0, flags,
                                 configFile.empty() ? nullptr : configFile.c_str(), &handle);
  }
  if (opening.result == 0) {
    opening.handle = handle;
  } else {
    opening.failure = LastFailure();
  }
  return opening;
}

}  // namespace zorcat
