// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "zorcat/host_system.h"

namespace zorcat {
namespace {

constexpr const char* kNullDevice = "NUL";
// A pipe cannot be waited for: while it is empty, the pump looks again
// after this pause, or at once when interrupted.
constexpr DWORD kPipeLookPause = 10;  // ms
// Ctrl-Z at the start of a console line ends the input, as Ctrl-D does on
// a Linux terminal.
constexpr char kConsoleEnd = 0x1A;

std::string SystemReason(DWORD error) {
  char text[512] = {};
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, error, 0, text, sizeof(text), nullptr);
  std::string reason(text, length);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' ||
                             reason.back() == ' ' || reason.back() == '.')) {
    reason.pop_back();
  }
  return reason.empty() ? "system error " + std::to_string(error) : reason;
}

HANDLE NewEvent() {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), "event");
  }
  return event;
}

bool IsDirectory(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Why a file cannot be created at path, which does not exist yet.
std::string CreateProblem(const std::string& path) {
  std::filesystem::path folder = std::filesystem::path(path).parent_path();
  if (folder.empty()) folder = ".";
  const DWORD attributes = GetFileAttributesA(folder.string().c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
               ? "the folder " + folder.string() + " does not exist"
               : folder.string() + ": " + SystemReason(error);
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return folder.string() + " is not a folder";
  return "";
}

// A handle that is no handle, or a disk handle that cannot be read from
// (standard input) or written to: Wine hands a program that it started with
// a closed descriptor whatever it had opened there itself, a folder. Only a
// disk handle is tried with a read or write of no bytes, which a pipe's
// reader could take for its end.
bool IsUsable(HANDLE handle, bool input) {
  SetLastError(NO_ERROR);
  const DWORD kind = GetFileType(handle);
  if (kind == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR) return false;
  if (kind != FILE_TYPE_DISK) return true;
  char none = 0;
  DWORD moved = 0;
  return input ? ReadFile(handle, &none, 0, &moved, nullptr) != 0
               : WriteFile(handle, &none, 0, &moved, nullptr) != 0;
}

}  // namespace

void OpenMissingStandardStreams() {
  const DWORD handles[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  for (int fd = 0; fd <= 2; ++fd) {
    // A stream that zorcat was started without has no handle (the C
    // library marks it -2).
    const intptr_t handle = _get_osfhandle(fd);
    if (handle == -1 || handle == -2 || !IsUsable(reinterpret_cast<HANDLE>(handle), fd == 0)) {
      const int opened = _open(kNullDevice, fd == 0 ? _O_RDONLY : _O_WRONLY);
      if (opened >= 0 && opened != fd) {
        _dup2(opened, fd);
        _close(opened);
      }
      SetStdHandle(handles[fd], reinterpret_cast<HANDLE>(_get_osfhandle(fd)));
    }
    // Bytes as they are: no CR in front of LF, no end at Ctrl-Z.
    _setmode(fd, _O_BINARY);
  }
}

std::filesystem::path MakePrivateFolder(const std::filesystem::path& base,
                                        const std::string& prefix) {
  // The user's temporary folder is the user's own; a new folder in it
  // inherits that.
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char ending[16];
    std::snprintf(
        ending, sizeof(ending), "%06X",
        static_cast<unsigned>(
            (GetCurrentProcessId() * 7919u + GetTickCount() + ++counter * 104729u) & 0xFFFFFFu));
    const std::filesystem::path folder = base / (prefix + "-" + ending);
    if (CreateDirectoryA(folder.string().c_str(), nullptr) != 0) return folder;
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
      throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                              "cannot create " + folder.string());
    }
  }
  throw std::system_error(ERROR_ALREADY_EXISTS, std::system_category(),
                          "cannot create a folder in " + base.string());
}

std::tm LocalTime(std::time_t seconds) {
  std::tm local{};
  localtime_s(&local, &seconds);
  return local;
}

bool ErrorIsTerminal() {
  // A console, not another character device such as NUL, and one that
  // takes control sequences (Windows 10 and later, once asked).
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(error, &mode) == 0) return false;
  return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
         SetConsoleMode(error, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

long WriteSome(int descriptor, const void* data, size_t size) {
  constexpr size_t kLargestWrite = 1u << 30;
  return _write(descriptor, data,
                static_cast<unsigned>(size < kLargestWrite ? size : kLargestWrite));
}

WakeFlag::WakeFlag() : event_(NewEvent()) {}

WakeFlag::~WakeFlag() { CloseHandle(event_); }

void WakeFlag::Raise() { SetEvent(event_); }

void WakeFlag::Lower() { ResetEvent(event_); }

void WaitForEither(const WakeFlag& first, const WakeFlag& second,
                   std::chrono::milliseconds timeout) {
  HANDLE events[2] = {first.event_, second.event_};
  WaitForMultipleObjects(2, events, FALSE, static_cast<DWORD>(timeout.count()));
}

StandardInput::StandardInput() : input_(GetStdHandle(STD_INPUT_HANDLE)), interrupted_(NewEvent()) {
  kind_ = GetFileType(input_);
  DWORD mode = 0;
  console_ = kind_ == FILE_TYPE_CHAR && GetConsoleMode(input_, &mode) != 0;
}

StandardInput::~StandardInput() {
  CloseHandle(interrupted_);
  if (reader_ != nullptr) CloseHandle(reader_);
}

StandardInput::Wait StandardInput::WaitReadable() {
  if (reader_ == nullptr) {
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &reader_, 0,
                    FALSE, DUPLICATE_SAME_ACCESS);
  }
  if (console_) {
    // Signalled by any console input; a read then waits for a whole line,
    // which Ctrl-C or Interrupt cuts short.
    HANDLE waits[2] = {interrupted_, input_};
    const DWORD woken = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (woken == WAIT_OBJECT_0) return Wait::kInterrupted;
    if (woken == WAIT_OBJECT_0 + 1) return Wait::kReadable;
    failure_ = SystemReason(GetLastError());
    return Wait::kFailed;
  }
  if (kind_ != FILE_TYPE_PIPE) {
    // Files and the null device answer at once.
    return WaitForSingleObject(interrupted_, 0) == WAIT_OBJECT_0 ? Wait::kInterrupted
                                                                 : Wait::kReadable;
  }
  for (;;) {
    DWORD available = 0;
    // A broken pipe (the end) or one that cannot be peeked at: the read
    // tells.
    if (PeekNamedPipe(input_, nullptr, 0, nullptr, &available, nullptr) == 0 || available > 0) {
      waiting_ = available;
      return Wait::kReadable;
    }
    if (WaitForSingleObject(interrupted_, kPipeLookPause) == WAIT_OBJECT_0) {
      return Wait::kInterrupted;
    }
  }
}

long StandardInput::Read(char* buffer, size_t size) {
  // A pipe gives what it has without waiting for more.
  if (kind_ == FILE_TYPE_PIPE && waiting_ > 0 && waiting_ < size) size = waiting_;
  waiting_ = 0;
  DWORD got = 0;
  if (ReadFile(input_, buffer, static_cast<DWORD>(size), &got, nullptr) == 0) {
    const DWORD error = GetLastError();
    if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) return 0;
    // A console read cut short by Ctrl-C or by Interrupt.
    if (error == ERROR_OPERATION_ABORTED) return kReadAgain;
    failure_ = SystemReason(error);
    return kReadFailed;
  }
  if (console_) {
    // Ctrl-C gives a console read no bytes; the stop comes as a signal.
    if (got == 0) return kReadAgain;
    if (buffer[0] == kConsoleEnd) return 0;
  }
  return static_cast<long>(got);
}

void StandardInput::Interrupt() {
  SetEvent(interrupted_);
  if (console_ && reader_ != nullptr) CancelSynchronousIo(reader_);
}

LogPathCheck::LogPathCheck(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    problem_ = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? CreateProblem(path)
                                                                              : SystemReason(error);
    return;
  }
  if (IsDirectory(path)) {
    problem_ = "it is a folder";
    return;
  }
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    problem_ = SystemReason(GetLastError());
    return;
  }
  if (GetFileType(file) != FILE_TYPE_DISK) problem_ = "it is a device, not a file";
  CloseHandle(file);
}

LogPathCheck::~LogPathCheck() { Release(); }

void LogPathCheck::Release() {}

}  // namespace zorcat
