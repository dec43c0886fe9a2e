// SPDX-License-Identifier: MIT
#include "zorcat/command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "zorcat/exit_status.h"

#ifndef ZORCAT_VERSION
#define ZORCAT_VERSION "unknown"
#endif

namespace zorcat {
namespace {

constexpr const char* kSeeHelp = "zorcat: run with --help for more information.\n";

// What the help's examples and notes say differently per system: a request
// with CR LF from the shell (cmd's echo ends its line with CR LF), the null
// device and the services file.
#ifdef _WIN32
#define ZORCAT_REQUEST_COMMAND "echo status?| zorcat connect 192.168.0.20 12999"
#define ZORCAT_NULL_DEVICE     "NUL"
#define ZORCAT_SERVICES_FILE   "the services file\n(%SystemRoot%\\System32\\drivers\\etc\\services)"
#else
#define ZORCAT_REQUEST_COMMAND "printf 'status?\\r\\n' | zorcat connect 192.168.0.20 12999"
#define ZORCAT_NULL_DEVICE     "/dev/null"
#define ZORCAT_SERVICES_FILE   "/etc/services"
#endif

constexpr const char* kExamples = R"(Examples:
  zorcat demo
      A server port and a client port of this process exchange a few messages
      over 127.0.0.1: the events, the statistics and the debug log.
  )" ZORCAT_REQUEST_COMMAND R"(
      Sends a request to a device and prints its reply (192.168.0.20:12999
      in one argument says the same).
  zorcat connect --hex --stats localhost 7000 < request.bin
      Sends a file and shows the reply as a hexadecimal dump.
  zorcat listen 127.0.0.1 0 < )" ZORCAT_NULL_DEVICE R"( > received.bin
      Listens on a port that the system chooses (shown on standard error)
      and saves what the first peer sends until it closes.
  zorcat listen --allow 192.168.30.0/24,127.0.0.1 7000
      Serves only peers from that subnet and this host; any other is closed
      at once (with --log, the log names each one).
  zorcat connect --log port.log --level 3 device.local 12999
      Keeps the port's debug log, with the data on the wire, in port.log.

A SERVICE is a port number or a name from )" ZORCAT_SERVICES_FILE R"(; a connect without
one uses 12999. Events and messages go to standard error, received bytes to
standard output.

)";

struct Parser {
  CLI::App app{"zorcat: try zortcp ports from a terminal.", "zorcat"};
  CLI::App* demo = nullptr;
  CLI::App* connect = nullptr;
  CLI::App* listen = nullptr;
  Invocation invocation;
  std::string connectService;
  std::string listenFirst;
  std::string listenSecond;
  int32_t connectRetry = kDefaultConnectRetries;
  uint32_t keepAlive = kDefaultKeepAliveSeconds;
  bool paced = false;
};

// listen's SERVICE is always given, but CLI11 would give a lone argument to
// the first positional, ADDRESS, if SERVICE were required: to CLI11 both are
// optional, Complete takes a lone argument as the SERVICE, and the help
// shows SERVICE as required.
class ListenFormatter : public CLI::Formatter {
 public:
  std::string make_option_usage(const CLI::Option* option) const override {
    return option->get_name() == "SERVICE" ? "SERVICE" : CLI::Formatter::make_option_usage(option);
  }
};

void AddLivenessOption(CLI::App& command, uint32_t& keepAlive) {
  command
      .add_option("--keepalive", keepAlive,
                  "Give up a peer that stops answering after about 2N seconds "
                  "(TCP keep-alive, 1 to 7200); 0 turns it off")
      ->type_name("N")
      ->check(CLI::Range(uint32_t{0}, kMaxKeepAliveSeconds))
      ->capture_default_str();
}

// A tool moving files and streams from a terminal wants the throughput of
// the fast transfer mode; the default pacing stays one flag away.
void AddPacingOption(CLI::App& command, bool& paced) {
  command.add_flag("--paced", paced,
                   "The library's default pacing (at most 4096 bytes per 1 ms turn each way; "
                   "measured: about 0.7 MB/s sending, 2 to 4 MB/s receiving) "
                   "instead of the fast transfer mode (a --config file with Fast Transfer=YES "
                   "switches it on all the same)");
}

void AddPortOptions(CLI::App& command, PortOptions& port) {
  command
      .add_option("--config", port.configFile,
                  "Port configuration file of keyword lines (Service Name=..., "
                  "Connect Retry Count=..., Debug Level=...)")
      ->type_name("FILE");
  CLI::Option* log =
      command
          .add_option("--log", port.logFile,
                      "Keep the port's debug log in FILE (zorcat writes the configuration "
                      "file that switches it on)")
          ->type_name("FILE");
  command
      .add_option("--level", port.level,
                  "Debug level of --log: 1 protocol events, 2 adds reads and busy waits, "
                  "3 adds the data on the wire, 4 the data at the host interface")
      ->type_name("N")
      ->check(CLI::Range(1, 4))
      ->needs(log)
      ->capture_default_str();
  command
      .add_option("--rx-ring", port.rxRing,
                  "Receive ring size in bytes, at least 20480 "
                  "(the library's default is 65536)")
      ->type_name("BYTES")
      ->check(CLI::Range(kMinRxRing, kMaxRingSize));
  command
      .add_option("--tx-ring", port.txRing,
                  "Transmit ring size in bytes, at least 4096 "
                  "(the library's default is 8192)")
      ->type_name("BYTES")
      ->check(CLI::Range(kMinTxRing, kMaxRingSize));
  command.add_flag("--blocking", port.blocking, "Leave the connected socket in blocking mode");
  command.add_flag("--hex", port.hex, "Write received bytes as a hexadecimal dump");
  command.add_flag("--stats", port.stats, "Show the port's statistics at exit");
  command.add_flag("--crlf", port.crlf,
                   "Send the line ends of standard input as CR LF (a CR already in front of "
                   "an LF is kept)");
  CLI::Option* quiet =
      command.add_flag("-q,--quiet", port.quiet,
                       "No events, notes, progress line or statistics (but those of --stats): "
                       "only failures, an ending by a signal and the listening port");
  command
      .add_flag("-v,--verbose", port.verbose,
                "A line for every chunk received or sent (by default a line a second at most)")
      ->excludes(quiet);
  command
      .add_option("--idle", port.idleMs,
                  "After the end of input, close once nothing was received for MS "
                  "milliseconds; 0 waits for the peer to close")
      ->type_name("MS")
      ->check(CLI::Range(0, INT32_MAX))
      ->capture_default_str();
}

void DefineCommands(Parser& parser) {
  CLI::App& app = parser.app;
  app.set_version_flag("-V,--version", std::string("zorcat ") + ZORCAT_VERSION);
  app.failure_message([](const CLI::App*, const CLI::Error& error) {
    return std::string("zorcat: ") + error.what() + "\n" + kSeeHelp;
  });
  app.require_subcommand(1);
  // --version and -V after a command too; the commands take this from app.
  app.fallthrough();
  app.footer(kExamples + ExitStatusTable());

  parser.demo = app.add_subcommand(
      "demo", "A server port and a client port of this process talk over 127.0.0.1");

  parser.connect =
      app.add_subcommand("connect",
                         "A client port: connect to HOST and SERVICE, standard input to the port, "
                         "received bytes to standard output");
  parser.connect
      ->add_option("HOST", parser.invocation.port.host,
                   "Host name or dotted address; HOST:SERVICE in one argument says both")
      ->required();
  parser.connect->add_option("SERVICE", parser.connectService,
                             "Port number or service name (default 12999)");
  parser.connect
      ->add_option("--retry", parser.connectRetry,
                   "Give up after N failed connect attempts; 0 retries for ever")
      ->type_name("N")
      ->check(CLI::Range(0, INT32_MAX))
      ->capture_default_str();
  parser.connect
      ->add_option("--connect-timeout", parser.invocation.port.connectTimeout,
                   "Fail a connect attempt that has not completed within MS milliseconds "
                   "(1 to 600000; by default the system's own, about two minutes)")
      ->type_name("MS")
      ->check(CLI::Range(uint32_t{1}, kMaxConnectTimeoutMs));
  AddLivenessOption(*parser.connect, parser.keepAlive);
  AddPacingOption(*parser.connect, parser.paced);
  AddPortOptions(*parser.connect, parser.invocation.port);

  parser.listen = app.add_subcommand(
      "listen",
      "A server port: zorcat listen [ADDRESS] SERVICE; serves one peer at a time, "
      "standard input to it, received bytes to standard output");
  parser.listen->add_option("ADDRESS", parser.listenFirst,
                            "Dotted local address to bind to (default: every address)");
  parser.listen
      ->add_option("SERVICE", parser.listenSecond,
                   "Port number (0: the system chooses) or service name; "
                   "ADDRESS:SERVICE in one argument says both")
      ->option_text("TEXT REQUIRED");
  parser.listen->formatter(std::make_shared<ListenFormatter>());
  parser.listen->add_flag("--lookup", parser.invocation.port.lookup,
                          "Name accepted peers by a host name lookup");
  parser.listen
      ->add_option("--allow", parser.invocation.port.allowedPeers,
                   "Serve only peers from these addresses and prefixes, separated by commas "
                   "(127.0.0.1,192.168.30.0/24,::1); any other is closed at once")
      ->type_name("LIST");
  AddLivenessOption(*parser.listen, parser.keepAlive);
  AddPacingOption(*parser.listen, parser.paced);
  AddPortOptions(*parser.listen, parser.invocation.port);
}

bool IsNumber(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(),
                                      [](unsigned char c) { return std::isdigit(c) != 0; });
}

// A service is a port number or a name; a port number beyond 65535 would
// be cut to another port by the library.
std::string CheckService(const std::string& service) {
  if (!IsNumber(service)) return "";
  const size_t digits = service.find_first_not_of('0');
  if (digits != std::string::npos &&
      (service.size() - digits > 5 || std::stoul(service.substr(digits)) > kMaxServicePort)) {
    return "SERVICE " + service + " is not a port number (0 to 65535)";
  }
  return "";
}

// HOST:SERVICE (ADDRESS:SERVICE) in one argument, as netcat-style tools
// take it, becomes the two; an argument without a colon stays as it is.
std::string SplitHostService(const char* hostWord, std::string& host, std::string& service,
                             bool hostNeeded) {
  const std::string both = host.empty() ? service : host;
  const size_t colon = both.find(':');
  if (colon == std::string::npos) return "";
  if (both.find(':', colon + 1) != std::string::npos) {
    return both + " is not " + hostWord + ":SERVICE (IPv4 addresses and host names only)";
  }
  host = both.substr(0, colon);
  service = both.substr(colon + 1);
  if (service.empty()) return both + " has no SERVICE after the colon";
  if (hostNeeded && host.empty()) return both + " has no " + hostWord + " before the colon";
  return "";
}

// An option that the command does not know, named; CLI11 would report the
// arguments after it as unexpected instead. Values of known options are
// skipped, so that "--retry -1" reaches CLI11's range check.
std::string CheckOptionNames(Parser& parser, int argc, char** argv) {
  CLI::App* command = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--") break;
    if (argument.size() < 2 || argument[0] != '-') {
      for (CLI::App* known : {parser.demo, parser.connect, parser.listen}) {
        if (command == nullptr && argument == known->get_name()) command = known;
      }
      continue;
    }
    const bool isLong = argument[1] == '-';
    const std::string name =
        isLong ? argument.substr(0, argument.find('=')) : argument.substr(0, 2);
    CLI::App* scope = command != nullptr ? command : &parser.app;
    const CLI::Option* option = scope->get_option_no_throw(name);
    if (option == nullptr) option = parser.app.get_option_no_throw(name);
    if (option == nullptr) {
      return (command != nullptr ? command->get_name() + " has no option " : "no option ") + name;
    }
    const bool takesValue = option->get_expected_min() > 0;
    if (isLong && takesValue && argument.find('=') == std::string::npos) ++i;
    if (!isLong && takesValue && argument.size() == 2) ++i;
  }
  return "";
}

// The command is the first argument that is not an option; CLI11 would take
// an unknown one for a missing command.
std::string CheckCommandName(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (argument[0] == '-') continue;
    for (const char* known : {"demo", "connect", "listen"}) {
      if (std::strcmp(argument, known) == 0) return "";
    }
    return std::string("unknown command '") + argument + "': demo, connect or listen";
  }
  return "";
}

// What CLI11 cannot check: the optional first argument of listen, the range
// of a numeric service and the lengths that the library's fields hold.
std::string Complete(Parser& parser) {
  Invocation& invocation = parser.invocation;
  PortOptions& port = invocation.port;
  if (parser.app.got_subcommand(parser.demo)) {
    invocation.command = Command::kDemo;
    return "";
  }
  port.keepAlive = parser.keepAlive;
  port.fastTransfer = !parser.paced;
  if (parser.app.got_subcommand(parser.connect)) {
    invocation.command = Command::kConnect;
    port.service = parser.connectService;
    port.retry = parser.connectRetry;
    if (port.service.empty()) {
      if (std::string problem = SplitHostService("HOST", port.host, port.service, true);
          !problem.empty()) {
        return problem;
      }
    }
  } else {
    invocation.command = Command::kListen;
    port.server = true;
    if (parser.listenFirst.empty()) return "listen needs a SERVICE (a port number, or 0)";
    const bool both = !parser.listenSecond.empty();
    port.host = both ? parser.listenFirst : "";
    port.service = both ? parser.listenSecond : parser.listenFirst;
    if (!both) {
      // A lone address is a forgotten service, not a service of its own.
      if (std::isdigit(static_cast<unsigned char>(port.service[0])) && !IsNumber(port.service) &&
          port.service.find(':') == std::string::npos) {
        return "listen " + port.service + " needs a SERVICE too: zorcat listen [ADDRESS] SERVICE";
      }
      if (std::string problem = SplitHostService("ADDRESS", port.host, port.service, false);
          !problem.empty()) {
        return problem;
      }
    }
  }
  if (const size_t colon = port.host.find(':'); colon != std::string::npos) {
    if (port.host.find(':', colon + 1) != std::string::npos) {
      return port.host + " is an IPv6 address: IPv4 addresses and host names only";
    }
    return "a SERVICE is given twice: in " + port.host + " and as " + port.service;
  }
  if (port.service.find(':') != std::string::npos) {
    return "SERVICE " + port.service + " is not a port number or a service name";
  }
  if (std::string problem = CheckService(port.service); !problem.empty()) return problem;
  if (port.host.size() > kMaxHostLength) return "the host name is too long";
  if (port.service.size() > kMaxServiceLength) return "the service name is too long";
  if (port.configFile.size() > kMaxPathLength) return "the configuration file's path is too long";
  if (port.logFile.size() > kMaxLogPathLength) return "the debug log's path is too long";
  return "";
}

}  // namespace

std::optional<Invocation> ParseCommandLine(int argc, char** argv, int& exitStatus) {
  if (const std::string problem = CheckCommandName(argc, argv); !problem.empty()) {
    std::cerr << "zorcat: " << problem << "\n" << kSeeHelp;
    exitStatus = kExitUsage;
    return std::nullopt;
  }
  Parser parser;
  DefineCommands(parser);
  if (const std::string problem = CheckOptionNames(parser, argc, argv); !problem.empty()) {
    std::cerr << "zorcat: " << problem << "\n" << kSeeHelp;
    exitStatus = kExitUsage;
    return std::nullopt;
  }
  try {
    parser.app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    exitStatus = parser.app.exit(error) == 0 ? kExitSuccess : kExitUsage;
    return std::nullopt;
  }
  if (const std::string problem = Complete(parser); !problem.empty()) {
    std::cerr << "zorcat: " << problem << "\n" << kSeeHelp;
    exitStatus = kExitUsage;
    return std::nullopt;
  }
  return parser.invocation;
}

}  // namespace zorcat
