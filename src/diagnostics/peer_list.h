// SPDX-License-Identifier: MIT
// Reading the list of "Allowed Peers": entries separated by commas, each an
// address or a prefix (address/bits) of either family, with blanks around
// it: "127.0.0.1, 10.0.0.0/8, ::1, fd00::/8".
#pragma once

#include <string_view>

#include "core/allowed_peers.h"

namespace zortcp {

// Adds the entries of one list to the peers, which from then on are given.
// The first entry that cannot be read (an empty one among them), or that
// finds the list full, is kept as the list's problem; nothing is added
// after it.
void AddAllowedPeers(AllowedPeers& peers, std::string_view text);

}  // namespace zortcp
