// SPDX-License-Identifier: MIT
#include "zorcat/demo.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <string>

#include "zorcat/event_feed.h"
#include "zorcat/event_words.h"
#include "zorcat/exit_status.h"
#include "zorcat/host_system.h"
#include "zorcat/listen_probe.h"
#include "zorcat/port_setup.h"
#include "zorcat/received_output.h"
#include "zorcat/stop_signals.h"
#include "zortcp.h"

namespace zorcat {
namespace {

using std::chrono::milliseconds;

constexpr PortTag kServerTag = 1;
constexpr PortTag kClientTag = 2;
constexpr const char* kLoopbackAddress = "127.0.0.1";
// The client gives up after a few attempts rather than retrying for ever.
constexpr int32_t kClientRetries = 5;
constexpr int32_t kDebugLevel = 3;
// The server's monitor starts listening a moment after its open returns;
// the client opens once it does, so that its first attempt is not refused.
constexpr milliseconds kListenWait{2000};
constexpr milliseconds kConnectWait{5000};
constexpr milliseconds kMessageWait{5000};
constexpr milliseconds kDisconnectWait{2000};
constexpr size_t kLogLinesShown = 12;

struct Exchange {
  const char* request;
  const char* reply;
};

constexpr std::array<Exchange, 3> kConversation{{
    {"hello, server\n", "hello, client\n"},
    {"how many ports can one process open?\n", "32, and you are talking to one of them\n"},
    {"goodbye\n", "goodbye\n"},
}};

// A text with its line ends visible, in quotes.
std::string Quoted(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '\n') {
      quoted += "\\n";
    } else if (c == '\r') {
      quoted += "\\r";
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

struct DemoPort {
  PortTag tag;
  const char* role;
  std::optional<int32_t> handle;
  std::string received;  // what arrived since the last message was sent
  bool connected = false;
  bool open = false;

  std::string Name() const {
    return "port " + (handle ? std::to_string(*handle) : std::string("?")) + " (" + role + ")";
  }
};

class Demo {
 public:
  int Run();

 private:
  bool OpenServer();
  bool OpenClient();
  bool Converse();
  bool Send(DemoPort& from, DemoPort& to, const std::string& message);
  bool PumpEventsUntil(const std::function<bool()>& done, milliseconds timeout);
  void HandleEvent(const PortEvent& event);
  DemoPort& PortOf(PortTag tag) { return tag == kServerTag ? server_ : client_; }
  void ShowStatistics();
  void ClosePorts();
  void ShowLog();
  int Fail(int status, const std::string& reason);

  // The configuration file and the debug log; removed when the demo ends,
  // however it ends.
  TempDirectory directory_{"zorcat-demo"};
  std::string logPath_;
  uint32_t servicePort_ = 0;
  DemoPort server_{kServerTag, "server", std::nullopt, "", false, false};
  DemoPort client_{kClientTag, "client", std::nullopt, "", false, false};
};

int Demo::Run() {
  std::cout << "zorcat demo: a server port and a client port of this process talk over "
            << kLoopbackAddress << ".\n\n";
  if (!OpenServer()) return kExitOpenFailed;
  if (!OpenClient()) return kExitOpenFailed;
  std::cout << "\nevents as they happen (time, port, event):\n";
  if (!PumpEventsUntil([&] { return server_.connected && client_.connected; }, kConnectWait)) {
    return Fail(kExitNoConnection, "the ports did not connect within 5 s");
  }
  if (!Converse()) return Fail(kExitDataNotSent, "a message did not arrive within 5 s");
  ShowStatistics();
  std::cout << "\nlast error: " << LastFailure() << "\n";
  ClosePorts();
  ShowLog();
  std::cout << "\ndemo done.\n";
  return kExitSuccess;
}

bool Demo::OpenServer() {
  logPath_ = (directory_.path() / "server.log").string();
  const std::string configPath = (directory_.path() / "server.conf").string();
  // Service 0 lets the system choose a free port.
  const std::vector<ConfigLine> lines = {{"Service Name", "0"},
                                         {"Debug Level", std::to_string(kDebugLevel)},
                                         {"Debug Output File", logPath_}};
  WriteConfigFile(configPath, "", lines);
  std::cout << "configuration file of the server port, " << configPath << ":\n";
  for (const ConfigLine& line : lines) {
    std::cout << "  " << line.keyword << "=" << line.value << "\n";
  }

  PortOptions options;
  options.server = true;
  options.host = kLoopbackAddress;
  const PortOpening opening = OpenPort(options, configPath, kServerTag);
  if (!opening.handle) {
    std::cout << "open failed: " << opening.failure << "\n";
    return false;
  }
  server_.handle = opening.handle;
  server_.open = true;
  int32_t length = 0;
  ZorGetConfig(*server_.handle, ZOR_CONFIG_SERVICE_PORT, &servicePort_, &length);
  WaitUntilListening(kLoopbackAddress, servicePort_, kListenWait);
  std::cout << server_.Name() << " listens on " << kLoopbackAddress << " port " << servicePort_
            << ", which the system chose\n";
  return true;
}

bool Demo::OpenClient() {
  PortOptions options;
  options.host = kLoopbackAddress;
  options.service = std::to_string(servicePort_);
  options.retry = kClientRetries;
  const PortOpening opening = OpenPort(options, "", kClientTag);
  if (!opening.handle) {
    std::cout << "open failed: " << opening.failure << "\n";
    ClosePorts();
    return false;
  }
  client_.handle = opening.handle;
  client_.open = true;
  std::cout << client_.Name() << " connects to " << kLoopbackAddress << " port " << servicePort_
            << "\n";
  return true;
}

bool Demo::Converse() {
  for (const Exchange& exchange : kConversation) {
    if (!Send(client_, server_, exchange.request)) return false;
    if (!Send(server_, client_, exchange.reply)) return false;
  }
  return true;
}

bool Demo::Send(DemoPort& from, DemoPort& to, const std::string& message) {
  std::cout << from.Name() << " writes " << Quoted(message) << "\n";
  to.received.clear();
  ZorWritePort(*from.handle, message.data(), static_cast<int32_t>(message.size()));
  if (!PumpEventsUntil([&] { return to.received.size() >= message.size(); }, kMessageWait)) {
    return false;
  }
  std::cout << to.Name() << " reads " << Quoted(to.received) << "\n";
  return true;
}

bool Demo::PumpEventsUntil(const std::function<bool()>& done, milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    for (const PortEvent& event : EventFeed::Instance().Take()) HandleEvent(event);
    if (done()) return true;
    const auto left =
        std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    // Ctrl-C ends the wait, and the demo closes its ports and goes.
    if (StopSignals::Received() != 0) return false;
    WaitForEither(EventFeed::Instance().Wake(), StopSignals::Wake(), left);
  }
}

void Demo::HandleEvent(const PortEvent& event) {
  DemoPort& port = PortOf(event.tag);
  // A closed port's last events come from its close, which shuts the
  // sockets under its monitors.
  std::cout << "  " << TimeOfDay(event.when) << "  " << port.Name() << "  "
            << (port.open ? "" : "closing: ") << DescribeEvent(event) << "\n";
  if (event.kind == ZOR_EVENT_CONNECTED) port.connected = true;
  if (event.kind == ZOR_EVENT_DISCONNECTED) port.connected = false;
  if (event.kind == ZOR_EVENT_RECEIVED && port.open) {
    const std::vector<uint8_t> bytes =
        TakeReceived(*port.handle, static_cast<uint32_t>(event.value));
    port.received.append(bytes.begin(), bytes.end());
  }
}

void Demo::ShowStatistics() {
  std::cout << "\nstatistics:\n";
  std::printf("  %-17s %9s %9s %9s %9s %14s\n", "port", "rxBytes", "txBytes", "rxErrors",
              "txErrors", "connectErrors");
  for (const DemoPort* port : {&server_, &client_}) {
    ZorPortStatistics statistics{};
    ZorGetStatistics(*port->handle, &statistics);
    std::printf("  %-17s %9u %9u %9u %9u %14u\n", port->Name().c_str(), statistics.rxBytes,
                statistics.txBytes, statistics.rxErrors, statistics.txErrors,
                statistics.connectErrors);
  }
}

void Demo::ClosePorts() {
  std::cout << "\nclosing the ports:\n";
  if (client_.open) {
    std::cout << "  " << client_.Name() << " closes; the server sees its peer go\n";
    ZorClosePort(*client_.handle);
    client_.open = false;
    if (server_.open) PumpEventsUntil([&] { return !server_.connected; }, kDisconnectWait);
  }
  if (server_.open) {
    std::cout << "  " << server_.Name() << " closes\n";
    ZorClosePort(*server_.handle);
    server_.open = false;
  }
  // Events that the closes raised.
  for (const PortEvent& event : EventFeed::Instance().Take()) HandleEvent(event);
}

void Demo::ShowLog() {
  std::ifstream log(logPath_);
  // The demo's folder goes at exit, with the log: the lines shown are what
  // it held.
  std::cout << "\ndebug log of the server port (level " << kDebugLevel << "): " << logPath_
            << " (removed at exit)\n";
  if (!log) {
    std::cout << "  (the log could not be read)\n";
    return;
  }
  std::cout << "its first lines:\n";
  std::string line;
  for (size_t shown = 0; shown < kLogLinesShown && std::getline(log, line); ++shown) {
    std::cout << "  " << line << "\n";
  }
}

int Demo::Fail(int status, const std::string& reason) {
  if (const int signal = StopSignals::Received(); signal != 0) {
    std::cout << "demo interrupted by a signal\n";
    ClosePorts();
    return kExitSignalBase + signal;
  }
  std::cout << "demo failed: " << reason << "; last error: " << LastFailure() << "\n";
  ClosePorts();
  return status;
}

}  // namespace

int RunDemo() {
  try {
    // Ctrl-C and SIGTERM end the demo through its own close, which removes
    // its folder.
    StopSignals::Install();
    Demo demo;
    return demo.Run();
  } catch (const std::exception& failure) {
    std::cout << std::flush;
    std::cerr << "zorcat: " << failure.what() << "\n";
    return kExitLocalFailure;
  }
}

}  // namespace zorcat
