// SPDX-License-Identifier: MIT
// A network namespace of the test's own, where the loopback can be taken
// down to make a peer vanish without a word, as when a cable is pulled.
#pragma once

#include <string>

namespace zortcp::testing {

// Moves the calling thread into a new network namespace with its loopback
// up; threads it starts later (a port's monitors) share it. False, with the
// reason, where the system does not allow it (it needs CAP_SYS_ADMIN).
bool EnterPrivateNetwork(std::string* reason);

// Takes the namespace's loopback interface up or down; false on failure.
bool SetLoopbackUp(bool up);

// Set in CI, where the tests that need a namespace must run: their absence
// is then a failure rather than a skip.
inline constexpr const char* kRequireNamespaceVariable = "ZORTCP_REQUIRE_NETWORK_NAMESPACE";

}  // namespace zortcp::testing
