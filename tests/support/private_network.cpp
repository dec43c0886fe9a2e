// SPDX-License-Identifier: MIT
#include "support/private_network.h"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zortcp::testing {

bool EnterPrivateNetwork(std::string* reason) {
  if (unshare(CLONE_NEWNET) != 0) {
    *reason = std::string("no network namespace of its own: unshare: ") + std::strerror(errno);
    return false;
  }
  if (!SetLoopbackUp(true)) {
    *reason =
        std::string("the loopback of the new namespace does not come up: ") + std::strerror(errno);
    return false;
  }
  return true;
}

bool SetLoopbackUp(bool up) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool done = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  if (done) {
    request.ifr_flags =
        static_cast<short>(up ? (request.ifr_flags | IFF_UP) : (request.ifr_flags & ~IFF_UP));
    done = ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  }
  close(fd);
  return done;
}

}  // namespace zortcp::testing
