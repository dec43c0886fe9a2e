// SPDX-License-Identifier: MIT
#include <iphlpapi.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cctype>
#include <thread>
#include <vector>

#include "zorcat/listen_probe.h"

namespace zorcat {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kLookPause{1};

// 1 when the table shows the socket listening, 0 when not, -1 when there
// is no table to look at.
int ShowsListening(DWORD address, u_short port) {
  std::vector<char> buffer(16384);
  for (int attempt = 0; attempt < 4; ++attempt) {
    ULONG size = static_cast<ULONG>(buffer.size());
    const DWORD result = GetTcpTable(reinterpret_cast<PMIB_TCPTABLE>(buffer.data()), &size, FALSE);
    if (result == ERROR_INSUFFICIENT_BUFFER) {
      buffer.resize(size);
      continue;
    }
    if (result != NO_ERROR) return -1;
    const auto* table = reinterpret_cast<const MIB_TCPTABLE*>(buffer.data());
    for (DWORD row = 0; row < table->dwNumEntries; ++row) {
      const MIB_TCPROW& entry = table->table[row];
      if (entry.dwState == MIB_TCP_STATE_LISTEN && entry.dwLocalAddr == address &&
          static_cast<u_short>(entry.dwLocalPort) == port) {
        return 1;
      }
    }
    return 0;
  }
  return -1;
}

}  // namespace

bool WaitUntilListening(const std::string& address, uint32_t port,
                        std::chrono::milliseconds timeout) {
  in_addr bytes{};
  const bool dotted = !address.empty() && std::isdigit(static_cast<unsigned char>(address[0]));
  if (dotted) inet_pton(AF_INET, address.c_str(), &bytes);
  const u_short networkPort = htons(static_cast<u_short>(port & 0xFFFFu));
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const int shown = ShowsListening(bytes.s_addr, networkPort);
    if (shown != 0) return shown == 1;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kLookPause);
  }
}

}  // namespace zorcat
