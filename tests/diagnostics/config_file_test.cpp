// SPDX-License-Identifier: MIT
#include "diagnostics/config_file.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/allowed_peers.h"
#include "core/control_block.h"
#include "support/library_fixture.h"
#include "support/temp_directory.h"

namespace zortcp {
namespace {

using testing::WriteFile;

constexpr int32_t kPresetLevel = 7;

class ConfigFileTest : public testing::LoadedLibrary {
 protected:
  void SetUp() override {
    LoadedLibrary::SetUp();
    Preset();
  }

  // The settings as the open leaves them before the file is read.
  void Preset() {
    std::strcpy(settings_.serviceName, "12999");
    std::strcpy(settings_.serviceType, "tcp");
    std::strcpy(settings_.debugOutputFile, "earlier.log");
    settings_.connectRetryCount = 5;
    settings_.lookupHostName = false;
    settings_.debugLevel = kPresetLevel;
    settings_.fastTransfer = false;
  }

  void Read(const std::string& contents) {
    const std::string path = directory_.File("port.cfg");
    WriteFile(path, contents);
    settings_ = ReadConfigFile(path.c_str(), settings_);
  }

  // Reads a file of one line into freshly preset settings.
  int32_t LevelAfter(const std::string& line) {
    Preset();
    Read(line + "\n");
    return settings_.debugLevel;
  }

  void ExpectPresetValues() {
    EXPECT_STREQ(settings_.serviceName, "12999");
    EXPECT_STREQ(settings_.serviceType, "tcp");
    EXPECT_STREQ(settings_.debugOutputFile, "earlier.log");
    EXPECT_EQ(settings_.connectRetryCount, 5);
    EXPECT_FALSE(settings_.lookupHostName);
    EXPECT_EQ(settings_.debugLevel, kPresetLevel);
    EXPECT_FALSE(settings_.fastTransfer);
  }

  testing::TempDirectory directory_;
  PortSettings settings_;
};

TEST_F(ConfigFileTest, KeywordsMatchIgnoringCaseButNotWithBlanksBeforeEquals) {
  EXPECT_EQ(LevelAfter("Debug Level=3"), 3);
  EXPECT_EQ(LevelAfter("debug LEVEL=3"), 3);
  EXPECT_EQ(LevelAfter("Debug Level= \t 3"), 3);
  EXPECT_EQ(LevelAfter("   Debug Level=3"), 3);
  EXPECT_EQ(LevelAfter("\tDebug Level=3"), 3);
  EXPECT_EQ(LevelAfter("Debug Level=3\r"), 3);
  EXPECT_EQ(LevelAfter("Debug Level =3"), kPresetLevel);
  EXPECT_EQ(LevelAfter("Debug\tLevel=3"), kPresetLevel);
  EXPECT_EQ(LevelAfter("Debug Level 3"), kPresetLevel);
}

// A UTF-8 byte-order mark at the file's start is skipped; anywhere else it
// is part of the line, whose key then matches nothing.
TEST_F(ConfigFileTest, ByteOrderMarkAtTheStartIsSkipped) {
  EXPECT_EQ(LevelAfter("\xEF\xBB\xBF"
                       "Debug Level=3"),
            3);
  Preset();
  Read(
      "Debug Level=2\n\xEF\xBB\xBF"
      "Debug Level=3\n");
  EXPECT_EQ(settings_.debugLevel, 2);
}

TEST_F(ConfigFileTest, CommentMarksCountOnlyAsTheLineFirstCharacter) {
  EXPECT_EQ(LevelAfter(";Debug Level=3"), kPresetLevel);
  EXPECT_EQ(LevelAfter("#Debug Level=3"), kPresetLevel);
  EXPECT_EQ(LevelAfter("//Debug Level=3"), kPresetLevel);
  // Indented marks are no comments, but their keys match nothing either.
  EXPECT_EQ(LevelAfter(" ;Debug Level=3"), kPresetLevel);
  EXPECT_EQ(LevelAfter("/Debug Level=3"), kPresetLevel);
}

TEST_F(ConfigFileTest, TextValuesKeepInnerBlanksAndEqualsButLoseTrailingOnes) {
  Read(
      "Service Name = x\n"
      "Service Type=a b=c \t \r\n"
      "Debug Output File=\t/tmp/port log.txt  \r\n");
  EXPECT_STREQ(settings_.serviceName, "12999");
  EXPECT_STREQ(settings_.serviceType, "a b=c");
  EXPECT_STREQ(settings_.debugOutputFile, "/tmp/port log.txt");
}

TEST_F(ConfigFileTest, LastLineWins) {
  Read(
      "Service Name=first\n"
      "Connect Retry Count=9\n"
      "SERVICE NAME=second\n"
      "Connect Retry Count=2\n");
  EXPECT_STREQ(settings_.serviceName, "second");
  EXPECT_EQ(settings_.connectRetryCount, 2);
}

TEST_F(ConfigFileTest, LookupHostNameOnlyEverSetsItsBit) {
  Read("Lookup Host Name=1\nLookup Host Name=no\n");
  EXPECT_FALSE(settings_.lookupHostName);

  for (const char* value : {"YES", "yes", "On", "tRuE"}) {
    Preset();
    Read(std::string("Lookup Host Name=") + value + "\n");
    EXPECT_TRUE(settings_.lookupHostName) << value;
  }

  Preset();
  Read("Lookup Host Name=Yes\nLookup Host Name=NO\nLookup Host Name=\n");
  EXPECT_TRUE(settings_.lookupHostName);
}

TEST_F(ConfigFileTest, FastTransferTakesTheSameAffirmatives) {
  Read("Fast Transfer=1\nFast Transfer=enabled\n");
  EXPECT_FALSE(settings_.fastTransfer);
  Read("fast transfer=True\nFast Transfer=off\n");
  EXPECT_TRUE(settings_.fastTransfer);
}

TEST_F(ConfigFileTest, IntegersAreReadLikeStrtolAndClampedTo32Bits) {
  const auto retryCountAfter = [this](const std::string& value) {
    Preset();
    Read("Connect Retry Count=" + value + "\n");
    return settings_.connectRetryCount;
  };
  EXPECT_EQ(retryCountAfter("-1"), -1);
  EXPECT_EQ(retryCountAfter("+12"), 12);
  EXPECT_EQ(retryCountAfter("12abc"), 12);
  EXPECT_EQ(retryCountAfter("abc"), 0);
  EXPECT_EQ(retryCountAfter("- 3"), 0);
  EXPECT_EQ(retryCountAfter("2147483647"), INT32_MAX);
  EXPECT_EQ(retryCountAfter("2147483648"), INT32_MAX);
  EXPECT_EQ(retryCountAfter("99999999999999999999999"), INT32_MAX);
  EXPECT_EQ(retryCountAfter("-2147483648"), INT32_MIN);
  EXPECT_EQ(retryCountAfter("-99999999999"), INT32_MIN);

  EXPECT_EQ(LevelAfter("Debug Level="), 0);
  EXPECT_EQ(LevelAfter("Debug Level=  "), 0);
  EXPECT_EQ(LevelAfter("Debug Level=-2"), -2);
}

TEST_F(ConfigFileTest, KeepAliveAndConnectTimeoutTakeNumbersInTheirRangeOnly) {
  const auto settingsAfter = [this](const std::string& keepAlive, const std::string& timeout) {
    settings_.keepAliveSeconds = 5;
    settings_.connectTimeoutMs = 500;
    Read("Keep Alive=" + keepAlive + "\nconnect timeout=" + timeout + "\n");
    return std::pair(settings_.keepAliveSeconds, settings_.connectTimeoutMs);
  };
  EXPECT_EQ(settingsAfter("7200", "600000"), std::pair(7200u, 600000u));
  EXPECT_EQ(settingsAfter("12s", " 300ms"), std::pair(12u, 300u));
  EXPECT_EQ(settingsAfter("0", "off"), std::pair(0u, 0u));
  EXPECT_EQ(settingsAfter("7201", "600001"), std::pair(5u, 500u));
  EXPECT_EQ(settingsAfter("-1", "99999999999"), std::pair(5u, 500u));
}

TEST_F(ConfigFileTest, TextValuesAreCutToFieldCapacity) {
  const std::string forty(40, 'n');
  const std::string twoHundred(200, 'f');
  Read("Service Name=" + forty + "\nService Type=" + forty + "\nDebug Output File=" + twoHundred +
       "\n");
  EXPECT_EQ(std::string(settings_.serviceName), forty.substr(0, 32));
  EXPECT_EQ(std::string(settings_.serviceType), forty.substr(0, 32));
  EXPECT_EQ(std::string(settings_.debugOutputFile), twoHundred.substr(0, 131));
}

TEST_F(ConfigFileTest, LongLineArrivesAsPiecesOf255Characters) {
  // 255 characters of a Service Name line, then the rest of a 300-character
  // line, which is a keyword line of its own only when the cut is at 255.
  std::string line = "Service Name=";
  line += std::string(255 - line.size(), 's');
  line += "Debug Level=4";
  line += std::string(300 - line.size(), ' ');
  Read(line + "\n");
  EXPECT_EQ(std::string(settings_.serviceName), std::string(32, 's'));
  EXPECT_EQ(settings_.debugLevel, 4);
}

TEST_F(ConfigFileTest, UnreadableOrMeaninglessFilesChangeNothing) {
  settings_ = ReadConfigFile(directory_.File("missing.cfg").c_str(), settings_);
  ExpectPresetValues();

  Read("");
  ExpectPresetValues();

  Read("; comment\n# comment\n// Debug Level=3\n\n \t \nno equals here\nUnknown Key=1\n=5\n");
  ExpectPresetValues();

  std::mt19937 generator(12345);
  std::string garbage(64 * 1024, '\0');
  for (char& c : garbage) c = static_cast<char>(generator());
  Read(garbage);
  ExpectPresetValues();
}

TEST_F(ConfigFileTest, ZeroBytesEndTheLineButNotTheFile) {
  Read(std::string("\0Debug Level=3\n", 15) + std::string("Service Name=ab\0cd\n", 19) +
       "Connect Retry Count=8\n");
  EXPECT_EQ(settings_.debugLevel, kPresetLevel);
  EXPECT_STREQ(settings_.serviceName, "ab");
  EXPECT_EQ(settings_.connectRetryCount, 8);
}

// An address as the list compares it: IPv6 groups, or an IPv4 address in
// its mapped form.
struct Address {
  uint8_t bytes[16] = {};
};

Address V6(std::initializer_list<uint16_t> groups) {
  Address address;
  int32_t i = 0;
  for (uint16_t group : groups) {
    address.bytes[i++] = static_cast<uint8_t>(group >> 8);
    address.bytes[i++] = static_cast<uint8_t>(group);
  }
  return address;
}

Address V4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  const uint8_t bytes[4] = {a, b, c, d};
  uint32_t networkOrder = 0;
  std::memcpy(&networkOrder, bytes, sizeof networkOrder);
  Address address;
  MapIpv4Address(networkOrder, address.bytes);
  return address;
}

using Problem = AllowedPeers::Problem;

struct PeerListCase {
  const char* name;
  std::string lines;
  Problem problem;
  const char* badEntry;  // for a problem
  std::vector<Address> allowed;
  std::vector<Address> refused;
};

std::string AllowLines(int32_t lines, int32_t entriesPerLine) {
  std::string text;
  for (int32_t line = 0; line < lines; ++line) {
    text += "Allowed Peers=";
    for (int32_t entry = 0; entry < entriesPerLine; ++entry) {
      text +=
          (entry == 0 ? "10.0." : ",10.0.") + std::to_string(line) + "." + std::to_string(entry);
    }
    text += "\n";
  }
  return text;
}

class AllowedPeersTest : public ConfigFileTest,
                         public ::testing::WithParamInterface<PeerListCase> {};

TEST_P(AllowedPeersTest, ListIsReadOrItsFirstBadEntryKept) {
  const PeerListCase& c = GetParam();
  Read(c.lines);
  const AllowedPeers& peers = settings_.allowedPeers;
  EXPECT_EQ(peers.problem, c.problem);
  if (c.problem != Problem::kNone) {
    EXPECT_TRUE(peers.given);
    EXPECT_STREQ(peers.badEntry, c.badEntry);
    return;
  }
  for (const Address& address : c.allowed) EXPECT_TRUE(IsAllowedAddress(peers, address.bytes));
  for (const Address& address : c.refused) EXPECT_FALSE(IsAllowedAddress(peers, address.bytes));
}

INSTANTIATE_TEST_SUITE_P(
    Lists, AllowedPeersTest,
    ::testing::Values(
        PeerListCase{"NotGivenAllowsEveryone",
                     "Debug Level=1\n",
                     Problem::kNone,
                     "",
                     {V4(127, 0, 0, 2), V6({0xfd00, 0, 0, 0, 0, 0, 0, 1})},
                     {}},
        PeerListCase{"AddressesAndPrefixesOfBothFamilies",
                     "allowed peers= 127.0.0.1 ,\t10.0.0.0/8, ::1, fd00::/8\n",
                     Problem::kNone,
                     "",
                     {V4(127, 0, 0, 1), V4(10, 255, 1, 2), V6({0, 0, 0, 0, 0, 0, 0, 1}),
                      V6({0xfdff, 1, 2, 3, 4, 5, 6, 7})},
                     {V4(127, 0, 0, 2), V4(11, 0, 0, 0), V4(0, 0, 0, 1),
                      V6({0, 0, 0, 0, 0, 0, 0, 2}), V6({0xfe00, 0, 0, 0, 0, 0, 0, 1})}},
        PeerListCase{"Ipv4PeerMatchesOnlyTheMappedFormOfIpv6",
                     "Allowed Peers=::ffff:192.168.1.0/120, 2001:DB8:0:0:1::/80\n",
                     Problem::kNone,
                     "",
                     {V4(192, 168, 1, 77), V6({0, 0, 0, 0, 0, 0xffff, 0xc0a8, 0x0101}),
                      V6({0x2001, 0xdb8, 0, 0, 1, 0, 0xffff, 1})},
                     {V4(192, 168, 2, 1), V6({0x2001, 0xdb8, 0, 0, 2, 0, 0, 0})}},
        PeerListCase{"Ipv4ZeroPrefixTakesEveryIpv4Peer",
                     "Allowed Peers=0.0.0.0/0\n",
                     Problem::kNone,
                     "",
                     {V4(1, 2, 3, 4), V4(255, 255, 255, 255)},
                     {V6({0, 0, 0, 0, 0, 0, 0, 1})}},
        PeerListCase{"HostBitsOfAPrefixAreIgnored",
                     "Allowed Peers=10.1.2.3/16,1:2:3:4:5:6:7::/112\n",
                     Problem::kNone,
                     "",
                     {V4(10, 1, 99, 99), V6({1, 2, 3, 4, 5, 6, 7, 9})},
                     {V4(10, 2, 2, 3)}},
        PeerListCase{"FurtherLinesAddToTheList",
                     "Allowed Peers=10.0.0.1\nAllowed Peers=10.0.0.2\n",
                     Problem::kNone,
                     "",
                     {V4(10, 0, 0, 1), V4(10, 0, 0, 2)},
                     {V4(10, 0, 0, 3), V6({0, 0, 0, 0, 0, 0, 0, 1})}},
        PeerListCase{"SixtyFourEntriesFit",
                     AllowLines(4, 16),
                     Problem::kNone,
                     "",
                     {V4(10, 0, 0, 0), V4(10, 0, 3, 15)},
                     {V4(10, 0, 4, 0)}},
        PeerListCase{"TheSixtyFifthDoesNot",
                     AllowLines(4, 16) + "Allowed Peers=1.1.1.1\n",
                     Problem::kTooMany,
                     "1.1.1.1",
                     {},
                     {}},
        PeerListCase{"EmptyValue", "Allowed Peers=\n", Problem::kUnreadable, "", {}, {}},
        PeerListCase{
            "EmptyEntry", "Allowed Peers=1.2.3.4,, 5.6.7.8\n", Problem::kUnreadable, "", {}, {}},
        PeerListCase{"TrailingComma", "Allowed Peers=1.2.3.4,\n", Problem::kUnreadable, "", {}, {}},
        PeerListCase{"Ipv4PrefixOutOfRange",
                     "Allowed Peers=10.0.0.0/33\n",
                     Problem::kUnreadable,
                     "10.0.0.0/33",
                     {},
                     {}},
        PeerListCase{"Ipv6PrefixOutOfRange",
                     "Allowed Peers=::1, fd00::/129\n",
                     Problem::kUnreadable,
                     "fd00::/129",
                     {},
                     {}},
        PeerListCase{"FirstBadEntryIsKept",
                     "Allowed Peers=1.2.3\nAllowed Peers=x\n",
                     Problem::kUnreadable,
                     "1.2.3",
                     {},
                     {}},
        PeerListCase{"MalformedAddresses",
                     "Allowed Peers=10.0.0.0/8,256.1.1.1\n",
                     Problem::kUnreadable,
                     "256.1.1.1",
                     {},
                     {}}),
    [](const ::testing::TestParamInfo<PeerListCase>& instance) {
      return std::string(instance.param.name);
    });

// Texts that are neither address nor prefix, each read as a list of its own.
TEST_F(ConfigFileTest, AllowedPeersRefusesWhatIsNoAddress) {
  for (const char* entry : {"1.2.3.4.5",
                            "01.2.3.4",
                            "1.2.3.4/",
                            "1.2.3.4/-1",
                            "1.2.3.4/+8",
                            "1.2.3.4 /8",
                            "1..3.4",
                            "host.example",
                            ":::",
                            "1:::2",
                            ":1::",
                            "1::2::3",
                            "1:2:3:4:5:6:7:8:9",
                            "1:2:3:4:5:6:7",
                            "1:2:3:4:5:6:7:8::",
                            "12345::",
                            "g::",
                            "::1.2.3.4:5",
                            "1.2.3.4::",
                            "fe80::1%eth0",
                            "[::1]",
                            "1:2:3:4:5:6:7:1.2.3.4",
                            "::1/01"}) {
    settings_.allowedPeers = AllowedPeers{};
    Read(std::string("Allowed Peers=") + entry + "\n");
    EXPECT_EQ(settings_.allowedPeers.problem, Problem::kUnreadable) << entry;
  }
}

}  // namespace
}  // namespace zortcp
