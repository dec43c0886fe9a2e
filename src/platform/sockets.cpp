// SPDX-License-Identifier: MIT
// The socket calls that every system makes of its others.
#include "platform/platform.h"
#include "platform/socket_table.h"

namespace zortcp::platform {

int32_t Connect(Socket socket, const SocketAddress& address) {
  return ConnectWithin(socket, address, kNoTimeout);
}

}  // namespace zortcp::platform
