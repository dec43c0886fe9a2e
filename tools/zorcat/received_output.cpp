// SPDX-License-Identifier: MIT
#include "zorcat/received_output.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "zorcat/host_system.h"
#include "zorcat/stop_signals.h"
#include "zortcp.h"

namespace zorcat {

std::vector<uint8_t> TakeReceived(int32_t handle, uint32_t count) {
  std::vector<uint8_t> bytes(count);
  size_t taken = 0;
  while (taken < bytes.size()) {
    int32_t got = 0;
    const int32_t capacity = static_cast<int32_t>(bytes.size() - taken);
    if (ZorReadPort(handle, bytes.data() + taken, capacity, &got) != 0 || got <= 0) break;
    taken += static_cast<size_t>(got);
  }
  bytes.resize(taken);
  return bytes;
}

std::vector<uint8_t> TakeAllReceived(int32_t handle) {
  const int32_t waiting = ZorAnyToRead(handle);
  return waiting > 0 ? TakeReceived(handle, static_cast<uint32_t>(waiting))
                     : std::vector<uint8_t>{};
}

bool ReceivedOutput::Write(const std::vector<uint8_t>& bytes) {
  if (!failure_.empty() || bytes.empty()) return failure_.empty();
  if (!hex_) return WriteAll(bytes.data(), bytes.size());
  const std::string rows = dump_.Rows(bytes.data(), bytes.size());
  return WriteAll(rows.data(), rows.size());
}

bool ReceivedOutput::WriteAll(const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const long written = WriteSome(descriptor_, bytes, size);
    if (written < 0 && errno == EINTR && StopSignals::Received() == 0) continue;
    if (written <= 0) {
      failure_ = std::string("cannot write standard output: ") + std::strerror(errno);
      return false;
    }
    bytes += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

}  // namespace zorcat
