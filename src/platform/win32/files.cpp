// SPDX-License-Identifier: MIT
// The files that the library reads and writes itself: a port's
// configuration file and its debug log. Only files on a disk are used: a
// pipe, a console or another device is refused, and one that the path
// names in the device namespace (\\.\) is never opened at all, since
// opening it may connect to whatever serves it. Handles are not inherited
// by the host's child processes.
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>

#include "platform/platform.h"
#include "platform/win32/system.h"

namespace zortcp::platform {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// \\.\pipe\name, \\.\COM1, \\.\PhysicalDrive0 and the like.
bool NamesDevice(const char* path) {
  return IsSeparator(path[0]) && IsSeparator(path[1]) && path[2] == '.' && IsSeparator(path[3]);
}

bool IsDiskFile(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION information{};
  return GetFileType(file) == FILE_TYPE_DISK &&
         GetFileInformationByHandle(file, &information) != 0 &&
         (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// A disk file opened as asked, or INVALID_HANDLE_VALUE.
HANDLE OpenDiskFile(const char* path, DWORD access, DWORD disposition) {
  if (path == nullptr || NamesDevice(path)) return INVALID_HANDLE_VALUE;
  HANDLE file =
      CreateFileA(path, access, kShareAll, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return file;
  if (!IsDiskFile(file)) {
    CloseHandle(file);
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

}  // namespace

bool ReadRegularFile(const char* path, size_t maxBytes, std::string* contents) {
  contents->clear();
  HANDLE file = OpenDiskFile(path, GENERIC_READ, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) return false;
  char chunk[4096];
  while (contents->size() < maxBytes) {
    const DWORD wanted = static_cast<DWORD>(std::min(sizeof chunk, maxBytes - contents->size()));
    DWORD got = 0;
    // The end or a failure: what was read is all there is.
    if (ReadFile(file, chunk, wanted, &got, nullptr) == 0 || got == 0) break;
    contents->append(chunk, got);
  }
  CloseHandle(file);
  return true;
}

std::FILE* CreateTextFile(const char* path) {
  HANDLE file = OpenDiskFile(path, GENERIC_WRITE, CREATE_ALWAYS);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  // Binary: the log's bytes are the same on every system, lines ending in
  // LF, so that one set of tools reads the logs of both.
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(file);
    return nullptr;
  }
  std::FILE* stream = _fdopen(fd, "wb");
  if (stream == nullptr) _close(fd);
  return stream;
}

// Windows has no fork: nothing is ever inherited this way. A plain close.
void DiscardFile(std::FILE* file) { std::fclose(file); }

}  // namespace zortcp::platform
