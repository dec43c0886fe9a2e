// SPDX-License-Identifier: MIT
#include "zorcat/listen_probe.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

namespace zorcat {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kTcpTable = "/proc/net/tcp";
// The table's state column for a listening socket.
constexpr const char* kListenState = "0A";
constexpr std::chrono::milliseconds kLookPause{1};

// The table shows a local address as the address's four bytes in memory
// order and the port, both in hexadecimal: "0100007F:3037".
std::string TableAddress(const std::string& address, uint32_t port) {
  in_addr bytes{};
  const bool dotted = !address.empty() && std::isdigit(static_cast<unsigned char>(address[0]));
  if (dotted) bytes.s_addr = ::inet_addr(address.c_str());
  char text[32];
  std::snprintf(text, sizeof(text), "%08X:%04X", static_cast<unsigned>(bytes.s_addr),
                static_cast<unsigned>(port & 0xFFFFu));
  return text;
}

// 1 when the table shows the socket listening, 0 when not, -1 when there
// is no table to look at.
int ShowsListening(const std::string& tableAddress) {
  std::ifstream table(kTcpTable);
  if (!table) return -1;
  std::string line;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (local == tableAddress && state == kListenState) return 1;
  }
  return 0;
}

}  // namespace

bool WaitUntilListening(const std::string& address, uint32_t port,
                        std::chrono::milliseconds timeout) {
  const std::string tableAddress = TableAddress(address, port);
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const int shown = ShowsListening(tableAddress);
    if (shown != 0) return shown == 1;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kLookPause);
  }
}

}  // namespace zorcat
