// SPDX-License-Identifier: MIT
// The configuration file reader on any bytes: it must stay inside the
// control block, keep every text field terminated within its capacity,
// change no field but those it reads, keep the numbers with a range inside
// it, and only ever set the lookup bit.
#include <cstring>
#include <memory>

#include "core/control_block.h"
#include "core/text.h"
#include "diagnostics/config_file.h"
#include "fuzz/fuzz_support.h"

namespace {

using zortcp::PortControlBlock;
using zortcp::fuzzing::ScratchFile;

template <size_t N>
bool Terminated(const char (&field)[N]) {
  return std::memchr(field, '\0', N) != nullptr;
}

// Fields that the reader must never touch, filled with a pattern before.
constexpr char kHostPattern[] = "host-before-the-file";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ScratchFile file("config");
  zortcp::fuzzing::WriteWhole(file.path(), data, size);

  auto block = std::make_unique<PortControlBlock>();
  zortcp::CopyText(block->hostName, kHostPattern);
  zortcp::CopyText(block->configFileName, file.path().c_str());
  block->flags = ZOR_OPEN_SERVER;
  zortcp::ReadConfigFile(*block);

  ZORTCP_FUZZ_CHECK(Terminated(block->serviceName), "Service Name keeps its terminator");
  ZORTCP_FUZZ_CHECK(Terminated(block->serviceType), "Service Type keeps its terminator");
  ZORTCP_FUZZ_CHECK(Terminated(block->debugOutputFile), "Debug Output File keeps its terminator");
  ZORTCP_FUZZ_CHECK(std::strcmp(block->hostName, kHostPattern) == 0,
                    "the host name is not the file's");
  ZORTCP_FUZZ_CHECK(std::strcmp(block->configFileName, file.path().c_str()) == 0,
                    "the configuration path is not the file's");
  ZORTCP_FUZZ_CHECK(block->keepAliveSeconds <= zortcp::kMaxKeepAliveSeconds &&
                        block->connectTimeoutMs <= zortcp::kMaxConnectTimeoutMs,
                    "Keep Alive and Connect Timeout stay in their ranges");
  ZORTCP_FUZZ_CHECK((block->flags & ~ZOR_OPEN_LOOKUP_HOST_NAME) == ZOR_OPEN_SERVER,
                    "the file only ever sets the lookup bit");
  ZORTCP_FUZZ_CHECK(block->socket.load() == -1 && block->logFile.load() == nullptr,
                    "the file opens nothing");
  return 0;
}
