#include "transport/events.h"

#include <cstdio>

#include "platform/platform.h"
#include "port/control_block.h"

namespace zortcp {
namespace {

// The text of a connected event: a 129-character name, ", Port: " and ten
// digits fit with room to spare.
constexpr size_t kConnectedTextSize = 260;

void CallHandler(PortControlBlock& block, int32_t kind, void* data) {
  // A monitor that the close has given up on raises nothing more, and one
  // that is terminated while the host's handler runs ends when it returns.
  platform::TerminationPoint();
  block.eventHandler(kEventSource, kind, data, block.eventUserData);
  platform::TerminationPoint();
}

}  // namespace

void RaiseEvent(PortControlBlock& block, int32_t kind, int32_t value) {
  if (block.eventHandler == nullptr) return;
  int32_t data = value;
  CallHandler(block, kind, &data);
}

void RaiseConnectedEvent(PortControlBlock& block, const char* peerName, uint32_t port) {
  if (block.eventHandler == nullptr) return;
  char text[kConnectedTextSize];
  std::snprintf(text, sizeof(text), "%s, Port: %u", peerName, port);
  CallHandler(block, kEventConnected, text);
}

}  // namespace zortcp
