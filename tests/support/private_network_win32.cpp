// SPDX-License-Identifier: MIT
// Windows has no network namespace a test can make for itself: the tests
// that need one are skipped with this reason.
#include "support/private_network.h"

namespace zortcp::testing {

bool EnterPrivateNetwork(std::string* reason) {
  *reason = "no private network namespace on Windows: the loopback cannot be taken down";
  return false;
}

bool SetLoopbackUp(bool) { return false; }

}  // namespace zortcp::testing
