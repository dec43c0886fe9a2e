// SPDX-License-Identifier: MIT
// Configuration files and paths that no host should pass, given to the
// open: the port opens all the same, on what the file holds or, failing
// that, on the defaults (which point at the test's listener).
#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>

#include "support/client_port.h"
#include "support/nonregular_files.h"
#include "support/temp_directory.h"

namespace zortcp::testing {
namespace {

using Clock = std::chrono::steady_clock;

class ConfigurationInputTest : public ClientPortTest {
 protected:
  // Opens a client with the configuration path and expects it to reach
  // the listener.
  void ExpectConnectsWith(const std::string& configFile) {
    events.Clear();
    events.Register();
    int32_t handle = -1;
    ASSERT_EQ(ZorOpenPort("localhost", 0, 0, configFile.c_str(), &handle), 0)
        << LastErrorNow().text;
    EXPECT_TRUE(AcceptPeer().IsOpen());
    EXPECT_TRUE(WaitForEvent(ZOR_EVENT_CONNECTED));
    EXPECT_EQ(ZorClosePort(handle), 0);
  }

  TempDirectory directory;
};

// A path longer than the 129 characters kept, a directory, devices (one
// that reads as empty, one that never ends), a pipe without a writer, a
// missing file: none can be read as a configuration, and none holds the
// open.
TEST_F(ConfigurationInputTest, PathsThatCannotBeReadLeaveTheDefaults) {
  ExpectConnectsWith(directory.File(std::string(1000, 'c')));
  ExpectConnectsWith(directory.File(""));
  for (const std::string& device : DevicePaths()) ExpectConnectsWith(device);
  const std::string pipe = MakeLonelyPipe(directory.File("pipe.cfg"));
  ASSERT_FALSE(pipe.empty());
  ExpectConnectsWith(pipe);
  ExpectConnectsWith(directory.File("missing.cfg"));
}

// A configuration is read only as far as its first 64 KiB: random bytes
// before the listener's "Service Name" change nothing that matters, lines
// beyond the bound are not read, and a file that never ends (64 GiB of
// holes) does not hold the open.
TEST_F(ConfigurationInputTest, FilesAreReadUpTo64KiBAndNeverHoldTheOpen) {
  const std::string listenerLine = "Service Name=" + listener.PortText() + "\n";
  std::mt19937 random(9);
  std::string binary(48 * 1024, '\0');
  for (char& c : binary) c = static_cast<char>(random());
  const std::string binaryPath = directory.File("binary.cfg");
  WriteFile(binaryPath, binary + "\n" + listenerLine);
  ExpectConnectsWith(binaryPath);

  std::string huge = listenerLine;
  while (huge.size() < 8 * 1024 * 1024) {
    huge += "; a comment line\nDebug Level=0\nService Type=tcp\nUnknown=" + std::string(100, 'u') +
            "\n";
  }
  huge += "Service Name=1\n";
  const std::string hugePath = directory.File("huge.cfg");
  WriteFile(hugePath, huge);
  ExpectConnectsWith(hugePath);

  const std::string endlessPath = directory.File("endless.cfg");
  WriteFile(endlessPath, listenerLine);
  // mingw-w64's std::filesystem resizes a file to at most 2 GiB - 1 (its
  // off_t has 32 bits): 1 GiB there, 64 GiB elsewhere.
  constexpr std::uintmax_t kEndless =
      sizeof(off_t) < 8 ? std::uintmax_t{1} << 30 : std::uintmax_t{64} << 30;
  std::filesystem::resize_file(endlessPath, kEndless);
  const auto start = Clock::now();
  ExpectConnectsWith(endlessPath);
  EXPECT_LT(Clock::now() - start, kWait);
}

}  // namespace
}  // namespace zortcp::testing
