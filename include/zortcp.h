/*
 * zortcp: TCP/IP ports for host applications.
 *
 * A host opens up to 32 ports (handles 0 to 31). Each open port is one TCP
 * connection: a client that connects to a host and service and reconnects
 * after a loss, or a server that listens on a local service and serves one
 * peer at a time. Bytes written with ZorWritePort are sent by the port's
 * transmit monitor thread; bytes received by the port's receive monitor
 * thread wait in the port's receive ring for ZorReadPort. The host learns
 * what happens through an event handler that runs on the monitor threads.
 *
 * Results: 0 is success; -1 an invalid handle (or no free port for
 * ZorOpenPort); -2 a handle that is not open (or a failed open); -3 a
 * configuration item out of range. Every failure also leaves its location,
 * error number and text in the library-wide last-error record
 * (ZorGetLastError). Handle failures record location 100*k + r and error
 * 900 + 100*k + r, where k is the call number given with each call below and
 * r is 1 for an invalid handle, 2 for a handle that is not open.
 *
 * Threads: opening, closing and changing defaults are made from one host
 * thread at a time. Per port, at most one thread writes and at most one
 * reads at a time. The event handler runs on the library's own threads,
 * possibly two at once for one port, and with no lock of the library held.
 * It may call ZorReadPort, ZorWritePort and ZorAnyToRead for its port but
 * must not close the port. Unloading the library with ports open (as at
 * process exit) stops their monitors and may still call the handler.
 */
#ifndef ZORTCP_H
#define ZORTCP_H

#include <stdint.h>

#if defined(__GNUC__)
#define ZOR_API __attribute__((visibility("default")))
#else
#define ZOR_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Open flags. */
#define ZOR_OPEN_SERVER           0x1u  /* bit 0: a server port, else a client port */
#define ZOR_OPEN_LOOKUP_HOST_NAME 0x2u  /* bit 1: cleared by the open; set only by defaults/config */
#define ZOR_OPEN_BLOCKING         0x4u  /* bit 2: leave the connected socket in blocking mode */

/* Event kinds: the second argument of the event handler. */
#define ZOR_EVENT_CONNECTED    1 /* data: text "<peer name>, Port: <port>" */
#define ZOR_EVENT_DISCONNECTED 2 /* data: int32_t reason, ZOR_DISCONNECT_* */
#define ZOR_EVENT_RECEIVED     3 /* data: int32_t bytes of one receive (1..4096) */
#define ZOR_EVENT_TRANSMITTED  4 /* data: int32_t bytes of one sent chunk (1..4096) */
#define ZOR_EVENT_ERROR        5 /* data: int32_t detail, ZOR_ERROR_* */

/* Reasons of ZOR_EVENT_DISCONNECTED. */
#define ZOR_DISCONNECT_PEER_CLOSED    0 /* the peer closed the connection */
#define ZOR_DISCONNECT_RECEIVE_FAILED 1 /* a receive failed */
#define ZOR_DISCONNECT_MONITOR_ENDED  2 /* the receive monitor ended while connected */

/* Details of ZOR_EVENT_ERROR. */
#define ZOR_ERROR_CONNECT_FAILED  1 /* a connect attempt failed */
#define ZOR_ERROR_RECEIVE_FAILED  2 /* a receive failed */
#define ZOR_ERROR_SEND_FAILED     3 /* a send failed */
#define ZOR_ERROR_RECORDED        4 /* a failure was just written to the last-error record */
#define ZOR_ERROR_RETRY_LIMIT     5 /* the connect retry limit was reached */

/* Items of ZorGetConfig. */
#define ZOR_CONFIG_LOCAL_ADDRESS  1 /* 4 bytes, network order; length 4, or 0 when unknown */
#define ZOR_CONFIG_PEER_ADDRESS   2 /* 4 bytes, network order, the peer's IPv4 address */
#define ZOR_CONFIG_LOCAL_HOST     3 /* text, room for 130 bytes */
#define ZOR_CONFIG_PEER_NAME      4 /* text, room for 129 bytes */
#define ZOR_CONFIG_SERVICE_PORT   5 /* uint32_t, the port's service port number */
#define ZOR_CONFIG_PEER_PORT      6 /* uint32_t, the peer's port number */

/* Types of ZorChangeDefault. */
#define ZOR_DEFAULT_SERVICE       1 /* text with its terminator, at most 36 bytes */
#define ZOR_DEFAULT_SERVICE_TYPE  2 /* text with its terminator, at most 36 bytes */
#define ZOR_DEFAULT_RETRY_COUNT   3 /* int32_t; 0 retries for ever */
#define ZOR_DEFAULT_LOOKUP_HOST   4 /* int32_t; non-zero names accepted peers by lookup */

/* The event handler: source is always 2; the result is ignored. */
typedef int32_t (*ZorEventHandler)(int32_t source, int32_t kind, void *data, uint32_t userData);

/* Traffic and failure counters of a port, never reset. */
typedef struct ZorPortStatistics {
    uint32_t rxBytes, txBytes, rxErrors, txErrors, connectErrors;
} ZorPortStatistics;

/*
 * Opens a port on the first free handle (call number 1).
 * host: client, the remote host name or dotted address; server, a dotted
 *   local address to bind to, anything else binds to every local address.
 *   Null counts as empty.
 * reserved: not read.
 * flags: ZOR_OPEN_* bits.
 * configFile: path of the port's configuration file, or null.
 * handle: receives the handle on success and 0 on any failure.
 * Result: 0; -1 no free port (101/1001); -2 a failed step, with its
 * location (1 to 14) and the system or socket error number in the record.
 */
ZOR_API int32_t ZorOpenPort(const char *host, int32_t reserved, uint32_t flags,
                            const char *configFile, int32_t *handle);

/* Closes a port and frees its handle (call number 2). Result 0, -1, -2.
 * Waits up to about 5 s for each monitor thread. Not from within the port's
 * own event handler. */
ZOR_API int32_t ZorClosePort(int32_t handle);

/* Queues size bytes for sending (call number 3). Returns 0 once every byte
 * is queued; blocks while the transmit ring is full. -1, -2 bad handle. */
ZOR_API int32_t ZorWritePort(int32_t handle, const void *data, int32_t size);

/* Takes up to capacity received bytes (call number 5); never waits.
 * *count receives the number delivered. Result 0, -1, -2. */
ZOR_API int32_t ZorReadPort(int32_t handle, void *buffer, int32_t capacity, int32_t *count);

/* Number of received bytes waiting (call number 4), or -1, -2. */
ZOR_API int32_t ZorAnyToRead(int32_t handle);

/* Registers the handler for the next port that opens successfully.
 * Always 0. */
ZOR_API int32_t ZorSetEventHandler(ZorEventHandler handler, uint32_t userData);

/* Signal 1 (signalNumber 1) holds a client port from connecting while bit 0
 * of value is set (call number 6). Result 0, -1, -2. */
ZOR_API int32_t ZorChangeSignal(int32_t handle, int32_t signalNumber, uint32_t value);

/* Reads signal 1 into *value (call number 7). Result 0, -1, -2. */
ZOR_API int32_t ZorGetSignal(int32_t handle, int32_t signalNumber, int32_t *value);

/* Changes a library-wide default for ports opened later (ZOR_DEFAULT_*). */
ZOR_API void ZorChangeDefault(uint32_t type, const void *data, uint32_t length);

/* Ring sizes for ports opened later: receive at least 20480, transmit at
 * least 4096; 0xFFFFFFFF keeps a size. Smaller values are ignored. */
ZOR_API void ZorChangeBufferSizes(uint32_t rxRingSize, uint32_t txRingSize);

/* Reads a configuration item (ZOR_CONFIG_*) of a port (call number 8).
 * Result 0, -1, -2, or -3 for an item outside 1 to 6. */
ZOR_API int32_t ZorGetConfig(int32_t handle, int32_t item, void *output, int32_t *length);

/* Copies the port's counters (call number 9). Result 0, -1, -2. */
ZOR_API int32_t ZorGetStatistics(int32_t handle, ZorPortStatistics *output);

/* Copies the last failure: error number, location and text (text needs 288
 * bytes). Zeros and "Successful" before any failure. Returns text. */
ZOR_API char *ZorGetLastError(int32_t *code, int32_t *location, char *text);

#ifdef __cplusplus
}
#endif

#endif /* ZORTCP_H */
