// End-to-end figures of zortcp ports beside plain sockets, in one run:
//   - throughput host-to-peer and peer-to-host, through 1 port and 32 ports
//     at once (client ports against plain-socket peers on 127.0.0.1), with
//     the share of the slowest of 32 ports against their mean;
//   - round trip of 16-byte messages through a client port to an echo peer
//     (median and 99th percentile);
//   - processor time of 1 and 32 idle connected ports;
//   - LogDataDump of 4 KiB at level 3, to a temporary file.
// Each is measured for the default mode and for the fast transfer mode, and
// for the plain-socket baseline (a host thread on a plain socket to the same
// peer). Results go to standard output; --markdown and --data write the
// table and the plot data that scripts/bench.sh puts into
// docs/performance.md.
//
// The host side of a port is written as a host should drive the library:
// the writer keeps at most the TxRing's capacity queued (it learns what has
// gone from the kind 4 events, and its handler wakes it only once a whole
// block fits again) and writes 4 KiB at a time (64 KiB into a 256 KiB ring
// in the fast mode), the reader wakes on kind 3 events and takes everything
// waiting with ZorReadPort.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "diagnostics/config_file.h"
#include "diagnostics/debug_log.h"
#include "platform/platform.h"
#include "port/control_block.h"
#include "zortcp.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::duration;
using std::chrono::duration_cast;
using std::chrono::milliseconds;

constexpr uint32_t kRxRingSize = 65536;       // the library's defaults
constexpr uint32_t kTxRingSize = 8192;
constexpr int32_t kWriteBlock = 4096;         // a host write: one chunk
// A host that wants the fast mode's throughput gives its ports larger rings
// (ZorChangeBufferSizes) and writes in larger blocks, as it would on a plain
// socket: the transmit monitor then never runs dry between two writes, the
// writer wakes once per block rather than once per chunk, and the receive
// monitor does not find its ring full whenever the reader is late (a full
// ring holds it in turns of a millisecond). The default mode runs with the
// library's default rings and 4 KiB writes.
constexpr uint32_t kFastRxRingSize = 1048576;
constexpr uint32_t kFastTxRingSize = 262144;
constexpr int32_t kFastWriteBlock = 65536;
constexpr size_t kPeerBlock = 65536;          // plain-socket reads and writes
constexpr int32_t kMessageSize = 16;
constexpr int32_t kChunkSize = 4096;
constexpr int32_t kManyPorts = 32;
constexpr auto kConnectWait = milliseconds(3000);

double Seconds(Clock::duration span) { return duration<double>(span).count(); }

// ------------------------------------------------------------ options

struct Options {
  double windowSeconds = 3.0;   // each throughput measurement
  double warmupSeconds = 0.5;
  double idleSeconds = 10.0;    // each idle measurement
  int spacedMessages = 250;     // round trips 20 ms apart, each mode
  int defaultMessages = 100;    // back-to-back round trips, default mode
  int fastMessages = 5000;      // back-to-back round trips, fast and plain
  double logSeconds = 1.0;
  std::string only;             // "throughput", "latency", "idle", "log"
  std::string mode;             // "plain", "default", "fast": that column only
  int throughputCase = -1;      // 0 to 3: that throughput row only
  std::string markdownPath;
  std::string dataPath;
};

void Usage() {
  std::puts(
      "port_bench [--quick] [--only throughput|latency|idle|log] [--mode plain|default|fast]\n"
      "           [--case 0|1|2|3]  (host to peer, peer to host; 1 port, then 32)\n"
      "           [--window S] [--idle S] [--markdown FILE] [--data FILE]\n"
      "  --quick   short runs (about 40 s in all): 0.8 s windows, 3 s idle\n");
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--quick") {
      options->windowSeconds = 0.8;
      options->warmupSeconds = 0.3;
      options->idleSeconds = 3.0;
      options->spacedMessages = 60;
      options->defaultMessages = 30;
      options->fastMessages = 1000;
      options->logSeconds = 0.3;
    } else if (arg == "--only" && hasValue) {
      options->only = argv[++i];
    } else if (arg == "--case" && hasValue) {
      options->throughputCase = std::atoi(argv[++i]);
    } else if (arg == "--mode" && hasValue) {
      options->mode = argv[++i];
    } else if (arg == "--window" && hasValue) {
      options->windowSeconds = std::atof(argv[++i]);
    } else if (arg == "--idle" && hasValue) {
      options->idleSeconds = std::atof(argv[++i]);
    } else if (arg == "--markdown" && hasValue) {
      options->markdownPath = argv[++i];
    } else if (arg == "--data" && hasValue) {
      options->dataPath = argv[++i];
    } else {
      Usage();
      return false;
    }
  }
  return true;
}

// ------------------------------------------------------------ plain sockets

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// An owned descriptor; Shutdown wakes a thread blocked on it.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void Shutdown() const {
    if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
  }

 private:
  int fd_ = -1;
};

class Listener {
 public:
  Listener() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof(address);
    if (bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(fd_.get(), 64) != 0 ||
        getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      std::perror("listener");
      std::exit(2);
    }
    port_ = ntohs(address.sin_port);
  }
  uint16_t port() const { return port_; }
  Fd Accept(milliseconds timeout) const {
    pollfd entry{fd_.get(), POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(timeout.count())) <= 0) return Fd();
    return Fd(accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
  }

 private:
  Fd fd_;
  uint16_t port_ = 0;
};

Fd ConnectPlain(uint16_t port) {
  Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in address = Loopback(port);
  if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    std::perror("connect");
    std::exit(2);
  }
  return fd;
}

bool SendAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

bool ReceiveExactly(int fd, uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t got = recv(fd, data, size, 0);
    if (got <= 0) return false;
    data += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

// ------------------------------------------------------------ ports

// What the event handler learns for one port. The user value of the handler
// is the index of the port's slot.
struct PortSlot {
  std::mutex mutex;
  std::condition_variable changed;
  bool connected = false;
  uint64_t receivedEvents = 0;
  uint64_t transmitted = 0;
  // The writer waits for the kind 4 events to bring transmitted up to this;
  // earlier ones do not wake it.
  uint64_t writerWakeAt = 0;
  // Set while the writer (or the reader) sleeps on `changed`: an event that
  // nobody waits for wakes nobody, as a host's handler would do it.
  bool writerWaiting = false;
  bool readerWaiting = false;
  bool stop = false;
};

std::array<PortSlot, kManyPorts> slots;

int32_t OnEvent(int32_t, int32_t kind, void* data, uint32_t userData) {
  PortSlot& slot = slots[userData];
  bool wake = true;
  {
    std::lock_guard lock(slot.mutex);
    if (kind == ZOR_EVENT_CONNECTED) slot.connected = true;
    if (kind == ZOR_EVENT_DISCONNECTED) slot.connected = false;
    if (kind == ZOR_EVENT_RECEIVED) {
      ++slot.receivedEvents;
      wake = slot.readerWaiting;
    }
    if (kind == ZOR_EVENT_TRANSMITTED) {
      slot.transmitted += *static_cast<int32_t*>(data);
      wake = slot.writerWaiting && slot.transmitted >= slot.writerWakeAt;
    }
  }
  if (wake) slot.changed.notify_all();
  return 0;
}

void ResetSlot(PortSlot& slot) {
  std::lock_guard lock(slot.mutex);
  slot.connected = false;
  slot.receivedEvents = 0;
  slot.transmitted = 0;
  slot.writerWakeAt = 0;
  slot.writerWaiting = false;
  slot.readerWaiting = false;
  slot.stop = false;
}

void StopSlot(PortSlot& slot) {
  {
    std::lock_guard lock(slot.mutex);
    slot.stop = true;
  }
  slot.changed.notify_all();
}

enum class Mode { kPlain, kDefault, kFast };

// One connection under test: a zortcp client port (or, for the baseline, a
// plain socket) and the plain-socket peer it is connected to.
struct Link {
  Mode mode = Mode::kPlain;
  int32_t handle = -1;  // port modes
  Fd plain;             // plain mode: the host's socket
  Fd peer;              // the peer's end
  uint32_t slot = 0;
};

void OpenPort(Link& link, const Listener& listener, Mode mode, uint32_t slot) {
  link.mode = mode;
  link.slot = slot;
  if (mode == Mode::kPlain) {
    link.plain = ConnectPlain(listener.port());
    link.peer = listener.Accept(kConnectWait);
    return;
  }
  const std::string service = std::to_string(listener.port());
  ZorChangeDefault(ZOR_DEFAULT_SERVICE, service.c_str(), static_cast<uint32_t>(service.size() + 1));
  const int32_t fast = mode == Mode::kFast ? 1 : 0;
  ZorChangeDefault(ZOR_DEFAULT_FAST_TRANSFER, &fast, sizeof(fast));
  ZorChangeBufferSizes(fast != 0 ? kFastRxRingSize : kRxRingSize,
                       fast != 0 ? kFastTxRingSize : kTxRingSize);
  ResetSlot(slots[slot]);
  ZorSetEventHandler(&OnEvent, slot);
  if (ZorOpenPort("127.0.0.1", 0, 0, nullptr, &link.handle) != 0) {
    std::fprintf(stderr, "ZorOpenPort failed\n");
    std::exit(2);
  }
  link.peer = listener.Accept(kConnectWait);
  PortSlot& state = slots[slot];
  std::unique_lock lock(state.mutex);
  if (!link.peer.valid() ||
      !state.changed.wait_for(lock, kConnectWait, [&] { return state.connected; })) {
    std::fprintf(stderr, "port did not connect\n");
    std::exit(2);
  }
}

void CloseLink(Link& link) {
  link.peer.Shutdown();
  link.plain.Shutdown();
  if (link.handle >= 0) ZorClosePort(link.handle);
  link.handle = -1;
  link.plain = Fd();
  link.peer = Fd();
}

std::vector<Link> OpenLinks(Mode mode, int count, const Listener& listener) {
  std::vector<Link> links(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) OpenPort(links[static_cast<size_t>(i)], listener, mode, static_cast<uint32_t>(i));
  return links;
}

void CloseLinks(std::vector<Link>& links) {
  for (auto& link : links) CloseLink(link);
}

// ------------------------------------------------------------ host sides

std::vector<uint8_t> Payload(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 131 + 7);
  return bytes;
}

// Keeps at most the TxRing's capacity queued, one block per write.
void PortWriter(const Link& link, const std::atomic<bool>& stop) {
  const bool fast = link.mode == Mode::kFast;
  const uint32_t ring = fast ? kFastTxRingSize : kTxRingSize;
  const int32_t size = fast ? kFastWriteBlock : kWriteBlock;
  const std::vector<uint8_t> block = Payload(size);
  PortSlot& slot = slots[link.slot];
  uint64_t written = 0;
  while (!stop.load(std::memory_order_relaxed)) {
    {
      std::unique_lock lock(slot.mutex);
      slot.writerWakeAt = written + size > ring ? written + size - ring : 0;
      slot.writerWaiting = true;
      slot.changed.wait(lock, [&] { return slot.stop || slot.transmitted >= slot.writerWakeAt; });
      slot.writerWaiting = false;
      if (slot.stop) return;
    }
    ZorWritePort(link.handle, block.data(), size);
    written += size;
  }
}

uint64_t ReceivedEvents(PortSlot& slot) {
  std::lock_guard lock(slot.mutex);
  return slot.receivedEvents;
}

// Waits for a kind 3 event after the count seen; false once stopped or at
// the deadline.
bool AwaitReceived(PortSlot& slot, uint64_t seen, Clock::time_point deadline) {
  std::unique_lock lock(slot.mutex);
  slot.readerWaiting = true;
  const bool arrived = slot.changed.wait_until(
      lock, deadline, [&] { return slot.stop || slot.receivedEvents != seen; });
  slot.readerWaiting = false;
  return arrived && !slot.stop;
}

// Wakes on kind 3 events and takes everything waiting.
void PortReader(const Link& link, const std::atomic<bool>& stop, std::atomic<uint64_t>& bytes) {
  std::vector<uint8_t> buffer(kPeerBlock);
  PortSlot& slot = slots[link.slot];
  while (!stop.load(std::memory_order_relaxed)) {
    const uint64_t seen = ReceivedEvents(slot);
    int32_t got = 0;
    ZorReadPort(link.handle, buffer.data(), static_cast<int32_t>(buffer.size()), &got);
    if (got > 0) {
      bytes.fetch_add(static_cast<uint64_t>(got), std::memory_order_relaxed);
    } else if (!AwaitReceived(slot, seen, Clock::now() + kConnectWait)) {
      return;
    }
  }
}

void PlainWriter(int fd, const std::atomic<bool>& stop) {
  const std::vector<uint8_t> block = Payload(kPeerBlock);
  while (!stop.load(std::memory_order_relaxed)) {
    if (!SendAll(fd, block.data(), block.size())) return;
  }
}

void PlainReader(int fd, const std::atomic<bool>& stop, std::atomic<uint64_t>& bytes) {
  std::vector<uint8_t> buffer(kPeerBlock);
  while (!stop.load(std::memory_order_relaxed)) {
    const ssize_t got = recv(fd, buffer.data(), buffer.size(), 0);
    if (got <= 0) return;
    bytes.fetch_add(static_cast<uint64_t>(got), std::memory_order_relaxed);
  }
}

// ------------------------------------------------------------ throughput

struct Throughput {
  double totalMBps = 0;  // all ports together
  double minMBps = 0;    // the slowest port
  double meanMBps = 0;
};

constexpr double kMega = 1e6;

enum class Direction { kHostToPeer, kPeerToHost };

// --mode measures one column only, the others stay empty.
bool Skipped(Mode mode, const Options& options) {
  static const char* const kNames[] = {"plain", "default", "fast"};
  return !options.mode.empty() && options.mode != kNames[static_cast<int>(mode)];
}

// Waits (at most 5 s) until no sink has taken a byte for 100 ms.
void WaitUntilDrained(const std::vector<std::atomic<uint64_t>>& received) {
  const auto total = [&] {
    uint64_t sum = 0;
    for (const auto& count : received) sum += count.load();
    return sum;
  };
  uint64_t last = total();
  for (const auto deadline = Clock::now() + std::chrono::seconds(5); Clock::now() < deadline;) {
    std::this_thread::sleep_for(milliseconds(100));
    const uint64_t now = total();
    if (now == last) return;
    last = now;
  }
}

// Starts the two ends of every link, lets them run through the warm-up,
// and measures what the receiving ends took during the window.
Throughput MeasureThroughput(Mode mode, int ports, Direction direction, const Options& options) {
  if (Skipped(mode, options)) return Throughput{};
  Listener listener;
  std::vector<Link> links = OpenLinks(mode, ports, listener);
  std::atomic<bool> sourcesStop{false};
  std::atomic<bool> sinksStop{false};
  std::vector<std::atomic<uint64_t>> received(static_cast<size_t>(ports));
  std::vector<std::thread> threads;
  for (int i = 0; i < ports; ++i) {
    Link& link = links[static_cast<size_t>(i)];
    std::atomic<uint64_t>& sink = received[static_cast<size_t>(i)];
    const bool toPeer = direction == Direction::kHostToPeer;
    const int sinkFd = toPeer ? link.peer.get() : link.plain.get();
    const int sourceFd = toPeer ? link.plain.get() : link.peer.get();
    if (toPeer || mode == Mode::kPlain) {
      threads.emplace_back([sinkFd, &sinksStop, &sink] { PlainReader(sinkFd, sinksStop, sink); });
    } else {
      threads.emplace_back([&link, &sinksStop, &sink] { PortReader(link, sinksStop, sink); });
    }
    if (!toPeer || mode == Mode::kPlain) {
      threads.emplace_back([sourceFd, &sourcesStop] { PlainWriter(sourceFd, sourcesStop); });
    } else {
      threads.emplace_back([&link, &sourcesStop] { PortWriter(link, sourcesStop); });
    }
  }
  std::this_thread::sleep_for(duration<double>(options.warmupSeconds));
  std::vector<uint64_t> before(static_cast<size_t>(ports));
  for (int i = 0; i < ports; ++i) before[static_cast<size_t>(i)] = received[static_cast<size_t>(i)].load();
  const auto start = Clock::now();
  std::this_thread::sleep_for(duration<double>(options.windowSeconds));
  const double elapsed = Seconds(Clock::now() - start);
  std::vector<double> rates(static_cast<size_t>(ports));
  for (int i = 0; i < ports; ++i) {
    const auto index = static_cast<size_t>(i);
    rates[index] = static_cast<double>(received[index].load() - before[index]) / elapsed / kMega;
  }

  // The sources stop first and the sinks drain what is under way, so that
  // no receive monitor is left waiting on a full ring when its port closes.
  sourcesStop.store(true);
  for (auto& link : links) {
    if (direction == Direction::kPeerToHost) link.peer.Shutdown();
    if (direction == Direction::kHostToPeer && mode == Mode::kPlain) link.plain.Shutdown();
    if (direction == Direction::kHostToPeer && mode != Mode::kPlain) StopSlot(slots[link.slot]);
  }
  WaitUntilDrained(received);
  sinksStop.store(true);
  for (auto& link : links) {
    StopSlot(slots[link.slot]);
    link.peer.Shutdown();
    link.plain.Shutdown();
  }
  for (auto& thread : threads) thread.join();
  CloseLinks(links);

  Throughput result;
  for (double rate : rates) result.totalMBps += rate;
  result.meanMBps = result.totalMBps / ports;
  result.minMBps = *std::min_element(rates.begin(), rates.end());
  return result;
}

// ------------------------------------------------------------ round trip

struct RoundTrip {
  double medianUs = 0;
  double p99Us = 0;
};

void EchoPeer(int fd) {
  uint8_t buffer[kChunkSize];
  for (;;) {
    const ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
    if (got <= 0 || !SendAll(fd, buffer, static_cast<size_t>(got))) return;
  }
}

// Waits until a whole message has come back through the port.
bool PortAwaitMessage(const Link& link, uint8_t* answer) {
  PortSlot& slot = slots[link.slot];
  const auto deadline = Clock::now() + kConnectWait;
  for (int32_t have = 0;;) {
    const uint64_t seen = ReceivedEvents(slot);
    int32_t got = 0;
    ZorReadPort(link.handle, answer + have, kMessageSize - have, &got);
    have += got;
    if (have == kMessageSize) return true;
    if (got == 0 && !AwaitReceived(slot, seen, deadline)) return false;
  }
}

// Round trips one after the other, or each starting gap after the last began.
RoundTrip MeasureRoundTrip(Mode mode, int messages, milliseconds gap) {
  Listener listener;
  Link link;
  OpenPort(link, listener, mode, 0);
  std::thread echo([&link] { EchoPeer(link.peer.get()); });
  uint8_t message[kMessageSize];
  uint8_t answer[kMessageSize];
  std::vector<double> samples;
  samples.reserve(static_cast<size_t>(messages));
  const int warmup = std::max(10, messages / 20);
  for (int i = 0; i < messages + warmup; ++i) {
    std::memset(message, i & 0xFF, sizeof(message));
    const auto start = Clock::now();
    bool ok;
    if (mode == Mode::kPlain) {
      ok = SendAll(link.plain.get(), message, sizeof(message)) &&
           ReceiveExactly(link.plain.get(), answer, sizeof(answer));
    } else {
      ZorWritePort(link.handle, message, kMessageSize);
      ok = PortAwaitMessage(link, answer);
    }
    const double us = Seconds(Clock::now() - start) * 1e6;
    if (!ok || std::memcmp(message, answer, sizeof(message)) != 0) {
      std::fprintf(stderr, "round trip %d failed\n", i);
      std::exit(2);
    }
    if (i >= warmup) samples.push_back(us);
    std::this_thread::sleep_until(start + gap);
  }
  link.peer.Shutdown();
  echo.join();
  CloseLink(link);
  std::sort(samples.begin(), samples.end());
  const auto at = [&](double q) { return samples[static_cast<size_t>(q * (samples.size() - 1))]; };
  return RoundTrip{at(0.5), at(0.99)};
}

// ------------------------------------------------------------ idle ports

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Percent of one core per connected port that does nothing, from the
// processor time of the whole process (the peers block in recv).
double MeasureIdle(Mode mode, int ports, const Options& options) {
  Listener listener;
  std::vector<Link> links = OpenLinks(mode, ports, listener);
  std::vector<std::thread> readers;
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> ignored{0};
  for (auto& link : links) {
    readers.emplace_back([&link, &stop, &ignored] { PlainReader(link.peer.get(), stop, ignored); });
    if (mode == Mode::kPlain) {
      readers.emplace_back([&link, &stop, &ignored] { PlainReader(link.plain.get(), stop, ignored); });
    }
  }
  std::this_thread::sleep_for(milliseconds(300));  // past the connect turns
  const double cpuBefore = ProcessCpuSeconds();
  const auto start = Clock::now();
  std::this_thread::sleep_for(duration<double>(options.idleSeconds));
  const double cpu = ProcessCpuSeconds() - cpuBefore;
  const double elapsed = Seconds(Clock::now() - start);
  stop.store(true);
  for (auto& link : links) {
    link.peer.Shutdown();
    link.plain.Shutdown();
  }
  for (auto& reader : readers) reader.join();
  CloseLinks(links);
  return cpu / elapsed / ports * 100.0;
}

// The floor under the default mode's idle cost on this machine: a library
// thread that does nothing but sleep 1 ms per turn, as an idle receive
// monitor does between its polls. Percent of one core, from the process's
// processor time as above.
struct SleepLoop {
  std::atomic<bool> stop{false};
  std::atomic<bool> done{false};
};

void SleepTurns(void* argument) {
  auto* loop = static_cast<SleepLoop*>(argument);
  while (!loop->stop.load()) zortcp::platform::Sleep(1);
  loop->done.store(true);
}

double MeasureSleepFloor(const Options& options) {
  SleepLoop loop;
  zortcp::platform::ThreadHandle thread = zortcp::platform::CreateSuspendedThread(&SleepTurns, &loop);
  zortcp::platform::ResumeThread(thread);
  std::this_thread::sleep_for(milliseconds(300));
  const double cpuBefore = ProcessCpuSeconds();
  const auto start = Clock::now();
  std::this_thread::sleep_for(duration<double>(options.idleSeconds));
  const double cpu = ProcessCpuSeconds() - cpuBefore;
  const double elapsed = Seconds(Clock::now() - start);
  loop.stop.store(true);
  while (!loop.done.load()) std::this_thread::sleep_for(milliseconds(1));
  zortcp::platform::CloseThreadHandle(thread);
  return cpu / elapsed * 100.0;
}

// ------------------------------------------------------------ log dump

// A plain hex dump of the same rows (offset, 16 bytes in hexadecimal, their
// characters), formatted from a table into one buffer, one fwrite and one
// fflush per dump.
void PlainDump(std::FILE* file, const uint8_t* bytes, int32_t size) {
  static const char kHex[] = "0123456789abcdef";
  static char text[32768];
  int length = std::snprintf(text, sizeof(text), "Raw Data Dump - %d Bytes\n", size);
  for (int32_t row = 0; row < size; row += 16) {
    for (int shift = 12; shift >= 0; shift -= 4) text[length++] = kHex[(row >> shift) & 0xF];
    text[length++] = ':';
    text[length++] = ' ';
    for (int32_t i = row; i < row + 16; ++i) {
      text[length++] = ' ';
      text[length++] = kHex[bytes[i] >> 4];
      text[length++] = kHex[bytes[i] & 0xF];
    }
    text[length++] = ' ';
    text[length++] = ' ';
    for (int32_t i = row; i < row + 16; ++i) {
      text[length++] = bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
    }
    text[length++] = '\n';
  }
  std::fwrite(text, 1, static_cast<size_t>(length), file);
  std::fflush(file);
}

// Bytes dumped per second, for a block of either mode, or the plain dump.
double MeasureLogDump(Mode mode, const Options& options) {
  char path[] = "/tmp/zortcp-bench-log-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return 0;
  close(fd);
  const std::vector<uint8_t> data = Payload(kChunkSize);
  auto block = std::make_unique<zortcp::PortControlBlock>();
  std::FILE* plainFile = nullptr;
  if (mode == Mode::kPlain) {
    plainFile = std::fopen(path, "w");
  } else {
    block->portNumber = 1;
    block->fastTransfer = mode == Mode::kFast;
    block->debugLevel.store(3);
    std::snprintf(block->debugOutputFile, sizeof(block->debugOutputFile), "%s", path);
    zortcp::OpenDebugLog(*block);
  }
  int64_t dumps = 0;
  const auto start = Clock::now();
  const auto end = start + duration_cast<Clock::duration>(duration<double>(options.logSeconds));
  while (Clock::now() < end) {
    for (int i = 0; i < 16; ++i, ++dumps) {
      if (plainFile != nullptr) {
        PlainDump(plainFile, data.data(), kChunkSize);
      } else {
        zortcp::LogDataDump(*block, 3, data.data(), kChunkSize);
      }
    }
  }
  const double elapsed = Seconds(Clock::now() - start);
  if (plainFile != nullptr) std::fclose(plainFile);
  zortcp::CloseDebugLog(*block);
  unlink(path);
  return static_cast<double>(dumps) * kChunkSize / elapsed / kMega;
}

// ------------------------------------------------------------ pacing

// The ceiling of the default pacing, measured rather than assumed: a plain
// socket read with one recv of at most 4096 bytes per 1 ms turn, slept on a
// library thread as the monitors sleep (with its lowered timer slack), from a
// peer that keeps it fed.
struct PacedReader {
  int fd = -1;
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> bytes{0};
  std::atomic<bool> done{false};
};

void PacedRead(void* argument) {
  auto* reader = static_cast<PacedReader*>(argument);
  uint8_t buffer[kChunkSize];
  while (!reader->stop.load()) {
    const ssize_t got = recv(reader->fd, buffer, sizeof(buffer), 0);
    if (got <= 0) break;
    reader->bytes.fetch_add(static_cast<uint64_t>(got));
    zortcp::platform::Sleep(1);
  }
  reader->done.store(true);
}

double MeasurePacingCeiling(const Options& options) {
  Listener listener;
  Link link;
  OpenPort(link, listener, Mode::kPlain, 0);
  std::atomic<bool> stop{false};
  std::thread feeder([&] { PlainWriter(link.peer.get(), stop); });
  PacedReader reader;
  reader.fd = link.plain.get();
  zortcp::platform::ThreadHandle thread = zortcp::platform::CreateSuspendedThread(&PacedRead, &reader);
  zortcp::platform::ResumeThread(thread);
  std::this_thread::sleep_for(duration<double>(options.warmupSeconds));
  const uint64_t before = reader.bytes.load();
  const auto start = Clock::now();
  std::this_thread::sleep_for(duration<double>(options.windowSeconds));
  const double rate = static_cast<double>(reader.bytes.load() - before) / Seconds(Clock::now() - start) / kMega;
  reader.stop.store(true);
  stop.store(true);
  link.peer.Shutdown();
  link.plain.Shutdown();
  feeder.join();
  while (!reader.done.load()) std::this_thread::sleep_for(milliseconds(1));
  zortcp::platform::CloseThreadHandle(thread);
  return rate;
}

// ------------------------------------------------------------ report

struct Row {
  std::string name;
  std::string unit;
  double plain = 0;
  double standard = 0;  // default mode
  double fast = 0;
  int plot = 0;  // panel of the plot: 0 none, 1 throughput, 2 round trip, 3 idle
};

std::string Format(double value) {
  char text[32];
  if (value >= 100) {
    std::snprintf(text, sizeof(text), "%.0f", value);
  } else if (value >= 1) {
    std::snprintf(text, sizeof(text), "%.2f", value);
  } else {
    std::snprintf(text, sizeof(text), "%.4f", value);
  }
  return text;
}

std::string Cell(double value) { return value > 0 ? Format(value) : "-"; }

std::string Ratio(double value, double plain) {
  if (plain <= 0 || value <= 0) return "-";
  char text[32];
  const double ratio = value / plain;
  std::snprintf(text, sizeof(text), ratio >= 100 ? "%.0f" : "%.3g", ratio);
  return text;
}

struct Target {
  std::string text;
  std::string measured;
  bool met = false;
};

class Report {
 public:
  void Add(Row row) {
    std::printf("%-44s %12s %12s %12s  %s\n", row.name.c_str(), Format(row.plain).c_str(),
                Format(row.standard).c_str(), Format(row.fast).c_str(), row.unit.c_str());
    std::fflush(stdout);
    rows_.push_back(std::move(row));
  }
  void Check(const std::string& text, double measured, const std::string& unit, bool met) {
    if (!(measured > 0) || measured == HUGE_VAL) return;  // a column left out by --mode
    targets_.push_back({text, Format(measured) + " " + unit, met});
    std::printf("  target: %-60s %s %s\n", text.c_str(), (Format(measured) + " " + unit).c_str(),
                met ? "met" : "MISSED");
    std::fflush(stdout);
  }
  void Note(std::string text) { notes_.push_back(std::move(text)); }

  void WriteMarkdown(const std::string& path) const {
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) return;
    std::fprintf(file, "| Measure | Unit | Plain socket | Default mode | Fast mode | Default / plain | Fast / plain |\n");
    std::fprintf(file, "|---|---|--:|--:|--:|--:|--:|\n");
    for (const auto& row : rows_) {
      // Shares of the mean are compared with the target, not with plain.
      const double comparable = row.unit == "ratio" ? 0 : row.plain;
      std::fprintf(file, "| %s | %s | %s | %s | %s | %s | %s |\n", row.name.c_str(), row.unit.c_str(),
                   Cell(row.plain).c_str(), Cell(row.standard).c_str(),
                   Cell(row.fast).c_str(), Ratio(row.standard, comparable).c_str(),
                   Ratio(row.fast, comparable).c_str());
    }
    std::fprintf(file, "\n| Target | Measured | Met |\n|---|--:|:-:|\n");
    for (const auto& target : targets_) {
      std::fprintf(file, "| %s | %s | %s |\n", target.text.c_str(), target.measured.c_str(),
                   target.met ? "yes" : "**no**");
    }
    for (const auto& note : notes_) std::fprintf(file, "\n%s\n", note.c_str());
    std::fclose(file);
  }

  // The plot data: for each panel, PREFIX-<panel>.dat with one line per row:
  // index, label (quoted), plain, default, fast.
  void WriteData(const std::string& prefix) const {
    const char* panels[] = {nullptr, "throughput", "roundtrip", "idle"};
    for (int panel = 1; panel <= 3; ++panel) {
      std::FILE* file = std::fopen((prefix + "-" + panels[panel] + ".dat").c_str(), "w");
      if (file == nullptr) continue;
      std::fprintf(file, "# index label plain default fast\n");
      int index = 0;
      for (const auto& row : rows_) {
        if (row.plot != panel) continue;
        std::string label = row.name;
        for (const char* prefix : {"Throughput ", "Round trip 16 B, ", "Idle connected port, "}) {
          if (label.rfind(prefix, 0) == 0) label.erase(0, std::strlen(prefix));
        }
        std::fprintf(file, "%d \"%s\" %g %g %g\n", index++, label.c_str(), row.plain,
                     row.standard, row.fast);
      }
      std::fclose(file);
    }
  }

 private:
  std::vector<Row> rows_;
  std::vector<Target> targets_;
  std::vector<std::string> notes_;
};

bool Wanted(const Options& options, const char* part) {
  return options.only.empty() || options.only == part;
}

void RunThroughput(const Options& options, Report& report) {
  const double ceiling = MeasurePacingCeiling(options);
  report.Add({"Pacing ceiling: one recv of <= 4096 B per 1 ms turn", "MB/s", ceiling, 0, 0});
  report.Note("The pacing ceiling is measured in the same run: a plain socket read with one "
              "recv of at most 4096 bytes per 1 ms turn, slept on a library thread as the "
              "monitors sleep. The default mode's targets are taken against it.");

  struct Case {
    const char* name;
    int ports;
    Direction direction;
  };
  const Case cases[] = {
      {"Throughput host to peer, 1 port", 1, Direction::kHostToPeer},
      {"Throughput peer to host, 1 port", 1, Direction::kPeerToHost},
      {"Throughput host to peer, 32 ports (sum)", kManyPorts, Direction::kHostToPeer},
      {"Throughput peer to host, 32 ports (sum)", kManyPorts, Direction::kPeerToHost},
  };
  for (const Case& c : cases) {
    if (options.throughputCase >= 0 && &c != &cases[options.throughputCase]) continue;
    const Throughput plain = MeasureThroughput(Mode::kPlain, c.ports, c.direction, options);
    const Throughput standard = MeasureThroughput(Mode::kDefault, c.ports, c.direction, options);
    const Throughput fast = MeasureThroughput(Mode::kFast, c.ports, c.direction, options);
    report.Add({c.name, "MB/s", plain.totalMBps, standard.totalMBps, fast.totalMBps, 1});
    const std::string way = c.direction == Direction::kHostToPeer ? "host to peer" : "peer to host";
    if (c.ports == 1) {
      report.Check("default mode " + way + " >= 95% of the pacing ceiling",
                   standard.totalMBps / ceiling * 100, "%", standard.totalMBps >= 0.95 * ceiling);
      report.Check("fast mode " + way + " >= 1/2 of plain socket", fast.totalMBps / plain.totalMBps,
                   "x plain", fast.totalMBps >= 0.5 * plain.totalMBps);
    } else {
      report.Add({"Slowest of 32 ports / mean, " + way, "ratio", plain.minMBps / plain.meanMBps,
                  standard.minMBps / standard.meanMBps, fast.minMBps / fast.meanMBps});
      report.Check("fast mode 32 busy ports " + way + ": none below 1/2 of the mean",
                   fast.minMBps / fast.meanMBps, "of mean", fast.minMBps >= 0.5 * fast.meanMBps);
    }
  }
}

void RunLatency(const Options& options, Report& report) {
  // Requests 20 ms apart, as a host that asks and waits: the default mode's
  // transmit monitor then sleeps (rather than pausing 10 ms) when the next
  // request comes.
  constexpr milliseconds kGap(20);
  const RoundTrip plain = MeasureRoundTrip(Mode::kPlain, options.spacedMessages, kGap);
  const RoundTrip standard = MeasureRoundTrip(Mode::kDefault, options.spacedMessages, kGap);
  const RoundTrip fast = MeasureRoundTrip(Mode::kFast, options.spacedMessages, kGap);
  report.Add({"Round trip 16 B, 20 ms apart, median", "us", plain.medianUs, standard.medianUs,
              fast.medianUs, 2});
  report.Add({"Round trip 16 B, 20 ms apart, 99th percentile", "us", plain.p99Us, standard.p99Us,
              fast.p99Us, 2});
  report.Check("default mode round trip median <= 2.5 ms", standard.medianUs / 1e3, "ms",
               standard.medianUs <= 2500);
  report.Check("fast mode round trip median <= 2x plain socket", fast.medianUs / plain.medianUs,
               "x plain", fast.medianUs <= 2 * plain.medianUs);

  const RoundTrip plainBurst = MeasureRoundTrip(Mode::kPlain, options.fastMessages, milliseconds(0));
  const RoundTrip standardBurst =
      MeasureRoundTrip(Mode::kDefault, options.defaultMessages, milliseconds(0));
  const RoundTrip fastBurst = MeasureRoundTrip(Mode::kFast, options.fastMessages, milliseconds(0));
  report.Add({"Round trip 16 B, back to back, median", "us", plainBurst.medianUs,
              standardBurst.medianUs, fastBurst.medianUs, 2});
}

void RunIdle(const Options& options, Report& report) {
  const double floor = MeasureSleepFloor(options);
  report.Add({"Idle floor: a thread sleeping 1 ms per turn", "% of a core", floor, 0, 0});
  report.Note("The idle floor is measured in the same run: a library thread that only sleeps "
              "1 ms per turn, as an idle default-mode receive monitor does between its polls. "
              "It is what a wake-up costs on this machine, whatever the thread does when "
              "awake.");
  for (int ports : {1, kManyPorts}) {
    const double plain = MeasureIdle(Mode::kPlain, ports, options);
    const double standard = MeasureIdle(Mode::kDefault, ports, options);
    const double fast = MeasureIdle(Mode::kFast, ports, options);
    const std::string name = "Idle connected port, " + std::to_string(ports) +
                             (ports == 1 ? " port" : " ports") + " (per port)";
    report.Add({name, "% of a core", plain, standard, fast, 3});
    if (ports == 1) {
      report.Check("default mode idle port < 0.5% of a core", standard, "%", standard < 0.5);
      report.Check("fast mode idle port < 0.05% of a core", fast, "%", fast < 0.05);
    }
  }
}

void RunLog(const Options& options, Report& report) {
  const double plain = MeasureLogDump(Mode::kPlain, options);
  const double standard = MeasureLogDump(Mode::kDefault, options);
  const double fast = MeasureLogDump(Mode::kFast, options);
  report.Add({"LogDataDump 4 KiB at level 3", "MB/s dumped", plain, standard, fast});
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) return 2;
  zortcp::LibraryLoad();
  std::printf("%-44s %12s %12s %12s\n", "measure", "plain", "default", "fast");
  Report report;
  if (Wanted(options, "throughput")) RunThroughput(options, report);
  if (Wanted(options, "latency")) RunLatency(options, report);
  if (Wanted(options, "idle")) RunIdle(options, report);
  if (Wanted(options, "log")) RunLog(options, report);
  zortcp::LibraryUnload();
  if (!options.markdownPath.empty()) report.WriteMarkdown(options.markdownPath);
  if (!options.dataPath.empty()) report.WriteData(options.dataPath);
  return 0;
}
