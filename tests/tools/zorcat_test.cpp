// SPDX-License-Identifier: MIT
// zorcat, run as a process against plain-socket peers on 127.0.0.1.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "support/loopback_peer.h"
#include "tools/zorcat_process.h"

namespace {

using std::chrono::milliseconds;
using zorcat::testing::BeginsWithTimeOfDay;
using zorcat::testing::Finished;
using zorcat::testing::Input;
using zorcat::testing::LinesWith;
using zorcat::testing::NumberAfter;
using zorcat::testing::ReadFile;
using zorcat::testing::RunZorcat;
using zorcat::testing::ScratchDirectory;
using zorcat::testing::Words;
using zorcat::testing::ZorcatProcess;
using zortcp::testing::ConnectLoopback;
using zortcp::testing::LoopbackListener;
using zortcp::testing::PeerConnection;
using zortcp::testing::RandomBytes;
using zortcp::testing::Text;
using zortcp::testing::UnusedLoopbackPort;

// Generous bounds: they only matter when something is broken.
constexpr milliseconds kStartWait{10000};
constexpr milliseconds kRunWait{60000};
constexpr milliseconds kPeerWait{30000};

// zorcat's documented exit statuses.
constexpr int kExitUsage = 2;
constexpr int kExitOpenFailed = 3;
constexpr int kExitNoConnection = 4;

bool Holds(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The demo's event lines of one port with this description, each of which
// must begin with its time of day.
std::vector<std::string> DemoEvents(const std::string& out, const std::string& portAndEvent) {
  std::vector<std::string> events;
  for (const std::string& line : LinesWith(out, portAndEvent)) {
    EXPECT_EQ(line.substr(0, 2), "  ") << line;
    EXPECT_TRUE(line.size() > 2 && BeginsWithTimeOfDay(line.substr(2))) << line;
    events.push_back(line);
  }
  return events;
}

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

TEST(ZorcatDemo, ExitsZeroAfterShowingEventsStatisticsLastErrorAndDebugLog) {
  const Finished demo = RunZorcat({"demo"}, Input::Null(), kRunWait);

  ASSERT_TRUE(demo.exited) << demo.out << demo.err;
  EXPECT_EQ(demo.status, 0) << demo.out << demo.err;
  const std::string servicePort = NumberAfter(demo.out, "(server) listens on 127.0.0.1 port ");
  ASSERT_FALSE(servicePort.empty()) << demo.out;
  EXPECT_NE(servicePort, "0") << "the system chose a port";
  EXPECT_TRUE(Holds(demo.out, "(client) connects to 127.0.0.1 port " + servicePort));
  // Each event with its time, its port and its kind in words.
  EXPECT_EQ(DemoEvents(demo.out, "(client)  connected: ").size(), 1u);
  EXPECT_EQ(DemoEvents(demo.out, "(server)  connected: 127.0.0.1, Port: ").size(), 1u);
  EXPECT_TRUE(Holds(demo.out, ", Port: " + servicePort + "\n"));
  EXPECT_EQ(DemoEvents(demo.out, "(client)  transmitted 14 bytes").size(), 1u);
  EXPECT_EQ(DemoEvents(demo.out, "(server)  received 14 bytes").size(), 1u);
  EXPECT_EQ(DemoEvents(demo.out, "(server)  disconnected: the peer closed").size(), 1u);
  // Messages both ways.
  EXPECT_TRUE(Holds(demo.out, "(server) reads \"hello, server\\n\""));
  EXPECT_TRUE(Holds(demo.out, "(client) reads \"hello, client\\n\""));
  EXPECT_TRUE(Holds(demo.out, "(client) reads \"goodbye\\n\""));
  // Both ports' statistics: 59 bytes from the client, 61 from the server.
  // The client may have tried once before the server was listening.
  const auto server = Words(LinesWith(demo.out, "(server)          ").at(0));
  const auto client = Words(LinesWith(demo.out, "(client)          ").at(0));
  EXPECT_EQ(std::vector<std::string>(server.begin() + 3, server.end()),
            (std::vector<std::string>{"59", "61", "0", "0", "0"}));
  EXPECT_EQ(std::vector<std::string>(client.begin() + 3, client.end() - 1),
            (std::vector<std::string>{"61", "59", "0", "0"}));
  EXPECT_TRUE(Holds(demo.out, "\nlast error: location "));
  // The debug log's first lines, with the data on the wire; the demo's
  // folder is gone once it has ended.
  const std::string logMark = "debug log of the server port (level 3): ";
  ASSERT_TRUE(Holds(demo.out, logMark));
  const size_t logAt = demo.out.find(logMark) + logMark.size();
  const std::filesystem::path log =
      demo.out.substr(logAt, demo.out.find_first_of(" \n", logAt) - logAt);
  EXPECT_TRUE(Holds(demo.out.substr(logAt), "\n  Raw Data Dump - 14 Bytes\n")) << demo.out;
  EXPECT_FALSE(std::filesystem::exists(log.parent_path())) << log;
}

// Ctrl-C during the demo: the folder goes all the same.
TEST(ZorcatDemo, InterruptedDemoRemovesItsFolder) {
  ZorcatProcess demo({"demo"}, Input::Null());
  ASSERT_TRUE(demo.WaitForOutput("events as they happen", kStartWait)) << demo.out();
  const std::string logMark = "configuration file of the server port, ";
  const size_t at = demo.out().find(logMark) + logMark.size();
  const std::filesystem::path config = demo.out().substr(at, demo.out().find(':', at) - at);
  demo.Signal(SIGINT);
  const Finished finished = demo.Wait(kRunWait);

  ASSERT_TRUE(finished.exited);
  // The signal may come once the demo has done its work.
  EXPECT_TRUE(finished.status == 128 + SIGINT || finished.status == 0) << finished.status;
  EXPECT_FALSE(std::filesystem::exists(config.parent_path())) << config;
}

// In zorcat's own fast transfer mode and with the default pacing of --paced.
class ZorcatConnectPacing : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(ZorcatConnectPacing, SendsAFileIntactToAPlainPeerAndWritesItsEchoToStandardOutput) {
  const std::vector<uint8_t> data = RandomBytes(3 * 512 * 1024, 5);
  ScratchDirectory scratch;
  const auto file = scratch.Write("input.bin", Text(data));
  LoopbackListener listener;
  std::vector<uint8_t> arrived;
  std::thread peer([&] {
    std::optional<PeerConnection> connection = listener.Accept(kPeerWait);
    if (!connection) return;
    arrived = connection->ReceiveExactly(data.size(), kPeerWait);
    connection->SendAll(arrived.data(), arrived.size());
    // Nothing listens any more once the peer has gone, so the client port
    // cannot connect a second time before zorcat closes it.
    listener.Close();
  });

  std::vector<std::string> arguments = {"connect", "--stats", "--idle", "20000"};
  arguments.insert(arguments.end(), GetParam().begin(), GetParam().end());
  arguments.insert(arguments.end(), {"127.0.0.1", listener.PortText()});
  const Finished zorcat = RunZorcat(arguments, Input::File(file), kRunWait);
  peer.join();

  ASSERT_TRUE(zorcat.exited) << zorcat.err;
  EXPECT_EQ(zorcat.status, 0) << zorcat.err;
  EXPECT_TRUE(arrived == data) << "the peer received " << arrived.size() << " bytes";
  EXPECT_TRUE(zorcat.out == Text(data))
      << "the echo came back with " << zorcat.out.size() << " bytes";
  EXPECT_EQ(LinesWith(zorcat.err, ", Port: " + listener.PortText()).size(), 1u) << zorcat.err;
  EXPECT_NE(zorcat.err.find("disconnected: the peer closed the connection"), std::string::npos);
  EXPECT_NE(zorcat.err.find("rxBytes 1572864, txBytes 1572864, rxErrors 0, txErrors 0"),
            std::string::npos)
      << zorcat.err;
}

INSTANTIATE_TEST_SUITE_P(Modes, ZorcatConnectPacing,
                         ::testing::Values(std::vector<std::string>{},
                                           std::vector<std::string>{"--paced"}),
                         [](const auto& mode) { return mode.param.empty() ? "Fast" : "Paced"; });

TEST(ZorcatListen, ServesAPlainClientBothWaysUntilItCloses) {
  ScratchDirectory scratch;
  const auto greeting = scratch.Write("greeting.txt", "welcome, client\n");
  const std::vector<uint8_t> data = RandomBytes(256 * 1024, 7);
  ZorcatProcess zorcat({"listen", "127.0.0.1", "0"}, Input::File(greeting));
  ASSERT_TRUE(zorcat.WaitForError("\n", kStartWait)) << zorcat.err();
  const std::string port = NumberAfter(zorcat.err(), "listens on 127.0.0.1 port ");
  ASSERT_FALSE(port.empty()) << zorcat.err();

  PeerConnection client = ConnectLoopback(static_cast<uint16_t>(std::stoi(port)));
  ASSERT_TRUE(client.IsOpen());
  EXPECT_EQ(Text(client.ReceiveExactly(16, kPeerWait)), "welcome, client\n");
  ASSERT_TRUE(client.SendAll(data.data(), data.size()));
  client.Close();
  const Finished finished = zorcat.Wait(kRunWait);

  ASSERT_TRUE(finished.exited) << finished.err;
  EXPECT_EQ(finished.status, 0) << finished.err;
  EXPECT_TRUE(finished.out == Text(data)) << "received " << finished.out.size() << " bytes";
  EXPECT_EQ(LinesWith(finished.err, " connected: 127.0.0.1, Port: ").size(), 1u) << finished.err;
  EXPECT_NE(finished.err.find("disconnected: the peer closed the connection"), std::string::npos);
}

// --allow reaches the port whole, however long: the one listed address is
// last, beyond the 255 characters that the library reads of a line. A list
// that the library cannot read fails the open.
TEST(ZorcatListen, AllowServesOnlyTheListedPeersAndABadListFailsTheOpen) {
  std::string list;
  for (int entry = 0; entry < 30; ++entry) list += "10.0.0." + std::to_string(entry) + ",";
  list += "127.0.0.1";
  ZorcatProcess zorcat({"listen", "--allow", list, "127.0.0.1", "0"}, Input::Null());
  ASSERT_TRUE(zorcat.WaitForError("\n", kStartWait)) << zorcat.err();
  const std::string port = NumberAfter(zorcat.err(), "listens on 127.0.0.1 port ");
  ASSERT_FALSE(port.empty()) << zorcat.err();
  PeerConnection client = ConnectLoopback(static_cast<uint16_t>(std::stoi(port)));
  ASSERT_TRUE(client.IsOpen());
  ASSERT_TRUE(client.SendAll("listed"));
  client.Close();
  const Finished finished = zorcat.Wait(kRunWait);
  EXPECT_EQ(finished.status, 0) << finished.err;
  EXPECT_EQ(finished.out, "listed");
  EXPECT_NE(finished.err.find("serving only 10.0.0.0,"), std::string::npos) << finished.err;

  const Finished bad =
      RunZorcat({"listen", "--allow", "127.0.0.1,,10.0.0.1", "0"}, Input::Null(), kRunWait);
  EXPECT_EQ(bad.status, kExitOpenFailed);
  EXPECT_NE(bad.err.find("zorcat: open failed: location 8, error 10022: WSAEINVAL: Allowed "
                         "Peers: cannot read \"\""),
            std::string::npos)
      << bad.err;
}

TEST(ZorcatConnect, RefusedConnectionGivesUpAtTheRetryLimitWithItsLastError) {
  const std::string port = std::to_string(UnusedLoopbackPort());

  const Finished once =
      RunZorcat({"connect", "--retry", "1", "127.0.0.1", port}, Input::Null(), kRunWait);
  EXPECT_NE(once.err.find("gave up after 1 failed connect attempt (the retry limit)"),
            std::string::npos)
      << once.err;

  const Finished limited =
      RunZorcat({"connect", "--retry", "3", "127.0.0.1", port}, Input::Null(), kRunWait);
  ASSERT_TRUE(limited.exited) << limited.err;
  EXPECT_EQ(limited.status, kExitNoConnection) << limited.err;
  EXPECT_EQ(Count(limited.err, "error: a connect attempt failed"), 3u) << limited.err;
  EXPECT_EQ(Count(limited.err, "error: the connect retry limit was reached"), 1u) << limited.err;
  EXPECT_NE(limited.err.find("zorcat: no connection: gave up after 3 failed connect attempts "
                             "(the retry limit); last failure: location 1002, error 10061: "
                             "WSAECONNREFUSED"),
            std::string::npos)
      << limited.err;

  // Without --retry, a connect gives up after a few attempts too; HOST:SERVICE
  // in one argument is the two.
  const Finished byDefault = RunZorcat({"connect", "127.0.0.1:" + port}, Input::Null(), kRunWait);
  ASSERT_TRUE(byDefault.exited) << byDefault.err;
  EXPECT_EQ(byDefault.status, kExitNoConnection);
  EXPECT_NE(byDefault.err.find("connects to 127.0.0.1 port " + port + ","), std::string::npos)
      << byDefault.err;
  EXPECT_NE(byDefault.err.find("gave up after 5 failed connect attempts (the retry limit); last "
                               "failure: location 1002, error 10061"),
            std::string::npos)
      << byDefault.err;
}

TEST(ZorcatConnect, PortThatCannotOpenShowsTheLocationAndErrorOfTheFailure) {
  const Finished unknown =
      RunZorcat({"connect", "127.0.0.1", "no-such-zorcat-service"}, Input::Null(), kRunWait);

  ASSERT_TRUE(unknown.exited);
  EXPECT_EQ(unknown.status, kExitOpenFailed);
  EXPECT_FALSE(NumberAfter(unknown.err, "zorcat: open failed: location 8, error ").empty())
      << unknown.err;
}

TEST(ZorcatConnect, HexDumpGivesEachReceiveRowsOfSixteenBytesWithOffsetsAndCharacters) {
  LoopbackListener listener;
  ZorcatProcess zorcat(
      {"connect", "--hex", "--quiet", "--idle", "20000", "127.0.0.1", listener.PortText()},
      Input::Null());
  std::optional<PeerConnection> peer = listener.Accept(kPeerWait);
  ASSERT_TRUE(peer);

  const std::string first(
      "Hello, zortcp!\r\n\x00\x01"
      "AB",
      20);
  ASSERT_TRUE(peer->SendAll(first));
  ASSERT_TRUE(zorcat.WaitForOutput("|..AB|\n", kPeerWait)) << zorcat.out();
  ASSERT_TRUE(peer->SendAll("second"));
  ASSERT_TRUE(zorcat.WaitForOutput("|second|\n", kPeerWait)) << zorcat.out();
  peer->Close();
  const Finished finished = zorcat.Wait(kRunWait);

  ASSERT_TRUE(finished.exited);
  EXPECT_EQ(finished.status, 0);
  EXPECT_EQ(finished.out,
            "00000000  48 65 6c 6c 6f 2c 20 7a  6f 72 74 63 70 21 0d 0a  |Hello, zortcp!..|\n"
            "00000010  00 01 41 42                                       |..AB|\n"
            "00000014  73 65 63 6f 6e 64                                 |second|\n");
  EXPECT_EQ(finished.err, "") << "--quiet leaves standard error empty";
}

// Without -q a signal shows the statistics; -q leaves the ending only.
class ZorcatSigterm : public ::testing::TestWithParam<bool> {};

TEST_P(ZorcatSigterm, ClosesThePortCleanlyAndPrintsTheStatisticsUnlessQuiet) {
  const bool quiet = GetParam();
  ZorcatProcess zorcat(quiet ? std::vector<std::string>{"listen", "-q", "127.0.0.1:0"}
                             : std::vector<std::string>{"listen", "127.0.0.1", "0"},
                       Input::Pipe());
  ASSERT_TRUE(zorcat.WaitForError("\n", kStartWait)) << zorcat.err();
  const std::string port = NumberAfter(zorcat.err(), "listens on 127.0.0.1 port ");
  ASSERT_FALSE(port.empty()) << zorcat.err();
  PeerConnection client = ConnectLoopback(static_cast<uint16_t>(std::stoi(port)));
  ASSERT_TRUE(client.IsOpen());
  ASSERT_TRUE(client.SendAll("abc"));
  ASSERT_TRUE(zorcat.WaitForOutput("abc", kPeerWait));

  zorcat.Signal(SIGTERM);
  const Finished finished = zorcat.Wait(kRunWait);

  ASSERT_TRUE(finished.exited);
  EXPECT_EQ(finished.status, 128 + SIGTERM);
  EXPECT_NE(finished.err.find("zorcat: interrupted by SIGTERM; port 0 closed"), std::string::npos)
      << finished.err;
  EXPECT_EQ(Holds(finished.err, "zorcat: statistics of port 0: rxBytes 3, txBytes 0"), !quiet)
      << finished.err;
  if (quiet) {
    EXPECT_EQ(Count(finished.err, "\n"), 2u) << finished.err;
  }
  EXPECT_TRUE(client.WaitForClose(kPeerWait)) << "the close ends the peer's connection";
}

INSTANTIATE_TEST_SUITE_P(Listen, ZorcatSigterm, ::testing::Bool(),
                         [](const auto& quiet) { return quiet.param ? "Quiet" : "Chatty"; });

TEST(ZorcatOptions, LogOptionWritesTheDebugLogAndKeepsTheUsersConfigurationFile) {
  ScratchDirectory scratch;
  LoopbackListener listener;
  const auto request = scratch.Write("request.txt", "ping\n");
  const auto log = scratch.path() / "port.log";
  std::thread peer([&] {
    std::optional<PeerConnection> connection = listener.Accept(kPeerWait);
    if (!connection || connection->ReceiveExactly(5, kPeerWait).size() != 5) return;
    connection->SendAll("pong\n");
  });
  const Finished exchange = RunZorcat({"connect", "--log", log.string(), "--level", "3", "--idle",
                                       "20000", "127.0.0.1", listener.PortText()},
                                      Input::File(request), kRunWait);
  peer.join();

  ASSERT_TRUE(exchange.exited);
  EXPECT_EQ(exchange.status, 0) << exchange.err;
  EXPECT_EQ(exchange.out, "pong\n");
  const std::string logText = ReadFile(log);
  EXPECT_NE(logText.find("ZorWritePort() - Port: 0, Packet Size: 5"), std::string::npos) << logText;
  EXPECT_NE(logText.find("Raw Data Dump - 5 Bytes"), std::string::npos) << "level 3 dumps the wire";

  // --config and --log together: the user's file still counts.
  const auto config = scratch.Write("retry.conf", "Connect Retry Count=2\n");
  const auto refusedLog = scratch.path() / "refused.log";
  const Finished refused =
      RunZorcat({"connect", "--config", config.string(), "--log", refusedLog.string(), "127.0.0.1",
                 std::to_string(UnusedLoopbackPort())},
                Input::Null(), kRunWait);
  ASSERT_TRUE(refused.exited);
  EXPECT_EQ(refused.status, kExitNoConnection);
  EXPECT_NE(refused.err.find("gave up after 2 failed connect attempts"), std::string::npos)
      << refused.err;
  EXPECT_NE(ReadFile(refusedLog).find("RxMonitorClient() - Port: 1"), std::string::npos);
}

TEST(ZorcatCommandLine, HelpVersionAndUsageErrorsHaveTheirExitStatuses) {
  const Finished help = RunZorcat({"--help"}, Input::Null(), kRunWait);
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Examples:"), std::string::npos);
  EXPECT_NE(help.out.find("zorcat demo"), std::string::npos);
  EXPECT_NE(help.out.find("Exit status:"), std::string::npos);
  const Finished connectHelp = RunZorcat({"connect", "--help"}, Input::Null(), kRunWait);
  EXPECT_NE(connectHelp.out.find("--keepalive N"), std::string::npos) << connectHelp.out;
  EXPECT_NE(connectHelp.out.find("--connect-timeout MS"), std::string::npos) << connectHelp.out;
  EXPECT_NE(connectHelp.out.find("--paced"), std::string::npos) << connectHelp.out;

  const Finished listenHelp = RunZorcat({"listen", "--help"}, Input::Null(), kRunWait);
  EXPECT_NE(listenHelp.out.find("Usage: zorcat listen [OPTIONS] [ADDRESS] SERVICE\n"),
            std::string::npos)
      << listenHelp.out;

  for (const char* flag : {"--version", "-V"}) {
    const Finished version = RunZorcat({flag}, Input::Null(), kRunWait);
    EXPECT_EQ(version.status, 0) << flag << ": " << version.err;
    EXPECT_EQ(version.out, "zorcat 1.0.0\n") << flag;
  }

  const std::vector<std::vector<std::string>> misuses = {
      {},                                            // no command
      {"connect"},                                   // no host
      {"listen"},                                    // no service
      {"connect", "--tx-ring", "100", "127.0.0.1"},  // below the library's minimum
      {"connect", "--level", "2", "127.0.0.1"},      // a level without --log
      {"connect", "--no-such-option", "127.0.0.1"},
      {"listen", "--keepalive", "7201", "0"},              // beyond the library's range
      {"connect", "--connect-timeout", "0", "127.0.0.1"},  // 0 is the default, not a time-out
      {"demo", "--paced"},                                 // the demo is always paced
  };
  for (const auto& arguments : misuses) {
    const Finished misuse = RunZorcat(arguments, Input::Null(), kRunWait);
    EXPECT_EQ(misuse.status, kExitUsage) << misuse.err;
    EXPECT_EQ(misuse.err.rfind("zorcat: ", 0), 0u) << "every message is zorcat's: " << misuse.err;
  }

  // Mistakes that were once taken for something else, each told in a line.
  const std::vector<std::pair<std::vector<std::string>, std::string>> mistakes = {
      {{"listen", "127.0.0.1"}, "listen 127.0.0.1 needs a SERVICE too"},
      {{"connect", "127.0.0.1", "99999"}, "SERVICE 99999 is not a port number (0 to 65535)"},
      {{"connect", "--retry", "-1", "127.0.0.1"}, "Value -1 not in range 0 to 2147483647"},
      {{"connect", "--rx-ring", "3000000000", "127.0.0.1"},
       "Value 3000000000 not in range 20480 to 2147483647"},
      {{"bogus"}, "unknown command 'bogus': demo, connect or listen"},
      {{"connect", "--timeout", "5", "127.0.0.1", "7000"},
       "zorcat: connect has no option --timeout"},
      {{"listen", "0", "--nope=1"}, "zorcat: listen has no option --nope"},
      {{"connect", "127.0.0.1:"}, "127.0.0.1: has no SERVICE after the colon"},
      {{"connect", "127.0.0.1:7000", "7001"}, "a SERVICE is given twice"},
      {{"connect", "::1", "80"}, "::1 is an IPv6 address"},
  };
  for (const auto& [arguments, message] : mistakes) {
    const Finished mistake = RunZorcat(arguments, Input::Null(), kRunWait);
    EXPECT_EQ(mistake.status, kExitUsage) << mistake.err;
    EXPECT_NE(mistake.err.find(message), std::string::npos) << mistake.err;
    for (const std::string& line : LinesWith(mistake.err, "")) {
      EXPECT_EQ(line.rfind("zorcat: ", 0), 0u) << "every line is zorcat's: " << mistake.err;
    }
    EXPECT_LT(mistake.err.size(), 200u) << mistake.err;
  }
}

TEST(ZorcatListen, QuietKeepsTheListeningPortCrlfSendsCrLfAndAnUncreatableLogIsReported) {
  ScratchDirectory scratch;
  const auto input = scratch.Write("lines.txt", "one\ntwo\r\n");
  const auto log = scratch.path() / "no-such-directory" / "port.log";
  ZorcatProcess zorcat(
      {"listen", "-q", "--crlf", "--log", log.string(), "--idle", "0", "127.0.0.1", "0"},
      Input::File(input));
  ASSERT_TRUE(zorcat.WaitForError("listens on 127.0.0.1 port ", kStartWait)) << zorcat.err();
  const std::string port = NumberAfter(zorcat.err(), "listens on 127.0.0.1 port ");
  ASSERT_FALSE(port.empty()) << zorcat.err();
  PeerConnection client = ConnectLoopback(static_cast<uint16_t>(std::stoi(port)));
  ASSERT_TRUE(client.IsOpen());

  EXPECT_EQ(Text(client.ReceiveExactly(10, kPeerWait)), "one\r\ntwo\r\n");
  client.Close();
  const Finished finished = zorcat.Wait(kRunWait);
  ASSERT_TRUE(finished.exited);
  EXPECT_EQ(finished.status, 0) << finished.err;
  EXPECT_NE(finished.err.find("warning: cannot write the debug log to " + log.string() +
                              ": the folder " + log.parent_path().string() + " does not exist"),
            std::string::npos)
      << finished.err;
}

}  // namespace

namespace {

// Every path that the library will not keep a log in is reported with the
// reason, before the port opens; a FIFO that a process reads gets the log.
TEST(ZorcatOptions, LogPathsThePortCannotWriteAreReportedWithTheReason) {
  ScratchDirectory scratch;
  const auto fifo = scratch.path() / "log.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::vector<std::pair<std::string, std::string>> unwritable = {
      {scratch.path().string(), "it is a folder"},
      {fifo.string(), "it is a FIFO that no process has open for reading"},
      {"/proc/self/status", "it is a file of the kernel's /proc file system, not a log file"},
  };
  const std::string port = std::to_string(UnusedLoopbackPort());
  for (const auto& [path, reason] : unwritable) {
    const Finished run =
        RunZorcat({"connect", "-q", "--retry", "1", "--log", path, "127.0.0.1", port},
                  Input::Null(), kRunWait);
    EXPECT_EQ(run.status, kExitNoConnection) << run.err;
    EXPECT_EQ(run.err.rfind("zorcat: warning: cannot write the debug log to " + path + ": " +
                                reason + "; the port runs without it\n",
                            0),
              0u)
        << run.err;
  }

  // The log opens once the open has started the monitors, and lines they
  // write before that are not kept: the second attempt, 250 ms after the
  // first, is the one whose failure is surely logged.
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  const Finished read =
      RunZorcat({"connect", "-q", "--retry", "2", "--log", fifo.string(), "127.0.0.1", port},
                Input::Null(), kRunWait);
  char lines[4096] = {};
  const ssize_t got = ::read(reader, lines, sizeof(lines) - 1);
  ::close(reader);
  EXPECT_FALSE(Holds(read.err, "warning")) << read.err;
  ASSERT_GT(got, 0);
  EXPECT_TRUE(Holds(lines, "RxMonitorClient() - Port: 1")) << lines;
}

// Started without standard input, zorcat takes it as empty: descriptor 0
// is not taken by one of its own pipes.
TEST(ZorcatConnect, StartedWithStandardInputClosedSendsNothingAndEnds) {
  LoopbackListener listener;
  ZorcatProcess zorcat({"connect", "--idle", "200", "127.0.0.1", listener.PortText()},
                       Input::Closed());
  std::optional<PeerConnection> peer = listener.Accept(kPeerWait);
  ASSERT_TRUE(peer);
  const Finished finished = zorcat.Wait(kRunWait);

  ASSERT_TRUE(finished.exited) << finished.err;
  EXPECT_EQ(finished.status, 0) << finished.err;
  EXPECT_TRUE(peer->ReceiveSome(16, kPeerWait).empty()) << "a byte arrived, or no close";
  EXPECT_TRUE(Holds(finished.err, "closed: sent 0 bytes")) << finished.err;
}

}  // namespace
