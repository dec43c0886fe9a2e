// Every place of failure that the last-error record can name, in one table.
#pragma once

#include <cstdint>

namespace zortcp::location {

// The steps of the open.
inline constexpr int32_t kAllocateRxRing = 1;
inline constexpr int32_t kLockRxRing = 2;        // cannot occur here
inline constexpr int32_t kAllocateTxRing = 3;
inline constexpr int32_t kLockTxRing = 4;        // cannot occur here
inline constexpr int32_t kAllocateRecvBuffer = 5;
inline constexpr int32_t kLockRecvBuffer = 6;    // cannot occur here
inline constexpr int32_t kNetworkStartup = 7;    // cannot occur here
inline constexpr int32_t kServiceLookup = 8;
inline constexpr int32_t kCreateSocket = 9;
inline constexpr int32_t kBind = 10;
inline constexpr int32_t kHostByAddress = 11;    // no longer fails the open
inline constexpr int32_t kHostByName = 12;
inline constexpr int32_t kCreateRxMonitor = 13;
inline constexpr int32_t kCreateTxMonitor = 14;

// The client receive monitor.
inline constexpr int32_t kClientSocket = 1001;
inline constexpr int32_t kClientConnect = 1002;
inline constexpr int32_t kClientReceiveBuffer = 1003;
inline constexpr int32_t kClientSendBuffer = 1004;
inline constexpr int32_t kClientNonBlocking = 1005;
inline constexpr int32_t kClientPoll = 1006;
inline constexpr int32_t kClientPendingBefore = 1007;
inline constexpr int32_t kClientReceive = 1008;
inline constexpr int32_t kClientPendingAfter = 1009;

// The transmit monitor.
inline constexpr int32_t kTransmit = 1101;

// The server receive monitor.
inline constexpr int32_t kServerListen = 2001;
inline constexpr int32_t kServerListenPoll = 2002;
inline constexpr int32_t kServerAccept = 2003;
inline constexpr int32_t kServerHostByAddress = 2004;
inline constexpr int32_t kServerReceiveBuffer = 2005;
inline constexpr int32_t kServerSendBuffer = 2006;
inline constexpr int32_t kServerNonBlocking = 2007;
inline constexpr int32_t kServerPoll = 2008;
inline constexpr int32_t kServerPendingBefore = 2009;
inline constexpr int32_t kServerReceive = 2010;
inline constexpr int32_t kServerPendingAfter = 2011;

}  // namespace zortcp::location
