// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

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

std::filesystem::path MakePrivateFolder(const std::filesystem::path& base,
                                        const std::string& prefix) {
  std::string pattern = (base / (prefix + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "cannot create " + pattern);
  }
  return pattern;
}

std::tm LocalTime(std::time_t seconds) {
  std::tm local{};
  ::localtime_r(&seconds, &local);
  return local;
}

bool ErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

long WriteSome(int descriptor, const void* data, size_t size) {
  return static_cast<long>(::write(descriptor, data, size));
}

WakeFlag::WakeFlag() {
  if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw std::system_error(errno, std::generic_category(), "wake pipe");
  }
}

WakeFlag::~WakeFlag() {
  ::close(pipe_[0]);
  ::close(pipe_[1]);
}

void WakeFlag::Raise() {
  const int savedErrno = errno;
  const char byte = 1;
  [[maybe_unused]] ssize_t written = ::write(pipe_[1], &byte, 1);
  errno = savedErrno;
}

void WakeFlag::Lower() {
  char byte;
  while (::read(pipe_[0], &byte, 1) > 0) {
  }
}

void WaitForEither(const WakeFlag& first, const WakeFlag& second,
                   std::chrono::milliseconds timeout) {
  pollfd waits[2] = {{first.pipe_[0], POLLIN, 0}, {second.pipe_[0], POLLIN, 0}};
  ::poll(waits, 2, static_cast<int>(timeout.count()));
}

StandardInput::StandardInput() {
  if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw std::system_error(errno, std::generic_category(), "pump pipe");
  }
}

StandardInput::~StandardInput() {
  ::close(pipe_[0]);
  ::close(pipe_[1]);
}

StandardInput::Wait StandardInput::WaitReadable() {
  pollfd waits[2] = {{STDIN_FILENO, POLLIN, 0}, {pipe_[0], POLLIN, 0}};
  for (;;) {
    const int ready = ::poll(waits, 2, -1);
    if (ready < 0 && errno != EINTR) {
      failure_ = SystemReason(errno);
      return Wait::kFailed;
    }
    if (waits[1].revents != 0) return Wait::kInterrupted;
    if (waits[0].revents != 0) return Wait::kReadable;
  }
}

long StandardInput::Read(char* buffer, size_t size) {
  const ssize_t got = ::read(STDIN_FILENO, buffer, size);
  if (got >= 0) return static_cast<long>(got);
  if (errno == EINTR || errno == EAGAIN) return kReadAgain;
  failure_ = SystemReason(errno);
  return kReadFailed;
}

void StandardInput::Interrupt() {
  const char byte = 1;
  [[maybe_unused]] ssize_t written = ::write(pipe_[1], &byte, 1);
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
