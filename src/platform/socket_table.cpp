// SPDX-License-Identifier: MIT
// What the socket registries of both systems share.
#include "platform/socket_table.h"

namespace zortcp::platform {
namespace {

std::atomic<int32_t> blockedWaits{0};

}  // namespace

bool InjectedSocketFailure(faults::Operation operation, Socket socket) {
  int32_t injected = 0;
  if (!faults::ShouldFail(operation, socket, &injected)) return false;
  SetLastSocketError(injected);
  return true;
}

int32_t RemainingMs(std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int32_t>(left.count()) : 0;
}

CountedSocketWait::CountedSocketWait() { blockedWaits.fetch_add(1, std::memory_order_release); }
CountedSocketWait::~CountedSocketWait() { blockedWaits.fetch_sub(1, std::memory_order_release); }

int32_t BlockedSocketWaits() { return blockedWaits.load(std::memory_order_acquire); }

}  // namespace zortcp::platform
