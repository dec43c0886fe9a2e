// Configuration files and paths that no host should pass, given to the
// open: the port opens all the same, on what the file holds or, failing
// that, on the defaults (which point at the test's listener).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <random>
#include <string>

#include "support/temp_directory.h"
#include "support/client_port.h"

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
    ASSERT_EQ(ZorOpenPort("localhost", 0, 0, configFile.c_str(), &handle), 0) << LastErrorNow().text;
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
  ExpectConnectsWith("/dev/null");
  ExpectConnectsWith("/dev/zero");
  const std::string pipe = directory.File("pipe.cfg");
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  ExpectConnectsWith(pipe);
  ExpectConnectsWith(directory.File("missing.cfg"));
}

// A megabyte of random bytes, and eight megabytes of lines whose last
// "Service Name" is the listener's: the first changes nothing that matters,
// the second is read to its end in reasonable time.
TEST_F(ConfigurationInputTest, BinaryAndHugeFilesAreReadThroughToTheirLastLine) {
  std::mt19937 random(9);
  std::string binary(1024 * 1024, '\0');
  for (char& c : binary) c = static_cast<char>(random());
  const std::string binaryPath = directory.File("binary.cfg");
  WriteFile(binaryPath, binary + "\nService Name=" + listener.PortText() + "\n");
  ExpectConnectsWith(binaryPath);

  std::string huge;
  while (huge.size() < 8 * 1024 * 1024) {
    huge += "Service Name=1\n; a comment line\nDebug Level=0\nService Type=tcp\nUnknown=" +
            std::string(100, 'u') + "\n";
  }
  huge += "Service Name=" + listener.PortText() + "\n";
  const std::string hugePath = directory.File("huge.cfg");
  WriteFile(hugePath, huge);
  const auto start = Clock::now();
  ExpectConnectsWith(hugePath);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
}

}  // namespace
}  // namespace zortcp::testing
