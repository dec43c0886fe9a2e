// SPDX-License-Identifier: MIT
// A host that loads the shared library at run time, as script languages
// do, and goes through one life event that the life-cycle tests drive:
//
//   exit  <library> <peer port> <ports> <read>   open client ports to a peer,
//         carry traffic (read 0: stop reading and wait for full RxRings),
//         print "busy", then exit() with everything running
//   fork  <library> <peer port> <ports> <forks>  carry traffic, fork children
//         that exit(); print "child <status> <ms>" for each, "forked", then
//         go on until standard input ends
//   cycles <library> <peer port> <cycles> <config>  dlopen, open two logging
//         ports, dlclose; print "fds <count>" before the first cycle and
//         after each
//   handler <library> <peer port>   dlclose while the event handler runs
//         the connected event, which returns once standard input ends; print
//         "dlclose <ms>" once dlclose has returned; once the handler has
//         returned, dlopen again, close the port, dlclose, and print
//         "unloaded" when that dlclose has unloaded the library
//   late <library> <peer port>   open a client port whose handler reads
//         every received chunk, print "open" once bytes flow, then exit()
//         with it open; a handler call made once the library's exit handler
//         has run ends the process with status 9
//   exitinside <library> <peer port>   the handler prints "exiting" and
//         calls exit() in the connected event
//   stack <library> <peer port> <KiB>    threads made from here on get KiB of
//         stack, as under "ulimit -s KiB"; then as "exit" with two fast
//         ports that read
//
// It reads the exported functions with dlsym and knows nothing else of the
// library. Any unexpected result ends it with a non-zero status.
#include <dlfcn.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "zortcp.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// ThreadSanitizer cannot follow a thread started in the child of a
// multi-threaded process (it takes it for one of the parent's vanished
// threads), so under it no child opens a port of its own.
#if defined(__SANITIZE_THREAD__)
constexpr bool kChildMayStartThreads = false;
#else
constexpr bool kChildMayStartThreads = true;
#endif

constexpr int kBadResult = 3;
constexpr int kNoLibrary = 4;
constexpr int kChunk = 4096;

struct Library {
  void* handle = nullptr;
  decltype(&ZorOpenPort) open = nullptr;
  decltype(&ZorClosePort) close = nullptr;
  decltype(&ZorWritePort) write = nullptr;
  decltype(&ZorReadPort) read = nullptr;
  decltype(&ZorAnyToRead) anyToRead = nullptr;
  decltype(&ZorChangeDefault) changeDefault = nullptr;
  decltype(&ZorChangeBufferSizes) changeBufferSizes = nullptr;
  decltype(&ZorSetEventHandler) setEventHandler = nullptr;
  decltype(&ZorGetConfig) getConfig = nullptr;
  decltype(&ZorGetStatistics) getStatistics = nullptr;
};

Library lib;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::exit(kBadResult);
}

void Check(bool condition, const char* what) {
  if (!condition) Fail(what);
}

template <typename Function>
void Bind(Function& function, const char* name) {
  function = reinterpret_cast<Function>(dlsym(lib.handle, name));
  if (function == nullptr) std::exit(kNoLibrary);
}

void Load(const char* path) {
  lib.handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (lib.handle == nullptr) {
    std::fprintf(stderr, "%s\n", dlerror());
    std::exit(kNoLibrary);
  }
  Bind(lib.open, "ZorOpenPort");
  Bind(lib.close, "ZorClosePort");
  Bind(lib.write, "ZorWritePort");
  Bind(lib.read, "ZorReadPort");
  Bind(lib.anyToRead, "ZorAnyToRead");
  Bind(lib.changeDefault, "ZorChangeDefault");
  Bind(lib.changeBufferSizes, "ZorChangeBufferSizes");
  Bind(lib.setEventHandler, "ZorSetEventHandler");
  Bind(lib.getConfig, "ZorGetConfig");
  Bind(lib.getStatistics, "ZorGetStatistics");
}

void Say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

int64_t MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

std::vector<int32_t> OpenClients(const std::string& peerPort, int count,
                                 const char* config = nullptr) {
  lib.changeDefault(ZOR_DEFAULT_SERVICE, peerPort.c_str(),
                    static_cast<uint32_t>(peerPort.size() + 1));
  std::vector<int32_t> handles;
  for (int index = 0; index < count; ++index) {
    int32_t handle = -1;
    Check(lib.open("127.0.0.1", 0, 0, config, &handle) == 0, "open failed");
    handles.push_back(handle);
  }
  return handles;
}

// Writes and reads every port in turn until stopped; counts what it read.
class Traffic {
 public:
  Traffic(const std::vector<int32_t>& handles, bool read) : handles_(handles), read_(read) {
    thread_ = std::thread([this] { Run(); });
  }
  void Stop() {
    stop_ = true;
    thread_.join();
  }
  // Left running on purpose: the host exits while it writes and reads.
  void Leave() { thread_.detach(); }
  int64_t received() const { return received_; }

 private:
  void Run() {
    std::vector<char> chunk(kChunk, 'h');
    while (!stop_) {
      for (int32_t handle : handles_) {
        lib.write(handle, chunk.data(), kChunk);
        int32_t count = 0;
        if (read_ && lib.read(handle, chunk.data(), kChunk, &count) == 0) received_ += count;
      }
      std::this_thread::sleep_for(milliseconds(1));
    }
  }

  std::vector<int32_t> handles_;
  bool read_;
  std::atomic<bool> stop_{false};
  std::atomic<int64_t> received_{0};
  std::thread thread_;
};

template <typename Condition>
void WaitFor(Condition condition, const char* what) {
  const auto start = Clock::now();
  while (!condition()) {
    Check(MillisecondsSince(start) < 30000, what);
    std::this_thread::sleep_for(milliseconds(5));
  }
}

bool Flowing(const Traffic& traffic, size_t ports) {
  return traffic.received() >= static_cast<int64_t>(64 * kChunk * ports);
}

// Every port has sent bytes to its peer.
bool Sending(const std::vector<int32_t>& handles) {
  for (int32_t handle : handles) {
    ZorPortStatistics statistics{};
    if (lib.getStatistics(handle, &statistics) != 0 || statistics.txBytes == 0) return false;
  }
  return true;
}

constexpr int32_t kSmallRxRing = 0x5000;

int ExitBusy(const std::string& peerPort, int ports, bool read) {
  // Small rings fill quickly when the host stops reading.
  if (!read) lib.changeBufferSizes(kSmallRxRing, 0x1000);
  const std::vector<int32_t> handles = OpenClients(peerPort, ports);
  Traffic traffic(handles, read);
  const auto ringsFull = [&] {
    for (int32_t handle : handles) {
      if (lib.anyToRead(handle) < kSmallRxRing - 1) return false;  // a full ring holds size - 1
    }
    return true;
  };
  WaitFor([&] { return read ? Flowing(traffic, handles.size()) : ringsFull(); }, "no traffic");
  Say("busy");
  traffic.Leave();
  std::exit(0);
}

// The child's checks: the parent's handles are closed here, the child can
// open a port of its own and carry a byte on it, and it exits promptly.
[[noreturn]] void ForkedChild(const std::vector<int32_t>& inherited, bool openOwn) {
  char byte = 'c';
  int32_t count = 0;
  for (int32_t handle : inherited) {
    if (lib.anyToRead(handle) != -2 || lib.write(handle, &byte, 1) != -2) std::exit(10);
  }
  if (openOwn) {
    lib.changeDefault(ZOR_DEFAULT_SERVICE, "0", 2);
    int32_t handle = -1;
    if (lib.open("127.0.0.1", 0, ZOR_OPEN_SERVER, nullptr, &handle) != 0) std::exit(11);
    uint32_t port = 0;
    int32_t length = 0;
    lib.getConfig(handle, ZOR_CONFIG_SERVICE_PORT, &port, &length);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // The port listens once its receive monitor runs, after the open.
    int peer = -1;
    const auto start = Clock::now();
    while (peer < 0 && MillisecondsSince(start) < 5000) {
      peer = socket(AF_INET, SOCK_STREAM, 0);
      if (connect(peer, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(peer);
        peer = -1;
        std::this_thread::sleep_for(milliseconds(1));
      }
    }
    if (peer < 0 || send(peer, &byte, 1, MSG_NOSIGNAL) != 1) std::exit(12);
    while (lib.read(handle, &byte, 1, &count) == 0 && count == 0 &&
           MillisecondsSince(start) < 5000) {
      std::this_thread::sleep_for(milliseconds(1));
    }
    if (count != 1) std::exit(13);
  }
  std::exit(0);  // with the library's unload, and the port opened above still open
}

// Waits for a child for at most timeout; the child is killed after it.
int ReapChild(pid_t child, milliseconds timeout) {
  const auto start = Clock::now();
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (Clock::now() - start > timeout) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(milliseconds(1));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int ForkChildren(const std::string& peerPort, int ports, int forks) {
  const std::vector<int32_t> handles = OpenClients(peerPort, ports);
  Traffic traffic(handles, true);
  WaitFor([&] { return Sending(handles); }, "no traffic");
  for (int index = 0; index < forks; ++index) {
    const auto start = Clock::now();
    const pid_t child = fork();
    Check(child >= 0, "fork failed");
    if (child == 0) ForkedChild(handles, index == 0 && kChildMayStartThreads);
    const int status = ReapChild(child, milliseconds(10000));
    Say("child " + std::to_string(status) + " " + std::to_string(MillisecondsSince(start)));
  }
  Say("forked");
  char ignored;
  while (read(STDIN_FILENO, &ignored, 1) > 0) {
  }
  traffic.Stop();
  for (int32_t handle : handles) Check(lib.close(handle) == 0, "close failed");
  return 0;
}

size_t DescriptorCount() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    ++count;
  return count;
}

int LoadUnloadCycles(const char* path, const std::string& peerPort, int cycles,
                     const char* config) {
  Say("fds " + std::to_string(DescriptorCount()));
  for (int cycle = 0; cycle < cycles; ++cycle) {
    Load(path);
    const std::vector<int32_t> handles = OpenClients(peerPort, 2, config);
    for (int32_t handle : handles) lib.write(handle, "cycle", 5);
    WaitFor([&] { return Sending(handles); }, "no connection");
    Check(dlclose(lib.handle) == 0, "dlclose failed");
    Say("fds " + std::to_string(DescriptorCount()));
  }
  return 0;
}

std::atomic<bool> handlerEntered{false};
std::atomic<bool> handlerReturned{false};

int32_t BlockingHandler(int32_t, int32_t kind, void*, uint32_t) {
  if (kind == ZOR_EVENT_CONNECTED && !handlerEntered.exchange(true)) {
    char ignored;
    while (read(STDIN_FILENO, &ignored, 1) > 0) {
    }
    handlerReturned = true;
  }
  return 0;
}

int32_t OpenWithHandler(const std::string& peerPort, ZorEventHandler handler) {
  lib.setEventHandler(handler, 0);
  const int32_t handle = OpenClients(peerPort, 1).front();
  WaitFor([] { return handlerEntered.load(); }, "no connected event");
  return handle;
}

int UnloadDuringHandler(const char* path, const std::string& peerPort) {
  const int32_t handle = OpenWithHandler(peerPort, BlockingHandler);
  const auto unload = Clock::now();
  Check(dlclose(lib.handle) == 0, "dlclose failed");
  Say("dlclose " + std::to_string(MillisecondsSince(unload)));
  WaitFor([] { return handlerReturned.load(); }, "the handler did not return");
  // The port stayed open with the library: a host that loads it again
  // finds it, and once it is closed a dlclose unloads the library.
  Load(path);
  Check(lib.close(handle) == 0, "close after dlopen failed");
  Check(dlclose(lib.handle) == 0, "second dlclose failed");
  if (dlopen(path, RTLD_NOW | RTLD_NOLOAD) == nullptr) Say("unloaded");
  return 0;
}

std::atomic<bool> exitBegan{false};
std::atomic<int32_t> lateHandle{-1};
std::atomic<bool> lateReceived{false};

int32_t ExitWatchingHandler(int32_t, int32_t kind, void*, uint32_t) {
  if (exitBegan) {
    std::fprintf(stderr, "handler called after exit began: kind %d\n", kind);
    _exit(9);
  }
  if (kind == ZOR_EVENT_CONNECTED) handlerEntered = true;
  if (kind == ZOR_EVENT_RECEIVED) {
    char bytes[kChunk];
    int32_t count = 0;
    lib.read(lateHandle, bytes, kChunk, &count);
    lateReceived = true;
  }
  return 0;
}

int ExitWithHandler(const std::string& peerPort) {
  lateHandle = OpenWithHandler(peerPort, ExitWatchingHandler);
  WaitFor([] { return lateReceived.load(); }, "no bytes received");
  Say("open");
  std::exit(0);
}

int32_t ExitingHandler(int32_t, int32_t kind, void*, uint32_t) {
  if (kind == ZOR_EVENT_CONNECTED) {
    Say("exiting");
    std::exit(0);
  }
  return 0;
}

int ExitInsideHandler(const std::string& peerPort) {
  lib.setEventHandler(ExitingHandler, 0);
  OpenClients(peerPort, 1);
  char ignored;
  while (read(STDIN_FILENO, &ignored, 1) > 0) {
  }
  return 1;  // the handler was never called
}

// Gives the threads made from now on (the library's monitors) the stack
// that a host started under "ulimit -s kib" gives them, and carries fast
// traffic on them.
int SmallStacks(const std::string& peerPort, int kib) {
  pthread_attr_t attributes;
  Check(pthread_getattr_default_np(&attributes) == 0, "no default thread attributes");
  Check(pthread_attr_setstacksize(&attributes, static_cast<size_t>(kib) * 1024) == 0,
        "stack size refused");
  Check(pthread_setattr_default_np(&attributes) == 0, "default stack size refused");
  pthread_attr_destroy(&attributes);
  const int32_t fast = 1;
  lib.changeDefault(ZOR_DEFAULT_FAST_TRANSFER, &fast, sizeof(fast));
  return ExitBusy(peerPort, 2, true);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  const std::string scenario = argv[1];
  const char* path = argv[2];
  const std::string peerPort = argv[3];
  const int number = argc > 4 ? std::atoi(argv[4]) : 0;
  // Registered before the library is loaded, so that it runs after the
  // library's own exit handler: from then on every handler call is a fault.
  if (scenario == "late") std::atexit([] { exitBegan = true; });
  if (scenario == "cycles" && argc == 6) return LoadUnloadCycles(path, peerPort, number, argv[5]);
  Load(path);
  if (scenario == "exit" && argc == 6) return ExitBusy(peerPort, number, std::atoi(argv[5]) != 0);
  if (scenario == "fork" && argc == 6) return ForkChildren(peerPort, number, std::atoi(argv[5]));
  if (scenario == "handler") return UnloadDuringHandler(path, peerPort);
  if (scenario == "late") return ExitWithHandler(peerPort);
  if (scenario == "exitinside") return ExitInsideHandler(peerPort);
  if (scenario == "stack") return SmallStacks(peerPort, number);
  return 2;
}
