// SPDX-License-Identifier: MIT
// The files that the library reads and writes itself: a port's
// configuration file and its debug log.
#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/platform.h"

namespace zortcp::platform {
namespace {

constexpr mode_t kNewFileMode = 0666;  // narrowed by the process's umask

// O_NONBLOCK: an open of a FIFO never waits for the other end, and a read
// of a file that has nothing ready (/proc/kmsg) fails at once instead of
// waiting for more.
constexpr int kOpenFlags = O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

}  // namespace

bool ReadRegularFile(const char* path, size_t maxBytes, std::string* contents) {
  contents->clear();
  const int fd = open(path, O_RDONLY | kOpenFlags);
  if (fd < 0) return false;
  struct stat status {};
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    return false;
  }
  char chunk[4096];
  while (contents->size() < maxBytes) {
    const size_t wanted = std::min(sizeof chunk, maxBytes - contents->size());
    const ssize_t got = read(fd, chunk, wanted);
    if (got < 0 && errno == EINTR) continue;
    // The end, a failure or nothing ready: what was read is all there is.
    if (got <= 0) break;
    contents->append(chunk, static_cast<size_t>(got));
  }
  close(fd);
  return true;
}

std::FILE* CreateTextFile(const char* path) {
  // A FIFO without a reader fails with ENXIO here rather than waiting.
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | kOpenFlags, kNewFileMode);
  if (fd < 0) return nullptr;
  // Once open, a line is written whole, as to a plain file.
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    close(fd);
    return nullptr;
  }
  std::FILE* file = fdopen(fd, "w");
  if (file == nullptr) close(fd);
  return file;
}

void DiscardFile(std::FILE* file) {
  __fpurge(file);
  std::fclose(file);
}

}  // namespace zortcp::platform
