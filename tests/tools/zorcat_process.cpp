// SPDX-License-Identifier: MIT
#include "tools/zorcat_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>

namespace zorcat::testing {
namespace {

using Clock = std::chrono::steady_clock;

constexpr milliseconds kReapWait{5000};
constexpr milliseconds kExitPoll{5};

milliseconds Left(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? left : milliseconds(0);
}

void MakePipe(int ends[2]) {
  if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
}

// In the child: the ends become its standard streams; nothing is allocated
// between fork and exec.
// An input of -1 leaves standard input closed.
[[noreturn]] void ExecZorcat(char** argv, int in, int out, int err) {
  if (in < 0) {
    ::close(STDIN_FILENO);
  } else {
    ::dup2(in, STDIN_FILENO);
  }
  ::dup2(out, STDOUT_FILENO);
  ::dup2(err, STDERR_FILENO);
  ::execv(ZORCAT_PATH, argv);
  ::_exit(127);
}

}  // namespace

ZorcatProcess::ZorcatProcess(const std::vector<std::string>& arguments, const Input& input) {
  std::vector<std::string> words{ZORCAT_PATH};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  int inPipe[2] = {-1, -1};
  int childIn = -1;
  if (input.kind == Input::Kind::kPipe) {
    MakePipe(inPipe);
    childIn = inPipe[0];
    inFd_ = inPipe[1];
  } else if (input.kind != Input::Kind::kClosed) {
    const std::string path = input.kind == Input::Kind::kFile ? input.file.string() : "/dev/null";
    childIn = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (childIn < 0) throw std::runtime_error("cannot open " + path);
  }
  int outPipe[2];
  int errPipe[2];
  MakePipe(outPipe);
  MakePipe(errPipe);

  pid_ = ::fork();
  if (pid_ == 0) ExecZorcat(argv.data(), childIn, outPipe[1], errPipe[1]);
  if (childIn >= 0) ::close(childIn);
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  outFd_ = outPipe[0];
  errFd_ = errPipe[0];
  if (pid_ < 0) throw std::runtime_error("fork");
}

ZorcatProcess::~ZorcatProcess() {
  KillAndReap();
  for (int fd : {inFd_, outFd_, errFd_}) {
    if (fd >= 0) ::close(fd);
  }
}

bool ZorcatProcess::Collect(milliseconds timeout) {
  pollfd waits[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
  if (outFd_ < 0 && errFd_ < 0) return false;
  if (::poll(waits, 2, static_cast<int>(timeout.count())) <= 0) return true;
  char buffer[65536];
  int* fds[2] = {&outFd_, &errFd_};
  std::string* sinks[2] = {&out_, &err_};
  for (int i = 0; i < 2; ++i) {
    if (waits[i].revents == 0) continue;
    const ssize_t got = ::read(*fds[i], buffer, sizeof(buffer));
    if (got > 0) {
      sinks[i]->append(buffer, static_cast<size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      ::close(*fds[i]);
      *fds[i] = -1;
    }
  }
  return outFd_ >= 0 || errFd_ >= 0;
}

bool ZorcatProcess::WaitFor(const std::string& sink, const std::string& text,
                            milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (sink.find(text) == std::string::npos) {
    if (Left(deadline).count() == 0 || !Collect(Left(deadline))) {
      return sink.find(text) != std::string::npos;
    }
  }
  return true;
}

bool ZorcatProcess::WaitForError(const std::string& text, milliseconds timeout) {
  return WaitFor(err_, text, timeout);
}

bool ZorcatProcess::WaitForOutput(const std::string& text, milliseconds timeout) {
  return WaitFor(out_, text, timeout);
}

bool ZorcatProcess::WriteInput(const std::string& text) {
  return inFd_ >= 0 &&
         ::write(inFd_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void ZorcatProcess::CloseInput() {
  if (inFd_ >= 0) ::close(inFd_);
  inFd_ = -1;
}

void ZorcatProcess::Signal(int number) {
  if (pid_ > 0 && !status_) ::kill(pid_, number);
}

Finished ZorcatProcess::Wait(milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  Finished finished;
  while (!status_ && Left(deadline).count() > 0) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (!Collect(std::min(Left(deadline), kExitPoll))) {
      // Both pipes have ended: the exit is a moment away.
      std::this_thread::sleep_for(kExitPoll);
    }
  }
  if (!status_) {
    KillAndReap();
  } else {
    finished.exited = true;
    finished.status = *status_;
  }
  // What the child wrote before it ended.
  const auto drainDeadline = Clock::now() + kReapWait;
  while (Left(drainDeadline).count() > 0 && Collect(Left(drainDeadline))) {
  }
  finished.out = out_;
  finished.err = err_;
  return finished;
}

void ZorcatProcess::KillAndReap() {
  if (pid_ <= 0 || status_) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  status_ = -1;
}

Finished RunZorcat(const std::vector<std::string>& arguments, const Input& input,
                   milliseconds timeout) {
  ZorcatProcess process(arguments, input);
  return process.Wait(timeout);
}

ScratchDirectory::ScratchDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zorcat-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
  path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path ScratchDirectory::Write(const std::string& name,
                                              const std::string& bytes) const {
  const std::filesystem::path path = path_ / name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::vector<std::string> LinesWith(const std::string& text, const std::string& part) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.find(part) != std::string::npos) lines.push_back(line);
  }
  return lines;
}

std::string NumberAfter(const std::string& text, const std::string& prefix) {
  const size_t at = text.find(prefix);
  if (at == std::string::npos) return "";
  const size_t begin = at + prefix.size();
  size_t end = begin;
  while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
  return text.substr(begin, end - begin);
}

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

bool BeginsWithTimeOfDay(const std::string& text) {
  static constexpr std::string_view kShape = "00:00:00.000";
  if (text.size() < kShape.size()) return false;
  for (size_t i = 0; i < kShape.size(); ++i) {
    const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
    if (kShape[i] == '0' ? !digit : text[i] != kShape[i]) return false;
  }
  return true;
}

}  // namespace zorcat::testing
