// SPDX-License-Identifier: MIT
// Stress: 16 server ports and 16 client ports of one process, each client
// connected to one server, with numbered blocks flowing both ways and every
// arriving byte checked (block_stream.h). Meanwhile ports are closed and
// reopened, plain peers connect to the servers and close or reset, clients
// are held with signal 1 and released, writes are larger than the rings,
// and hosts stop reading until their RxRing is full.
//
// Checks: every byte is the next one of its stream on its connection;
// every close returns within its bound; after the storm every pair carries
// data again both ways; once all ports are closed the process has the
// descriptors and threads it started with. The figures are printed at the
// end.
//
// ZORTCP_STRESS_SECONDS sets the length of the storm (45 s by default),
// ZORTCP_STRESS_RATE the bytes per second each writer aims at (by default
// chosen by build: lower under the sanitizers), ZORTCP_STRESS_SEED the seed
// of the random choices (printed at the start).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "stress/block_stream.h"
#include "support/client_port.h"
#include "support/library_fixture.h"
#include "support/loopback_peer.h"
#include "support/temp_directory.h"
#include "zortcp.h"

namespace zortcp::testing {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::seconds;

constexpr int kPairs = 16;
constexpr int kSlots = 2 * kPairs;  // slot 2p: the server of pair p; 2p + 1: its client
constexpr uint32_t kTagBase = 0x5A000000;
constexpr milliseconds kCloseBound{12000};  // 101 pauses of 50 ms per monitor, and a margin
constexpr milliseconds kStopWait{5000};     // a close that took longer terminated a monitor
constexpr milliseconds kParkBound{30000};
constexpr milliseconds kRecoveryBound{30000};
constexpr milliseconds kSettleBound{10000};
constexpr uint32_t kSmallRxRing = 20480;
constexpr uint32_t kSmallTxRing = 4096;
constexpr uint32_t kDefaultRxRing = 65536;
constexpr uint32_t kDefaultTxRing = 8192;
constexpr size_t kBurstBeyondRing = 768 * 1024;  // more than the socket buffers hold
constexpr size_t kRecoveryBytes = 4096;

#if defined(__SANITIZE_THREAD__)
constexpr double kDefaultRate = 12000;
#elif defined(__SANITIZE_ADDRESS__)
constexpr double kDefaultRate = 48000;
#else
constexpr double kDefaultRate = 128000;
#endif

double EnvironmentNumber(const char* name, double fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtod(text, nullptr) : fallback;
}

bool IsServer(int slot) { return slot % 2 == 0; }
int PartnerOf(int slot) { return slot ^ 1; }
int PairOf(int slot) { return slot / 2; }

// Lets the controller stop a worker thread between two calls into the
// library (no data call may run while its port closes), and ends it.
class Gate {
 public:
  // Worker side: waits here while the gate is shut; false once it should end.
  bool Pass() {
    std::unique_lock lock(mutex_);
    while (shut_ && !quit_) {
      parked_ = true;
      changed_.notify_all();
      changed_.wait(lock);
    }
    parked_ = false;
    return !quit_;
  }
  // Worker side: sleeps, but returns early when the gate is shut or ends.
  void Sleep(milliseconds duration) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, duration, [&] { return shut_ || quit_; });
  }
  bool ShouldPause() const {
    std::lock_guard lock(mutex_);
    return shut_ || quit_;
  }
  // Controller side.
  bool Shut(milliseconds bound) {
    std::unique_lock lock(mutex_);
    shut_ = true;
    changed_.notify_all();
    return changed_.wait_for(lock, bound, [&] { return parked_; });
  }
  void Open() {
    std::lock_guard lock(mutex_);
    shut_ = false;
    changed_.notify_all();
  }
  void Quit() {
    std::lock_guard lock(mutex_);
    quit_ = true;
    changed_.notify_all();
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool shut_ = false;
  bool parked_ = false;
  bool quit_ = false;
};

struct Figures {
  std::atomic<uint64_t> connections{0};
  std::atomic<uint64_t> drops{0};
  std::atomic<uint64_t> closes{0};
  std::atomic<uint64_t> pairReopens{0};
  std::atomic<uint64_t> holds{0};
  std::atomic<uint64_t> plainPeers{0};
  std::atomic<uint64_t> resets{0};
  std::atomic<uint64_t> readingStops{0};
  std::atomic<uint64_t> fullRings{0};
  std::atomic<uint64_t> largeWrites{0};
  std::atomic<uint64_t> bytesWritten{0};
  std::atomic<uint64_t> lateEvents{0};
  std::atomic<int64_t> longestCloseMs{0};
  std::atomic<uint64_t> terminatingCloses{0};  // a monitor did not stop within the wait
};

// One port of the run: its handle, what its receiving side has seen, and
// the writer and reader threads that act as its host.
struct Slot {
  int index = 0;
  int32_t handle = -1;
  uint32_t rxRingSize = kDefaultRxRing;
  std::atomic<uint32_t> generation{0};  // tells a closed port's events from the next one's

  // Written by the receive monitor's events, read by the reader.
  std::mutex eventsMutex;
  uint64_t received = 0;               // bytes the kind 3 events reported
  std::deque<uint64_t> connectionsAt;  // received count at each kind 1
  std::atomic<uint64_t> drops{0};      // this port's dropped chunks, over all its opens

  // The partner's stream as it arrives here, and the bytes read since the
  // open: the reader's, and the controller's while the reader is parked.
  std::mutex checkMutex;
  std::unique_ptr<StreamChecker> checker;
  uint64_t consumed = 0;

  Gate writerGate;
  Gate readerGate;
  std::atomic<size_t> burstRequest{0};
  std::atomic<bool> stopReading{false};
  uint64_t writeOffset = 0;  // of this port's own stream, over all its opens
};

// An array indexed by the test's int slot and pair numbers.
template <typename T, int N>
struct ByIndex : std::array<T, static_cast<size_t>(N)> {
  T& operator[](int index) { return this->at(static_cast<size_t>(index)); }
  const T& operator[](int index) const { return this->at(static_cast<size_t>(index)); }
};

class StressRun;
std::atomic<StressRun*> currentRun{nullptr};

class StressRun {
 public:
  StressRun(TempDirectory& directory, uint32_t seed)
      : directory_(directory),
        random_(seed),
        rate_(EnvironmentNumber("ZORTCP_STRESS_RATE", kDefaultRate)) {
    for (int i = 0; i < kSlots; ++i) {
      slots_[i].index = i;
      slots_[i].rxRingSize = PairOf(i) % 4 == 1 ? kSmallRxRing : kDefaultRxRing;
    }
    for (int i = 0; i < kSlots; ++i) StartChecker(i);
    currentRun.store(this);
  }

  ~StressRun() {
    StopWorkers();
    for (int i = 0; i < kSlots; ++i) ClosePort(i);
    currentRun.store(nullptr);
  }

  static int32_t ZOR_CALL Handler(int32_t /*source*/, int32_t kind, void* data, uint32_t userData) {
    if (StressRun* run = currentRun.load()) run->Event(kind, data, userData);
    return 0;
  }

  void OpenAll() {
    for (int pair = 0; pair < kPairs; ++pair) {
      ASSERT_TRUE(OpenPort(2 * pair, "0"));
      ASSERT_TRUE(OpenPort(2 * pair + 1, std::to_string(serverPorts_[pair])));
    }
  }

  void StartWorkers() {
    for (Slot& slot : slots_) {
      writers_.emplace_back([this, &slot] { WriterLoop(slot); });
      readers_.emplace_back([this, &slot] { ReaderLoop(slot); });
    }
  }

  // The storm: one random action every 20 to 120 ms.
  void Storm(Clock::duration length) {
    const auto end = Clock::now() + length;
    while (Clock::now() < end && !Failed()) {
      EndExpiredHoldsAndPeers(false);
      Act();
      std::this_thread::sleep_for(milliseconds(Random(20, 120)));
    }
    EndExpiredHoldsAndPeers(true);
  }

  // After the storm every pair must carry fresh bytes both ways again.
  void CheckRecovery() {
    ByIndex<uint64_t, kSlots> before{};
    for (int i = 0; i < kSlots; ++i) before[i] = VerifiedBytes(i);
    const auto deadline = Clock::now() + kRecoveryBound;
    for (int i = 0; i < kSlots; ++i) {
      while (VerifiedBytes(i) < before[i] + kRecoveryBytes && Clock::now() < deadline &&
             !Failed()) {
        std::this_thread::sleep_for(milliseconds(10));
      }
      EXPECT_GE(VerifiedBytes(i), before[i] + kRecoveryBytes)
          << "port of slot " << i << " receives nothing after the storm";
    }
  }

  // The writers end first: one may be waiting for its partner's reader to
  // make room.
  void StopWorkers() {
    for (Slot& slot : slots_) slot.writerGate.Quit();
    for (std::thread& writer : writers_) writer.join();
    for (Slot& slot : slots_) slot.readerGate.Quit();
    for (std::thread& reader : readers_) reader.join();
    writers_.clear();
    readers_.clear();
  }

  void CloseAll() {
    for (int i = 0; i < kSlots; ++i) ClosePort(i);
  }

  bool Failed() {
    for (Slot& slot : slots_) {
      std::lock_guard lock(slot.checkMutex);
      if (!slot.checker->failure().empty()) return true;
    }
    return failedOpen_.load() || ::testing::Test::HasFailure();
  }

  void ExpectStreamsIntact() {
    for (Slot& slot : slots_) {
      std::lock_guard lock(slot.checkMutex);
      EXPECT_EQ(slot.checker->FinalFailure(), "") << "slot " << slot.index;
    }
    EXPECT_EQ(figures_.lateEvents.load(), 0u) << "events raised for a port after its close";
  }

  CheckFigures Totals() {
    CheckFigures total;
    for (Slot& slot : slots_) {
      std::lock_guard lock(slot.checkMutex);
      const CheckFigures& figures = slot.checker->figures();
      total.verified += figures.verified;
      total.unverified += figures.unverified;
      total.connections += figures.connections;
      total.jumps += figures.jumps;
      total.skipped += figures.skipped;
    }
    return total;
  }

  const Figures& figures() const { return figures_; }
  double rate() const { return rate_; }

 private:
  // ------------------------------------------------------------ events

  void Event(int32_t kind, void* data, uint32_t userData) {
    Slot& slot = slots_[userData % kSlots];
    if (userData / kSlots != slot.generation.load()) {
      figures_.lateEvents.fetch_add(1);
      return;
    }
    const int32_t value = kind == ZOR_EVENT_CONNECTED ? 0 : *static_cast<const int32_t*>(data);
    if (kind == ZOR_EVENT_CONNECTED) {
      figures_.connections.fetch_add(1);
      std::lock_guard lock(slot.eventsMutex);
      slot.connectionsAt.push_back(slot.received);
    } else if (kind == ZOR_EVENT_RECEIVED) {
      std::lock_guard lock(slot.eventsMutex);
      slot.received += static_cast<uint32_t>(value);
    } else if (kind == ZOR_EVENT_ERROR && value == ZOR_ERROR_SEND_FAILED) {
      slot.drops.fetch_add(1);
      figures_.drops.fetch_add(1);
    }
  }

  // ------------------------------------------------------------ ports

  void StartChecker(int index) {
    Slot& partner = slots_[PartnerOf(index)];
    slots_[index].checker =
        std::make_unique<StreamChecker>(kTagBase + static_cast<uint32_t>(partner.index),
                                        [&partner] { return partner.drops.load(); });
  }

  std::string ConfigFor(int index, const std::string& service) {
    std::string lines = "Service Name=" + service + "\n";
    // Odd pairs run in the fast transfer mode; two ports keep a debug log.
    if (PairOf(index) % 2 == 1) lines += "Fast Transfer=yes\n";
    if (PairOf(index) == 2) {
      lines += "Debug Level=1\nDebug Output File=" +
               directory_.File("slot" + std::to_string(index) + ".log") + "\n";
    }
    const std::string path = directory_.File("slot" + std::to_string(index) + ".cfg");
    WriteFile(path, lines);
    return path;
  }

  bool OpenPort(int index, const std::string& service) {
    Slot& slot = slots_[index];
    const uint32_t generation = slot.generation.fetch_add(1) + 1;
    {
      std::lock_guard lock(slot.eventsMutex);
      slot.received = 0;
      slot.connectionsAt.clear();
    }
    {
      std::lock_guard lock(slot.checkMutex);
      slot.consumed = 0;
      slot.checker->EndConnection();
    }
    ZorChangeBufferSizes(slot.rxRingSize,
                         slot.rxRingSize == kSmallRxRing ? kSmallTxRing : kDefaultTxRing);
    ZorSetEventHandler(&StressRun::Handler, generation * kSlots + static_cast<uint32_t>(index));
    const std::string config = ConfigFor(index, service);
    const uint32_t flags = IsServer(index) ? ZOR_OPEN_SERVER : 0;
    int32_t handle = -1;
    if (ZorOpenPort("127.0.0.1", 0, flags, config.c_str(), &handle) != 0) {
      ZorSetEventHandler(nullptr, 0);
      return false;
    }
    slot.handle = handle;
    if (IsServer(index)) {
      uint32_t port = 0;
      int32_t length = 0;
      ZorGetConfig(handle, ZOR_CONFIG_SERVICE_PORT, &port, &length);
      serverPorts_[PairOf(index)] = static_cast<uint16_t>(port);
    }
    return true;
  }

  void ClosePort(int index) {
    Slot& slot = slots_[index];
    if (slot.handle < 0) return;
    const auto start = Clock::now();
    EXPECT_EQ(ZorClosePort(slot.handle), 0);
    const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    EXPECT_LE(took, kCloseBound) << "close of slot " << index;
    int64_t longest = figures_.longestCloseMs.load();
    while (took.count() > longest &&
           !figures_.longestCloseMs.compare_exchange_weak(longest, took.count())) {
    }
    figures_.closes.fetch_add(1);
    if (took >= kStopWait) figures_.terminatingCloses.fetch_add(1);
    slot.handle = -1;
    slot.generation.fetch_add(1);  // any event from now on is a late one
    std::lock_guard lock(slot.checkMutex);
    slot.checker->EndConnection();
  }

  // Shuts a host's gate. Holds and plain peers that expire meanwhile still
  // end: a server's writer may wait for room that only the end of a plain
  // peer it serves, which never reads, can make.
  bool ShutServing(Gate& gate) {
    const auto until = Clock::now() + kParkBound;
    while (!gate.Shut(milliseconds(50))) {
      if (Clock::now() >= until) return false;
      EndExpiredHoldsAndPeers(false);
    }
    return true;
  }

  // Stops the hosts of the given ports (all writers first: a writer may wait
  // for its partner's reader to make room), closes the ports in the given
  // order, reopens them in the reverse order (a server before its client)
  // and lets the hosts go on. A server keeps its port number unless asked
  // for a new one.
  void Reopen(const std::vector<int>& order, bool newServerPort) {
    for (int index : order) ASSERT_TRUE(ShutServing(slots_[index].writerGate)) << "writer stuck";
    for (int index : order) ASSERT_TRUE(ShutServing(slots_[index].readerGate)) << "reader stuck";
    for (int index : order) ClosePort(index);
    bool serverMoved = false;
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
      if (IsServer(*it)) {
        serverMoved = !ReopenServer(*it, newServerPort) || newServerPort;
      } else if (!OpenPort(*it, std::to_string(serverPorts_[PairOf(*it)]))) {
        failedOpen_.store(true);
        ADD_FAILURE() << "reopening the client of slot " << *it << " failed";
      }
    }
    for (int index : order) {
      slots_[index].writerGate.Open();
      slots_[index].readerGate.Open();
    }
    // A server on a new port number takes its client along.
    if (serverMoved && order.size() == 1) Reopen({PartnerOf(order.front())}, false);
  }

  // False when the server had to move to a new port number: another socket
  // took its old one meanwhile.
  bool ReopenServer(int index, bool newServerPort) {
    if (!newServerPort && OpenPort(index, std::to_string(serverPorts_[PairOf(index)]))) return true;
    if (!OpenPort(index, "0")) {
      failedOpen_.store(true);
      ADD_FAILURE() << "reopening the server of slot " << index << " failed";
    }
    return false;
  }

  // ------------------------------------------------------------ the storm

  int Random(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

  void Act() {
    const int pair = Random(0, kPairs - 1);
    const int server = 2 * pair;
    const int client = server + 1;
    switch (Random(0, 9)) {
      case 0:
      case 1:
        return Reopen({client}, false);
      case 2:
        return Reopen({server}, false);
      case 3:
        figures_.pairReopens.fetch_add(1);
        return Reopen({client, server}, true);
      case 4:
      case 5:
        return Hold(client, Random(0, 1) == 1);
      case 6:
      case 7:
        return ConnectPlainPeer(pair);
      case 8:
        return StopReading(Random(0, kSlots - 1));
      default:
        return;
    }
  }

  // Holds a client with signal 1 for a while; with lose, its server is
  // closed and reopened meanwhile, so that the held client stays without a
  // connection until it is released.
  void Hold(int client, bool lose) {
    if (holdUntil_[client]) return;
    ASSERT_EQ(ZorChangeSignal(slots_[client].handle, 1, 1), 0);
    holdUntil_[client] = Clock::now() + milliseconds(Random(100, 1000));
    figures_.holds.fetch_add(1);
    if (lose) Reopen({client - 1}, false);
  }

  // A plain peer connects to a server and, a little later, closes or
  // resets. While the server's own client is connected the peer is turned
  // away at once; otherwise it is served and the client is turned away.
  void ConnectPlainPeer(int pair) {
    PeerConnection peer = ConnectLoopback(serverPorts_[pair], milliseconds(300));
    if (!peer.IsOpen()) return;
    figures_.plainPeers.fetch_add(1);
    peers_.push_back(
        {std::move(peer), Clock::now() + milliseconds(Random(0, 300)), Random(0, 1) == 1});
  }

  void StopReading(int index) {
    Slot& slot = slots_[index];
    if (slot.stopReading.load()) return;
    slots_[PartnerOf(index)].burstRequest.store(slot.rxRingSize + kBurstBeyondRing);
    slot.stopReading.store(true);
  }

  void EndExpiredHoldsAndPeers(bool all) {
    const auto now = Clock::now();
    for (int i = 0; i < kSlots; ++i) {
      if (holdUntil_[i] && (all || *holdUntil_[i] <= now)) {
        EXPECT_EQ(ZorChangeSignal(slots_[i].handle, 1, 0), 0);
        holdUntil_[i].reset();
      }
    }
    for (auto it = peers_.begin(); it != peers_.end();) {
      if (!all && it->until > now) {
        ++it;
        continue;
      }
      if (it->reset) {
        it->connection.Reset();
        figures_.resets.fetch_add(1);
      }
      it = peers_.erase(it);
    }
  }

  // ------------------------------------------------------------ hosts

  // Writes the port's own stream: mostly pieces up to one and a half
  // chunks, one in ten larger than the TxRing, and a burst when the partner
  // has stopped reading, all at about the chosen rate.
  void WriterLoop(Slot& slot) {
    StreamBytes stream(kTagBase + static_cast<uint32_t>(slot.index));
    std::minstd_rand random(static_cast<uint32_t>(slot.index) + 1);
    std::vector<uint8_t> buffer;
    auto paceStart = Clock::now();
    uint64_t pacedBytes = 0;
    while (slot.writerGate.Pass()) {
      size_t size = random() % 10 == 0 ? 8193 + random() % 32768 : 1 + random() % 6144;
      const size_t burst = slot.burstRequest.exchange(0);
      if (burst > 0) size = burst;
      if (size > kDefaultTxRing) figures_.largeWrites.fetch_add(1);
      buffer.resize(size);
      stream.Copy(slot.writeOffset, buffer.data(), size);
      EXPECT_EQ(ZorWritePort(slot.handle, buffer.data(), static_cast<int32_t>(size)), 0);
      slot.writeOffset += size;
      figures_.bytesWritten.fetch_add(size);
      if (burst > 0) continue;  // a burst is not paced
      pacedBytes += size;
      const auto due =
          paceStart + std::chrono::duration_cast<Clock::duration>(
                          std::chrono::duration<double>(static_cast<double>(pacedBytes) / rate_));
      if (due > Clock::now()) {
        slot.writerGate.Sleep(std::chrono::duration_cast<milliseconds>(due - Clock::now()));
      } else if (Clock::now() - due > seconds(1)) {
        paceStart = Clock::now();  // fell behind (a full ring): do not race to catch up
        pacedBytes = 0;
      }
    }
  }

  void ReaderLoop(Slot& slot) {
    std::vector<uint8_t> buffer(16384);
    while (slot.readerGate.Pass()) {
      if (slot.stopReading.load()) {
        WaitForFullRing(slot);
        continue;
      }
      int32_t count = 0;
      EXPECT_EQ(
          ZorReadPort(slot.handle, buffer.data(), static_cast<int32_t>(buffer.size()), &count), 0);
      if (count <= 0) {
        slot.readerGate.Sleep(milliseconds(2));
        continue;
      }
      CheckBytes(slot, buffer.data(), static_cast<size_t>(count));
    }
  }

  // The host stops reading until its RxRing is full (or two seconds pass).
  void WaitForFullRing(Slot& slot) {
    figures_.readingStops.fetch_add(1);
    const auto until = Clock::now() + seconds(2);
    while (Clock::now() < until && !slot.readerGate.ShouldPause()) {
      if (static_cast<uint32_t>(ZorAnyToRead(slot.handle)) >= slot.rxRingSize) {
        figures_.fullRings.fetch_add(1);
        slot.readerGate.Sleep(milliseconds(50));  // and it stays full a while
        break;
      }
      slot.readerGate.Sleep(milliseconds(10));
    }
    slot.stopReading.store(false);
  }

  // Hands the bytes to the checker, split where a new connection began.
  void CheckBytes(Slot& slot, const uint8_t* bytes, size_t count) {
    std::lock_guard lock(slot.checkMutex);
    size_t done = 0;
    while (done < count) {
      const std::optional<uint64_t> next = NextConnectionAt(slot);
      if (next && *next <= slot.consumed) {
        PopConnectionAt(slot);
        slot.checker->BeginConnection();
        continue;
      }
      size_t take = count - done;
      if (next) take = std::min<size_t>(take, static_cast<size_t>(*next - slot.consumed));
      slot.checker->Feed(bytes + done, take);
      done += take;
      slot.consumed += take;
    }
  }

  std::optional<uint64_t> NextConnectionAt(Slot& slot) {
    std::lock_guard lock(slot.eventsMutex);
    if (slot.connectionsAt.empty()) return std::nullopt;
    return slot.connectionsAt.front();
  }

  void PopConnectionAt(Slot& slot) {
    std::lock_guard lock(slot.eventsMutex);
    slot.connectionsAt.pop_front();
  }

  uint64_t VerifiedBytes(int index) {
    std::lock_guard lock(slots_[index].checkMutex);
    return slots_[index].checker->figures().verified;
  }

  struct PlainPeer {
    PeerConnection connection;
    Clock::time_point until;
    bool reset;
  };

  TempDirectory& directory_;
  std::mt19937 random_;
  double rate_;
  ByIndex<Slot, kSlots> slots_;
  ByIndex<uint16_t, kPairs> serverPorts_{};
  ByIndex<std::optional<Clock::time_point>, kSlots> holdUntil_{};
  std::vector<PlainPeer> peers_;
  std::vector<std::thread> writers_;
  std::vector<std::thread> readers_;
  std::atomic<bool> failedOpen_{false};
  Figures figures_;
};

// Waits, within a bound, until a count comes back to what it was.
bool ComesBackTo(size_t (*count)(), size_t expected, size_t* last) {
  WaitUntil([&] { return (*last = count()) == expected; }, kSettleBound);
  return *last == expected;
}

class StressTest : public LoadedLibrary {};

TEST_F(StressTest, SixteenPairsKeepEveryStreamIntactThroughTheStorm) {
  const auto length = std::chrono::duration<double>(EnvironmentNumber("ZORTCP_STRESS_SECONDS", 45));
  const auto seed =
      static_cast<uint32_t>(EnvironmentNumber("ZORTCP_STRESS_SEED", std::random_device()()));
  const size_t threadsBefore = BaselineThreadCount();
  const size_t descriptorsBefore = DescriptorCount();
  TempDirectory directory;
  const auto start = Clock::now();
  {
    StressRun run(directory, seed);
    std::printf("stress: seed %u, %.0f s, %.0f bytes/s per writer\n", seed, length.count(),
                run.rate());
    run.OpenAll();
    ASSERT_FALSE(HasFatalFailure());
    run.StartWorkers();
    run.Storm(std::chrono::duration_cast<Clock::duration>(length));
    run.CheckRecovery();
    run.StopWorkers();
    run.CloseAll();
    run.ExpectStreamsIntact();

    const CheckFigures checked = run.Totals();
    const Figures& figures = run.figures();
    EXPECT_GT(checked.verified, 0u);
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf(
        "stress figures: %.1f s; %llu connections (%llu carried checked bytes); %llu bytes checked "
        "of %llu written, %llu unplaced at connection ends; %llu jumps over dropped chunks (%llu "
        "bytes, "
        "%llu chunks dropped); %llu closes (longest %lld ms, %llu past the 5 s wait), %llu pair "
        "reopens; %llu holds; "
        "%llu plain peers (%llu reset); %llu reading stops, %llu full RxRings; %llu writes larger "
        "than the TxRing\n",
        took, static_cast<unsigned long long>(figures.connections.load()),
        static_cast<unsigned long long>(checked.connections),
        static_cast<unsigned long long>(checked.verified),
        static_cast<unsigned long long>(figures.bytesWritten.load()),
        static_cast<unsigned long long>(checked.unverified),
        static_cast<unsigned long long>(checked.jumps),
        static_cast<unsigned long long>(checked.skipped),
        static_cast<unsigned long long>(figures.drops.load()),
        static_cast<unsigned long long>(figures.closes.load()),
        static_cast<long long>(figures.longestCloseMs.load()),
        static_cast<unsigned long long>(figures.terminatingCloses.load()),
        static_cast<unsigned long long>(figures.pairReopens.load()),
        static_cast<unsigned long long>(figures.holds.load()),
        static_cast<unsigned long long>(figures.plainPeers.load()),
        static_cast<unsigned long long>(figures.resets.load()),
        static_cast<unsigned long long>(figures.readingStops.load()),
        static_cast<unsigned long long>(figures.fullRings.load()),
        static_cast<unsigned long long>(figures.largeWrites.load()));
  }
  size_t threads = 0;
  size_t descriptors = 0;
  EXPECT_TRUE(ComesBackTo(&ThreadCount, threadsBefore, &threads))
      << threads << " threads, " << threadsBefore << " before";
  EXPECT_TRUE(ComesBackTo(&DescriptorCount, descriptorsBefore, &descriptors))
      << descriptors << " descriptors, " << descriptorsBefore << " before";
}

}  // namespace
}  // namespace zortcp::testing
