// SPDX-License-Identifier: MIT
// A minimal zortcp host in C++.
//
//   host HOST SERVICE [MESSAGE]
//
// Opens a client port to HOST and SERVICE, waits for the connection, writes
// MESSAGE, waits a bounded time for as many bytes to come back, prints them
// and the library's last error, and closes the port. The exit status is 0
// when the whole reply came back, 1 otherwise.
//
// It shows the usual shape of a C++ host: the port is closed by a destructor
// (so it is closed before the process exits, not by the library's unload),
// and the event handler, which runs on the library's threads, only records
// what happened and wakes the waiting thread.
#include <zortcp.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

namespace {

using namespace std::chrono_literals;

constexpr auto kConnectWait = 5s;
constexpr auto kReplyWait = 5s;
constexpr std::int32_t kRetryCount = 3;

// What the handler learns about one port. The handler gets no port handle,
// only the 32-bit user value registered for the port; this host registers
// the index of the port's PortEvents in a table.
struct PortEvents {
  std::mutex mutex;
  std::condition_variable changed;
  bool connected = false;
  bool gaveUp = false;
  std::int32_t received = 0;  // bytes announced by kind 3 events
  std::string peer;
};

std::array<PortEvents, 32> portEvents;

// Runs on the port's monitor threads, possibly two at once. The data
// pointer is valid only during the call, so the text is copied.
std::int32_t OnEvent(std::int32_t, std::int32_t kind, void* data, std::uint32_t userData) {
  PortEvents& events = portEvents.at(userData);
  {
    std::lock_guard lock(events.mutex);
    const std::int32_t value =
        kind == ZOR_EVENT_CONNECTED ? 0 : *static_cast<const std::int32_t*>(data);
    switch (kind) {
      case ZOR_EVENT_CONNECTED:
        events.connected = true;
        events.peer = static_cast<const char*>(data);
        break;
      case ZOR_EVENT_DISCONNECTED:
        events.connected = false;
        break;
      case ZOR_EVENT_RECEIVED:
        events.received += value;
        break;
      case ZOR_EVENT_ERROR:
        if (value == ZOR_ERROR_RETRY_LIMIT) events.gaveUp = true;
        break;
      default:
        break;
    }
  }
  events.changed.notify_all();
  return 0;
}

std::string LastError() {
  std::int32_t code = 0;
  std::int32_t location = 0;
  std::array<char, 288> text{};
  ZorGetLastError(&code, &location, text.data());
  return "location " + std::to_string(location) + ", error " + std::to_string(code) + ": " +
         text.data();
}

// An open client port; closing it is the destructor's job.
class ClientPort {
 public:
  ClientPort(const char* host, std::uint32_t userData) {
    ZorSetEventHandler(OnEvent, userData);  // bound to the next port opened
    opened_ = ZorOpenPort(host, 0, 0, nullptr, &handle_) == 0;
  }
  ~ClientPort() {
    if (opened_) ZorClosePort(handle_);
  }
  ClientPort(const ClientPort&) = delete;
  ClientPort& operator=(const ClientPort&) = delete;

  bool opened() const { return opened_; }
  void Write(std::string_view bytes) {
    ZorWritePort(handle_, bytes.data(), static_cast<std::int32_t>(bytes.size()));
  }
  std::string Read() {
    std::string bytes(static_cast<std::size_t>(std::max(ZorAnyToRead(handle_), 0)), '\0');
    std::int32_t count = 0;
    ZorReadPort(handle_, bytes.data(), static_cast<std::int32_t>(bytes.size()), &count);
    bytes.resize(static_cast<std::size_t>(count));
    return bytes;
  }

 private:
  std::int32_t handle_ = 0;
  bool opened_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4 || std::strlen(argv[2]) > 35) {
    std::fprintf(stderr, "usage: %s HOST SERVICE [MESSAGE]\n", argv[0]);
    return 2;
  }
  const std::string_view message = argc == 4 ? argv[3] : "hello from zortcp";

  // Defaults apply to the ports opened after them.
  const std::string service = argv[2];
  ZorChangeDefault(ZOR_DEFAULT_SERVICE, service.c_str(),
                   static_cast<std::uint32_t>(service.size() + 1));
  ZorChangeDefault(ZOR_DEFAULT_RETRY_COUNT, &kRetryCount, sizeof kRetryCount);

  const std::uint32_t slot = 0;
  PortEvents& events = portEvents[slot];
  std::string reply;
  {
    ClientPort port(argv[1], slot);
    if (!port.opened()) {
      std::printf("open failed\nlast error: %s\n", LastError().c_str());
      return 1;
    }
    std::unique_lock lock(events.mutex);
    if (events.changed.wait_for(lock, kConnectWait,
                                [&] { return events.connected || events.gaveUp; }) &&
        events.connected) {
      std::printf("connected: %s\n", events.peer.c_str());
      lock.unlock();
      port.Write(message);
      std::printf("sent %zu bytes\n", message.size());
      lock.lock();
      events.changed.wait_for(lock, kReplyWait, [&] {
        return events.received >= static_cast<std::int32_t>(message.size()) || !events.connected;
      });
      lock.unlock();
      reply = port.Read();
      std::printf("received %zu bytes: %s\n", reply.size(), reply.c_str());
    } else {
      std::printf("not connected\n");
    }
    std::printf("last error: %s\n", LastError().c_str());
  }  // the port closes here
  return reply.size() == message.size() ? 0 : 1;
}
