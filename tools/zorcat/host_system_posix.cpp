// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "zorcat/host_system.h"

namespace zorcat {
namespace {

constexpr const char* kNullDevice = "/dev/null";

// File systems whose files are the kernel's settings and reports: the
// library would open them, but its lines would be refused or would change
// a setting.
struct KernelFileSystem {
  decltype(statfs::f_type) magic;
  const char* name;
};
constexpr KernelFileSystem kKernelFileSystems[] = {
    {PROC_SUPER_MAGIC, "/proc"},       // processes and kernel settings
    {SYSFS_MAGIC, "/sys"},             // devices and drivers
    {DEBUGFS_MAGIC, "debugfs"},        // kernel debugging
    {CGROUP_SUPER_MAGIC, "cgroup"},    // control groups
    {CGROUP2_SUPER_MAGIC, "cgroup2"},  // control groups
};

std::string SystemReason(int error) { return std::strerror(error); }

// Why a file cannot be created at path, which does not exist yet.
std::string CreateProblem(const std::string& path) {
  std::filesystem::path folder = std::filesystem::path(path).parent_path();
  if (folder.empty()) folder = ".";
  struct stat status {};
  if (::stat(folder.c_str(), &status) != 0) {
    return errno == ENOENT ? "the folder " + folder.string() + " does not exist"
                           : folder.string() + ": " + SystemReason(errno);
  }
  if (!S_ISDIR(status.st_mode)) return folder.string() + " is not a folder";
  if (::access(folder.c_str(), W_OK | X_OK) != 0) {
    return "no file can be created in " + folder.string() + ": " + SystemReason(errno);
  }
  return "";
}

std::string KernelFileProblem(const std::string& path) {
  struct statfs fileSystem {};
  if (::statfs(path.c_str(), &fileSystem) != 0) return "";
  for (const KernelFileSystem& kernel : kKernelFileSystems) {
    if (fileSystem.f_type == kernel.magic) {
      return std::string("it is a file of the kernel's ") + kernel.name +
             " file system, not a log file";
    }
  }
  return "";
}

}  // namespace

void OpenMissingStandardStreams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is taken, and those below fd are open.
    const int opened = ::open(kNullDevice, fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

LogPathCheck::LogPathCheck(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    problem_ = errno == ENOENT ? CreateProblem(path) : SystemReason(errno);
    return;
  }
  if (S_ISDIR(status.st_mode)) {
    problem_ = "it is a folder";
  } else if (S_ISFIFO(status.st_mode)) {
    // The library opens a FIFO without waiting for a reader, as here.
    heldFifo_ = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (heldFifo_ < 0) {
      problem_ = errno == ENXIO ? "it is a FIFO that no process has open for reading"
                                : "it is a FIFO: " + SystemReason(errno);
    }
  } else if (S_ISSOCK(status.st_mode)) {
    problem_ = "it is a socket, not a file";
  } else if (S_ISBLK(status.st_mode)) {
    problem_ = "it is a block device, not a file";
  } else if (std::string kernel = KernelFileProblem(path); !kernel.empty()) {
    problem_ = kernel;
  } else if (::access(path.c_str(), W_OK) != 0) {
    problem_ = SystemReason(errno);
  }
}

LogPathCheck::~LogPathCheck() { Release(); }

void LogPathCheck::Release() {
  if (heldFifo_ >= 0) ::close(heldFifo_);
  heldFifo_ = -1;
}

}  // namespace zorcat
