// SPDX-License-Identifier: MIT
#include "zorcat/stream_session.h"

#include <unistd.h>

#include <cctype>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "zorcat/console.h"
#include "zorcat/event_feed.h"
#include "zorcat/event_words.h"
#include "zorcat/exit_status.h"
#include "zorcat/host_system.h"
#include "zorcat/input_pump.h"
#include "zorcat/listen_probe.h"
#include "zorcat/port_setup.h"
#include "zorcat/progress_meter.h"
#include "zorcat/received_output.h"
#include "zorcat/stop_signals.h"
#include "zortcp.h"

namespace zorcat {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr PortTag kStreamTag = 0;
// How often the main loop looks at the clock when no event comes.
constexpr milliseconds kTick{100};
// Draining gives up when the port neither transmits nor drops a byte for
// this long (a peer that stopped reading, a connection that never returns).
constexpr milliseconds kDrainStallLimit{10000};
// How long a server port may take to start listening before zorcat says
// that it listens all the same (a failed listen is reported as an event).
constexpr milliseconds kListenWait{2000};
// Without -v, the chunks received and sent are told in one line per this
// time at most.
constexpr milliseconds kChunkLinePause{1000};

enum class Phase { kSending, kDraining, kLingering };

enum class Ending { kNone, kDone, kInterrupted, kNoConnection, kStalled, kLocalFailure };

std::string LogWarning(const std::string& path, const std::string& reason) {
  return "zorcat: warning: cannot write the debug log to " + path + ": " + reason +
         "; the port runs without it";
}

std::string SignalName(int number) {
  return number == SIGINT ? "SIGINT (Ctrl-C)" : number == SIGTERM ? "SIGTERM" : "a signal";
}

class StreamSession {
 public:
  StreamSession(const PortOptions& options, int32_t handle)
      : options_(options),
        handle_(handle),
        console_(options.quiet),
        traffic_(EventFeed::Instance().Traffic(kStreamTag)),
        credit_(traffic_, options.txRing.value_or(kDefaultTxRing)),
        pump_(handle, traffic_, credit_, options.crlf),
        output_(STDOUT_FILENO, options.hex),
        progress_(console_) {}

  int Run() {
    Announce();
    pump_.Start();
    while (ending_ == Ending::kNone) {
      WaitForWork();
      HandleEvents(EventFeed::Instance().Take());
      CheckForEnd();
      if (Clock::now() - chunkLineShown_ >= kChunkLinePause) PrintChunks();
      progress_.Update(traffic_.transmitted.load(), traffic_.received.load());
    }
    return Finish();
  }

 private:
  // The chunks received and sent since the last such line.
  struct ChunkTally {
    uint32_t chunks = 0;
    uint64_t bytes = 0;
    PortEvent last{};
  };

  void Announce();
  void WaitForWork();
  void HandleEvents(const std::vector<PortEvent>& events);
  void HandleEvent(const PortEvent& event);
  void CheckForEnd();
  void AdvancePhase();
  void End(Ending ending, const std::string& reason);
  int Finish();
  void PrintEvent(const PortEvent& event, const char* when = "");
  void PrintChunks(const char* when = "");
  std::string DescribeChunks(const ChunkTally& tally, const char* verb) const;
  int ReportEnding(const ZorPortStatistics& statistics);
  std::string PortName() const { return "port " + std::to_string(handle_); }

  const PortOptions& options_;
  const int32_t handle_;
  Console console_;
  PortTraffic& traffic_;
  TxCredit credit_;
  InputPump pump_;
  ReceivedOutput output_;
  ProgressMeter progress_;

  Phase phase_ = Phase::kSending;
  Ending ending_ = Ending::kNone;
  std::string endingReason_;
  bool everConnected_ = false;
  uint32_t disconnects_ = 0;
  uint32_t disconnectsAtEndOfInput_ = 0;
  bool retryLimitReached_ = false;
  std::string lastFailure_;
  Clock::time_point lastActivity_ = Clock::now();
  uint64_t drainProgress_ = 0;
  uint32_t sendFailuresAtEnd_ = 0;
  ChunkTally receivedChunks_;
  ChunkTally sentChunks_;
  Clock::time_point chunkLineShown_{};
};

void StreamSession::Announce() {
  uint32_t port = 0;
  int32_t length = 0;
  ZorGetConfig(handle_, ZOR_CONFIG_SERVICE_PORT, &port, &length);
  const std::string portText = " port " + std::to_string(port);
  if (options_.server) {
    WaitUntilListening(options_.host, port, kListenWait);
    const bool dotted =
        !options_.host.empty() && std::isdigit(static_cast<unsigned char>(options_.host[0]));
    // The port (the system's choice for service 0) is output, not chatter:
    // shown with -q too.
    const std::string allowed =
        options_.allowedPeers.empty() ? "" : ", serving only " + options_.allowedPeers;
    console_.Report("zorcat: " + PortName() + " listens on " +
                    (dotted ? options_.host : std::string("every local address")) + portText +
                    allowed);
  } else {
    // A configuration file may set its own retry count.
    const int32_t retries = options_.retry.value_or(0);
    std::string limit;
    if (options_.configFile.empty()) {
      limit = retries > 0 ? ", giving up after " + std::to_string(retries) + " failed attempts"
                          : ", retrying for ever";
    }
    console_.Line("zorcat: " + PortName() + " connects to " + options_.host + portText + limit);
  }
}

void StreamSession::WaitForWork() {
  WaitForEither(EventFeed::Instance().Wake(), StopSignals::Wake(), kTick);
}

void StreamSession::HandleEvents(const std::vector<PortEvent>& events) {
  for (const PortEvent& event : events) {
    PrintEvent(event);
    HandleEvent(event);
  }
}

void StreamSession::HandleEvent(const PortEvent& event) {
  switch (event.kind) {
    case ZOR_EVENT_CONNECTED:
      everConnected_ = true;
      lastActivity_ = Clock::now();
      break;
    case ZOR_EVENT_RECEIVED:
      lastActivity_ = Clock::now();
      // A write cut short by Ctrl-C ends the session as interrupted.
      if (!output_.Write(TakeReceived(handle_, static_cast<uint32_t>(event.value))) &&
          StopSignals::Received() == 0) {
        End(Ending::kLocalFailure, output_.failure());
      }
      break;
    case ZOR_EVENT_DISCONNECTED:
      ++disconnects_;
      if (event.value == ZOR_DISCONNECT_MONITOR_ENDED) {
        End(Ending::kNoConnection, "the port's receive monitor ended; last failure: " +
                                       (lastFailure_.empty() ? LastFailure() : lastFailure_));
      }
      break;
    case ZOR_EVENT_ERROR:
      if (event.value == ZOR_ERROR_RECORDED) {
        lastFailure_ = DescribeFailure(event.errorLocation, event.errorCode, event.text);
        if (EndsReceiveMonitor(event.errorLocation)) {
          End(Ending::kNoConnection, "the port gave up: " + lastFailure_);
        }
      } else if (event.value == ZOR_ERROR_RETRY_LIMIT) {
        retryLimitReached_ = true;
        End(Ending::kNoConnection, "");
      }
      break;
    default:
      break;
  }
}

void StreamSession::CheckForEnd() {
  if (ending_ != Ending::kNone) return;
  if (const int signal = StopSignals::Received(); signal != 0) {
    End(Ending::kInterrupted, "interrupted by " + SignalName(signal));
  } else if (pump_.Failed()) {
    End(Ending::kLocalFailure, pump_.Failure());
  } else {
    AdvancePhase();
  }
}

void StreamSession::AdvancePhase() {
  const auto now = Clock::now();
  if (phase_ == Phase::kSending && pump_.InputEnded()) {
    phase_ = Phase::kDraining;
    disconnectsAtEndOfInput_ = disconnects_;
    lastActivity_ = now;
  }
  if (phase_ == Phase::kDraining) {
    const uint64_t progress = traffic_.transmitted.load() + traffic_.sendFailures.load();
    if (progress != drainProgress_) {
      drainProgress_ = progress;
      lastActivity_ = now;
    }
    if (credit_.Outstanding() == 0) {
      phase_ = Phase::kLingering;
      lastActivity_ = now;
    } else if (now - lastActivity_ >= kDrainStallLimit) {
      End(Ending::kStalled, "sending stalled: " + std::to_string(credit_.Outstanding()) +
                                " bytes were still queued after " +
                                std::to_string(kDrainStallLimit.count() / 1000) +
                                " s without progress");
    }
  }
  // A client port reconnects at once after its peer has gone, so the
  // disconnect events tell that the peer left, not the connected state.
  if (phase_ == Phase::kLingering && everConnected_) {
    const bool peerLeft = disconnects_ > disconnectsAtEndOfInput_;
    const bool idle = options_.idleMs > 0 && now - lastActivity_ >= milliseconds(options_.idleMs);
    if (peerLeft || idle) End(Ending::kDone, "");
  }
}

void StreamSession::End(Ending ending, const std::string& reason) {
  if (ending_ != Ending::kNone) return;
  ending_ = ending;
  endingReason_ = reason;
}

void StreamSession::PrintEvent(const PortEvent& event, const char* when) {
  const bool chunk = event.kind == ZOR_EVENT_RECEIVED || event.kind == ZOR_EVENT_TRANSMITTED;
  if (chunk && !options_.verbose) {
    ChunkTally& tally = event.kind == ZOR_EVENT_RECEIVED ? receivedChunks_ : sentChunks_;
    ++tally.chunks;
    tally.bytes += static_cast<uint32_t>(event.value);
    tally.last = event;
    if (Clock::now() - chunkLineShown_ >= kChunkLinePause) PrintChunks(when);
    return;
  }
  // Lines stay in the order of the events.
  PrintChunks(when);
  console_.Line(TimeOfDay(event.when) + " " + PortName() + " " + when + DescribeEvent(event));
}

std::string StreamSession::DescribeChunks(const ChunkTally& tally, const char* verb) const {
  if (tally.chunks == 1) return DescribeEvent(tally.last);
  return std::string(verb) + " " + std::to_string(tally.bytes) + " bytes in " +
         std::to_string(tally.chunks) + " chunks";
}

void StreamSession::PrintChunks(const char* when) {
  if (receivedChunks_.chunks == 0 && sentChunks_.chunks == 0) return;
  std::string line;
  const ChunkTally* latest = nullptr;
  if (receivedChunks_.chunks > 0) {
    line = DescribeChunks(receivedChunks_, "received");
    latest = &receivedChunks_;
  }
  if (sentChunks_.chunks > 0) {
    line += (line.empty() ? "" : ", ") + DescribeChunks(sentChunks_, "transmitted");
    if (latest == nullptr || sentChunks_.last.when > latest->last.when) latest = &sentChunks_;
  }
  console_.Line(TimeOfDay(latest->last.when) + " " + PortName() + " " + when + line);
  receivedChunks_ = {};
  sentChunks_ = {};
  chunkLineShown_ = Clock::now();
}

int StreamSession::Finish() {
  pump_.Stop();
  if (ending_ != Ending::kLocalFailure) output_.Write(TakeAllReceived(handle_));
  sendFailuresAtEnd_ = traffic_.sendFailures.load();
  ZorPortStatistics statistics{};
  ZorGetStatistics(handle_, &statistics);
  PrintChunks();
  ZorClosePort(handle_);
  // The close shuts the sockets under the monitors, which report what that
  // does to them; these events are the close's own.
  for (const PortEvent& event : EventFeed::Instance().Take()) PrintEvent(event, "closing: ");
  PrintChunks("closing: ");
  console_.EndProgress();
  return ReportEnding(statistics);
}

int StreamSession::ReportEnding(const ZorPortStatistics& statistics) {
  int status = kExitSuccess;
  std::string message;
  switch (ending_) {
    case Ending::kInterrupted:
      status = kExitSignalBase + StopSignals::Received();
      message = endingReason_ + "; " + PortName() + " closed";
      break;
    case Ending::kNoConnection:
      status = kExitNoConnection;
      message = "no connection: " + endingReason_;
      if (retryLimitReached_) {
        const uint32_t attempts = statistics.connectErrors;
        message = "no connection: gave up after " + std::to_string(attempts) +
                  (attempts == 1 ? " failed connect attempt" : " failed connect attempts") +
                  " (the retry limit); last failure: " +
                  (lastFailure_.empty() ? LastFailure() : lastFailure_);
      }
      break;
    case Ending::kStalled:
      status = kExitDataNotSent;
      message = endingReason_;
      break;
    case Ending::kLocalFailure:
      status = kExitLocalFailure;
      message = endingReason_;
      break;
    default:
      if (sendFailuresAtEnd_ > 0) {
        status = kExitDataNotSent;
        message = std::to_string(sendFailuresAtEnd_) + " chunks could not be sent (" +
                  std::to_string(credit_.Dropped()) +
                  " bytes at most); last failure: " + lastFailure_;
      }
      break;
  }
  if (!message.empty()) console_.Report("zorcat: " + message);
  if (options_.stats || (ending_ == Ending::kInterrupted && !options_.quiet)) {
    console_.Report("zorcat: statistics of " + PortName() + ": " + DescribeStatistics(statistics));
  }
  if (status == kExitSuccess) {
    console_.Line("zorcat: " + PortName() + " closed: sent " + ByteSize(statistics.txBytes) +
                  ", received " + ByteSize(statistics.rxBytes));
  }
  return status;
}

}  // namespace

int RunStreamSession(const PortOptions& requested) {
  StopSignals::Install();
  PortOptions options = requested;
  Console console(options.quiet);
  // A log the library would not write is reported, as the port runs
  // without it.
  std::optional<LogPathCheck> logCheck;
  if (!options.logFile.empty()) {
    logCheck.emplace(options.logFile);
    if (!logCheck->problem().empty()) {
      console.Report(LogWarning(options.logFile, logCheck->problem()));
      options.logFile.clear();
    }
  }
  std::unique_ptr<TempDirectory> scratch;
  std::string configFile = options.configFile;
  try {
    if (NeedsOwnConfigFile(options)) {
      scratch = std::make_unique<TempDirectory>("zorcat");
      configFile = WritePortConfigFile(options, *scratch);
    }
  } catch (const std::exception& failure) {
    console.Report(std::string("zorcat: ") + failure.what());
    return kExitLocalFailure;
  }
  if (!configFile.empty() && ::access(configFile.c_str(), R_OK) != 0) {
    console.Report("zorcat: warning: cannot read " + configFile +
                   "; the port opens with the defaults");
  }
  const PortOpening opening = OpenPort(options, configFile, kStreamTag);
  // The port has read its configuration file and opened its log.
  scratch.reset();
  if (logCheck) logCheck->Release();
  if (!opening.handle) {
    console.Report("zorcat: open failed: " + opening.failure);
    return kExitOpenFailed;
  }
  // The port creates its debug log while it opens, and goes on without one
  // that it cannot create.
  std::error_code ignored;
  if (!options.logFile.empty() && !std::filesystem::exists(options.logFile, ignored)) {
    console.Report(LogWarning(options.logFile, "the port could not create it"));
  }
  return StreamSession(options, *opening.handle).Run();
}

}  // namespace zorcat
