// SPDX-License-Identifier: MIT
// The configuration file reader on any bytes: it must keep every text
// setting terminated within its capacity, keep the numbers with a range
// inside it, and only ever turn the lookup and fast transfer switches on.
#include <cstring>

#include "core/control_block.h"
#include "diagnostics/config_file.h"
#include "fuzz/fuzz_support.h"

namespace {

using zortcp::PortSettings;
using zortcp::fuzzing::ScratchFile;

template <size_t N>
bool Terminated(const char (&field)[N]) {
  return std::memchr(field, '\0', N) != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ScratchFile file("config");
  zortcp::fuzzing::WriteWhole(file.path(), data, size);

  PortSettings before;
  before.lookupHostName = true;
  before.fastTransfer = true;
  const PortSettings settings = zortcp::ReadConfigFile(file.path().c_str(), before);

  ZORTCP_FUZZ_CHECK(Terminated(settings.serviceName), "Service Name keeps its terminator");
  ZORTCP_FUZZ_CHECK(Terminated(settings.serviceType), "Service Type keeps its terminator");
  ZORTCP_FUZZ_CHECK(Terminated(settings.debugOutputFile), "Debug Output File keeps its terminator");
  ZORTCP_FUZZ_CHECK(settings.keepAliveSeconds <= zortcp::kMaxKeepAliveSeconds &&
                        settings.connectTimeoutMs <= zortcp::kMaxConnectTimeoutMs,
                    "Keep Alive and Connect Timeout stay in their ranges");
  ZORTCP_FUZZ_CHECK(settings.lookupHostName && settings.fastTransfer,
                    "the file only ever turns the switches on");
  return 0;
}
