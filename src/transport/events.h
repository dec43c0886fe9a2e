// SPDX-License-Identifier: MIT
// Event notifications: the port's handler is called on the monitor's own
// thread, with no lock held, after the state that the event reports has
// changed. A port without a handler raises nothing.
#pragma once

#include <cstdint>

#include "zortcp.h"

namespace zortcp {

struct PortControlBlock;

inline constexpr int32_t kEventSource = 2;

inline constexpr int32_t kEventConnected = ZOR_EVENT_CONNECTED;
inline constexpr int32_t kEventDisconnected = ZOR_EVENT_DISCONNECTED;
inline constexpr int32_t kEventReceived = ZOR_EVENT_RECEIVED;
inline constexpr int32_t kEventTransmitted = ZOR_EVENT_TRANSMITTED;
inline constexpr int32_t kEventError = ZOR_EVENT_ERROR;

inline constexpr int32_t kPeerClosed = ZOR_DISCONNECT_PEER_CLOSED;
inline constexpr int32_t kReceiveFailed = ZOR_DISCONNECT_RECEIVE_FAILED;
inline constexpr int32_t kMonitorEnded = ZOR_DISCONNECT_MONITOR_ENDED;

inline constexpr int32_t kErrorConnectFailed = ZOR_ERROR_CONNECT_FAILED;
inline constexpr int32_t kErrorReceiveFailed = ZOR_ERROR_RECEIVE_FAILED;
inline constexpr int32_t kErrorSendFailed = ZOR_ERROR_SEND_FAILED;
inline constexpr int32_t kErrorRecorded = ZOR_ERROR_RECORDED;
inline constexpr int32_t kErrorRetryLimit = ZOR_ERROR_RETRY_LIMIT;

// Kinds 2 to 5 with their integer.
void RaiseEvent(PortControlBlock& block, int32_t kind, int32_t value);

// Kind 1 with the text "%s, Port: %u".
void RaiseConnectedEvent(PortControlBlock& block, const char* peerName, uint32_t port);

}  // namespace zortcp
