// SPDX-License-Identifier: MIT
#include "port_bench/links.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "port_bench/port_events.h"
#include "zortcp.h"

namespace port_bench {
namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::exit(2);
}

void OpenPlain(Link& link, LoopbackListener& listener) {
  link.plain = zortcp::testing::ConnectLoopback(listener.port(), kConnectWait);
  link.peer = listener.Accept(kConnectWait).value_or(PeerConnection());
  if (!link.plain.IsOpen() || !link.peer.IsOpen()) Fail("plain socket did not connect");
}

void OpenClientPort(Link& link, LoopbackListener& listener) {
  const std::string service = listener.PortText();
  ZorChangeDefault(ZOR_DEFAULT_SERVICE, service.c_str(), static_cast<uint32_t>(service.size() + 1));
  const int32_t fast = link.mode == Mode::kFast ? 1 : 0;
  ZorChangeDefault(ZOR_DEFAULT_FAST_TRANSFER, &fast, sizeof(fast));
  // An ordinary host never sets ring sizes: the library's own apply, which
  // in the fast mode are not those of the default mode. Its measurements
  // run first (measurements.h), before any other has set sizes; a tuned
  // host sets its sizes before every open.
  if (!link.shape.blockingWrites) ZorChangeBufferSizes(link.shape.rxRing, link.shape.txRing);
  ResetSlot(link.slot);
  ZorSetEventHandler(&OnEvent, link.slot);
  if (ZorOpenPort("127.0.0.1", 0, 0, nullptr, &link.handle) != 0) Fail("ZorOpenPort failed");
  link.peer = listener.Accept(kConnectWait).value_or(PeerConnection());
  if (!link.peer.IsOpen() || !AwaitConnected(link.slot)) Fail("port did not connect");
}

}  // namespace

void OpenLink(Link& link, LoopbackListener& listener, Mode mode, uint32_t slot, PortShape shape) {
  link.mode = mode;
  link.shape = shape;
  link.slot = slot;
  if (mode == Mode::kPlain) {
    OpenPlain(link, listener);
  } else {
    OpenClientPort(link, listener);
  }
}

void CloseLink(Link& link) {
  link.peer.Shutdown();
  link.plain.Shutdown();
  if (link.handle >= 0) ZorClosePort(link.handle);
  link.handle = -1;
  link.plain.Close();
  link.peer.Close();
}

std::vector<Link> OpenLinks(Mode mode, int count, LoopbackListener& listener, Host host) {
  std::vector<Link> links(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    OpenLink(links[static_cast<size_t>(i)], listener, mode, static_cast<uint32_t>(i), host);
  }
  return links;
}

void CloseLinks(std::vector<Link>& links) {
  for (auto& link : links) CloseLink(link);
}

}  // namespace port_bench
