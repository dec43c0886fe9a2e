/* SPDX-License-Identifier: MIT */
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
 * configuration item out of range. Every failure but that last one also
 * leaves its location, error number and text in the library-wide last-error
 * record (ZorGetLastError). Handle failures record location 100*k + r and error
 * 900 + 100*k + r, where k is the call number given with each call below and
 * r is 1 for an invalid handle, 2 for a handle that is not open; nothing else
 * changes and no output is written. A port that is still opening counts as
 * open. Outputs of a failed call are left unwritten (except the handle of
 * ZorOpenPort), and null pointers are never written or read through.
 *
 * Threads: opening, closing and changing defaults are made from one host
 * thread at a time. Per port, at most one thread writes and at most one
 * reads at a time, and neither while the port is being closed. The event
 * handler runs on the library's own threads, possibly two at once for one
 * port, and with no lock of the library held. It may call ZorReadPort,
 * ZorWritePort and ZorAnyToRead for its port but must not close the port.
 * Unloading the library with ports open (as at process exit) stops their
 * monitors and may still call the handler.
 *
 * The documentation beside this header (docs/, installed under
 * share/doc/zortcp) gives the events and their sequences (events.md), every
 * error location and text (errors.md), the configuration file
 * (configuration.md), the debug log (debug-log.md) and what is particular to
 * Linux (linux-notes.md).
 */
#ifndef ZORTCP_H
#define ZORTCP_H

#include <stdint.h>

/* ZORTCP_VERSION_MAJOR, _MINOR, _PATCH and ZORTCP_VERSION_STRING. */
#include "zortcp_version.h"

/*
 * ZOR_API marks the exported functions; ZOR_CALL is their calling
 * convention and the event handler's: __stdcall on 32-bit Windows (the
 * convention that Windows hosts' foreign-function declarations assume),
 * the platform's default everywhere else. On Windows a caller imports the
 * functions from zortcp.dll; define ZORTCP_STATIC when the library's code
 * is linked in instead (as the library's own build does: its exports are
 * listed in its .def file).
 */
#if defined(_WIN32)
#if defined(ZORTCP_STATIC)
#define ZOR_API
#else
#define ZOR_API __declspec(dllimport)
#endif
#if defined(_WIN64)
#define ZOR_CALL
#else
#define ZOR_CALL __stdcall
#endif
#elif defined(__GNUC__)
#define ZOR_API __attribute__((visibility("default")))
#define ZOR_CALL
#else
#define ZOR_API
#define ZOR_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Open flags. */
#define ZOR_OPEN_SERVER           0x1u /* bit 0: a server port, else a client port */
#define ZOR_OPEN_LOOKUP_HOST_NAME 0x2u /* bit 1: cleared by the open; set by defaults or config */
#define ZOR_OPEN_BLOCKING         0x4u /* bit 2: leave the connected socket in blocking mode */

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
#define ZOR_ERROR_CONNECT_FAILED 1 /* a connect attempt failed */
#define ZOR_ERROR_RECEIVE_FAILED 2 /* a receive failed */
#define ZOR_ERROR_SEND_FAILED    3 /* a send failed */
#define ZOR_ERROR_RECORDED       4 /* a failure was just written to the last-error record */
#define ZOR_ERROR_RETRY_LIMIT    5 /* the connect retry limit was reached */

/* Items of ZorGetConfig. */
#define ZOR_CONFIG_LOCAL_ADDRESS 1 /* 4 bytes, network order; length 4, or 0 when unknown */
#define ZOR_CONFIG_PEER_ADDRESS  2 /* 4 bytes, network order, the peer's IPv4 address */
#define ZOR_CONFIG_LOCAL_HOST    3 /* text, room for 130 bytes */
#define ZOR_CONFIG_PEER_NAME     4 /* text, room for 129 bytes */
#define ZOR_CONFIG_SERVICE_PORT  5 /* uint32_t, the port's service port number */
#define ZOR_CONFIG_PEER_PORT     6 /* uint32_t, the peer's port number */

/* Types of ZorChangeDefault. */
#define ZOR_DEFAULT_SERVICE         1 /* text with its terminator, at most 36 bytes */
#define ZOR_DEFAULT_SERVICE_TYPE    2 /* text with its terminator, at most 36 bytes */
#define ZOR_DEFAULT_RETRY_COUNT     3 /* int32_t; 0 retries for ever */
#define ZOR_DEFAULT_LOOKUP_HOST     4 /* int32_t; non-zero names accepted peers by lookup */
#define ZOR_DEFAULT_FAST_TRANSFER   5 /* int32_t; non-zero turns the fast transfer mode on */
#define ZOR_DEFAULT_KEEP_ALIVE      6 /* uint32_t seconds, 1 to 7200; 0 off */
#define ZOR_DEFAULT_CONNECT_TIMEOUT 7 /* uint32_t milliseconds, 1 to 600000; 0 the system's */

/* Error locations: where the failure in the last-error record happened
 * (ZorGetLastError). The handle test's locations, 100*k + r, come on top of
 * these (see above); errors.md gives each location's events and errors. */
/* The steps of ZorOpenPort, which then returns -2. */
#define ZOR_LOCATION_ALLOCATE_RX_RING     1 /* system error */
#define ZOR_LOCATION_LOCK_RX_RING         2 /* does not occur on Linux */
#define ZOR_LOCATION_ALLOCATE_TX_RING     3 /* system error */
#define ZOR_LOCATION_LOCK_TX_RING         4 /* does not occur on Linux */
#define ZOR_LOCATION_ALLOCATE_RECV_BUFFER 5 /* system error */
#define ZOR_LOCATION_LOCK_RECV_BUFFER     6 /* does not occur on Linux */
#define ZOR_LOCATION_NETWORK_STARTUP      7 /* does not occur on Linux */
#define ZOR_LOCATION_SERVICE_LOOKUP       8 /* also a server's unreadable Allowed Peers */
#define ZOR_LOCATION_CREATE_SOCKET        9
#define ZOR_LOCATION_BIND                 10 /* server */
#define ZOR_LOCATION_HOST_BY_ADDRESS      11 /* does not occur on Linux */
#define ZOR_LOCATION_HOST_BY_NAME         12 /* client */
#define ZOR_LOCATION_CREATE_RX_MONITOR    13 /* system error */
#define ZOR_LOCATION_CREATE_TX_MONITOR    14 /* system error */
/* The client's receive monitor. */
#define ZOR_LOCATION_CLIENT_SOCKET         1001 /* ends the monitor */
#define ZOR_LOCATION_CLIENT_CONNECT        1002
#define ZOR_LOCATION_CLIENT_RECEIVE_BUFFER 1003
#define ZOR_LOCATION_CLIENT_SEND_BUFFER    1004
#define ZOR_LOCATION_CLIENT_NON_BLOCKING   1005
#define ZOR_LOCATION_CLIENT_POLL           1006 /* ends the monitor */
#define ZOR_LOCATION_CLIENT_PENDING_BEFORE 1007 /* ends the monitor */
#define ZOR_LOCATION_CLIENT_RECEIVE        1008
#define ZOR_LOCATION_CLIENT_PENDING_AFTER  1009 /* ends the monitor */
/* The transmit monitor. */
#define ZOR_LOCATION_TRANSMIT 1101
/* The server's receive monitor. */
#define ZOR_LOCATION_SERVER_LISTEN          2001 /* ends the monitor */
#define ZOR_LOCATION_SERVER_LISTEN_POLL     2002 /* ends the monitor */
#define ZOR_LOCATION_SERVER_ACCEPT          2003
#define ZOR_LOCATION_SERVER_HOST_BY_ADDRESS 2004
#define ZOR_LOCATION_SERVER_RECEIVE_BUFFER  2005
#define ZOR_LOCATION_SERVER_SEND_BUFFER     2006
#define ZOR_LOCATION_SERVER_NON_BLOCKING    2007
#define ZOR_LOCATION_SERVER_POLL            2008 /* ends the monitor */
#define ZOR_LOCATION_SERVER_PENDING_BEFORE  2009 /* ends the monitor */
#define ZOR_LOCATION_SERVER_RECEIVE         2010
#define ZOR_LOCATION_SERVER_PENDING_AFTER   2011 /* ends the monitor */

/*
 * The event handler: source is always 2; kind is a ZOR_EVENT_* value; data
 * points to the kind's data, valid only during the call (copy what you keep);
 * userData is the value registered with ZorSetEventHandler for the port. The
 * result is ignored. It is called on the port's monitor threads: see
 * ZorSetEventHandler.
 */
typedef int32_t(ZOR_CALL* ZorEventHandler)(int32_t source, int32_t kind, void* data,
                                           uint32_t userData);

/* Traffic and failure counters of a port, never reset: bytes received and
 * sent, failed receives and sends, failed connects and accepts. */
typedef struct ZorPortStatistics {
  uint32_t rxBytes, txBytes, rxErrors, txErrors, connectErrors;
} ZorPortStatistics;

/*
 * Opens a port on the first free handle (call number 1).
 * host: client, the remote host name, or a dotted IPv4 address when it
 *   starts with a digit; server, a dotted local address to bind to when it
 *   starts with a digit, anything else binds to every local address. Null
 *   counts as empty; at most 129 characters are used.
 * reserved: not read.
 * flags: ZOR_OPEN_* bits. ZOR_OPEN_LOOKUP_HOST_NAME is cleared: only the
 *   defaults and the configuration file set it.
 * configFile: path of the port's configuration file, or null. A file that
 *   cannot be read is no error; the port then runs on the defaults. A
 *   server serves only the peers its "Allowed Peers" list; a client ignores
 *   that keyword.
 * handle: receives the handle on success and 0 on any failure (0 is also a
 *   valid handle: only the result tells).
 * The port starts from the defaults (ZorChangeDefault, ZorChangeBufferSizes)
 * and the file, and takes the pending event handler (ZorSetEventHandler),
 * which is then cleared. The open connects nothing: the client's receive
 * monitor connects in the background and reports it with event kind 1, the
 * server's listens. The call blocks for the service and host name look-ups.
 * A debug log that cannot be created leaves the log off, without error.
 * Result: 0; -1 no free port (101/1001); -2 a failed step, with its
 * location and the system or socket error number in the record: 1, 3, 5
 * memory (system error 12 on Linux; on Windows GetLastError's number, seen
 * under Wine: 8, or 87 for a 32-bit ring of about 2 GiB); 7 network
 * start-up (Windows only: WSAStartup's number); 8 service look-up (11004),
 * or a server's "Allowed Peers" that cannot be read (10022, the record's
 * text naming the entry);
 * 9 socket; 10 bind, server (10048 in use, 10049 not a local address, ...);
 * 12 host name look-up, client (11001, 11002, ...); 13, 14 monitor threads
 * (system error 11 on Linux; on Windows GetLastError's number, 8 under
 * Wine). Everything the step obtained is given back, the handle is free
 * again and a pending handler stays pending. Locations 2, 4, 6 and 11 occur
 * on neither system, 7 on Windows only.
 */
ZOR_API int32_t ZOR_CALL ZorOpenPort(const char* host, int32_t reserved, uint32_t flags,
                                     const char* configFile, int32_t* handle);

/*
 * Closes a port and frees its handle (call number 2).
 * Closes the port's debug log, then its sockets, then stops its transmit and
 * its receive monitor, normally within about 100 ms whatever the peer sends
 * and whether or not the host reads; a monitor held in the event handler is
 * waited for up to about 5 s and then terminated. Bytes still in either
 * ring, or received but not yet in the receive ring, are dropped. Calls for
 * the port made by other threads while it closes return -2. The
 * handler may still get the events of the lost connection (5/4, 2/2, and
 * 5/3, 5/4 for a chunk) before the call returns, and none after. The
 * handle's statistics are kept; the handle can be opened again at once.
 * Result: 0; -1 invalid handle (201/1101); -2 not open (202/1102).
 * Threads: never from within the port's own event handler (the close waits
 * for the thread that runs it). A call for the port that another thread is
 * making when the close begins is waited for (a write waiting for room gives
 * up, returning -2); one made after that returns -2 (x02 record).
 */
ZOR_API int32_t ZOR_CALL ZorClosePort(int32_t handle);

/*
 * Queues size bytes for sending (call number 3).
 * Returns 0 once every byte is in the port's transmit ring, not once it is
 * sent: the transmit monitor sends in chunks of up to 4096 bytes, with event
 * kind 4 for each chunk sent and 5/3, 5/4 (location 1101) for a chunk that
 * fails and is dropped. The connection is not looked at: bytes queued while
 * there is none are sent once the socket takes data, or dropped chunk by
 * chunk while the port has no socket. Blocks while the ring is full until
 * the monitor has emptied it, so a write larger than the ring (8192 bytes
 * unless changed; 262144 in the fast transfer mode) returns once all of it
 * is queued. size 0 or less, or null
 * data, queues nothing.
 * Result: 0; -1 invalid handle (301/1201); -2 not open (302/1202), also
 * while the port is still being opened, and when its close began while the
 * write waited for room (the bytes not yet queued are not sent).
 * Threads: one writing thread per port at a time. From the transmit
 * monitor's own events (kinds 4 and 5 with details 3, 4) write no more than
 * the ring has room for: a full ring would wait for that very thread.
 */
ZOR_API int32_t ZOR_CALL ZorWritePort(int32_t handle, const void* data, int32_t size);

/*
 * Takes up to capacity received bytes, oldest first (call number 5); never
 * waits. *count receives the number delivered, 0 when none wait. capacity 0
 * or less, or a null buffer, delivers and consumes nothing.
 * Result: 0; -1 invalid handle (501/1401); -2 not open (502/1402).
 * Threads: one reading thread per port at a time; the port's event handler
 * may read the bytes of a kind 3 event, which are already in the ring.
 */
ZOR_API int32_t ZOR_CALL ZorReadPort(int32_t handle, void* buffer, int32_t capacity,
                                     int32_t* count);

/*
 * Number of received bytes waiting (call number 4); never waits.
 * Result: the count (0 or more); -1 invalid handle (401/1301); -2 not open
 * (402/1302). Threads: any thread, while the port is open.
 */
ZOR_API int32_t ZOR_CALL ZorAnyToRead(int32_t handle);

/*
 * Registers the handler for the next port that opens successfully.
 * That open binds handler and userData to its port and clears them, so a
 * host registers before every open whose port is to report events; a port
 * opened without a registration has no handler. The last registration
 * before an open counts; a failed open leaves it pending; null registers no
 * handler. Ports already open keep theirs. The handler gets no port handle:
 * userData tells the ports apart.
 * The handler runs on the library's own threads (the port's receive and
 * transmit monitors), possibly two at once for one port, never inside one of
 * the host's calls, and with no lock of the library held; the monitor does
 * nothing else until it returns, so keep it short. It may call ZorReadPort,
 * ZorAnyToRead, ZorWritePort and ZorGetLastError, but must never close its
 * own port. Calls stop with the port's close: ZorClosePort returns once the
 * port's monitors have stopped, and no handler call follows it. At process
 * exit the library learns of the exit only in its own unload, which comes
 * after the exit handlers (atexit, static destructors) that the host
 * registered after loading it, and on Windows after all of them; until
 * then the handler is still called. A host whose handler must not run
 * during its exit closes its ports in its own exit handler. From the
 * unload on no handler is called, and the ports still open are closed
 * silently. While a port with a handler
 * is open the library keeps itself loaded: a dlclose then returns at once
 * and unloads nothing, the ports stay open and the handler is still called.
 * Result: always 0; nothing is recorded. Threads: not at the same time as
 * an open.
 */
ZOR_API int32_t ZOR_CALL ZorSetEventHandler(ZorEventHandler handler, uint32_t userData);

/*
 * Sets a port's signal (call number 6). Signal 1 (signalNumber 1) takes
 * bit 0 of value: 1 holds a client port, which then makes no connect attempt
 * (a standing connection goes on, but is not made again after a loss); 0
 * releases it. Server ports ignore it. Other signal numbers change nothing.
 * Result: 0; -1 invalid handle (601/1501); -2 not open (602/1502).
 */
ZOR_API int32_t ZOR_CALL ZorChangeSignal(int32_t handle, int32_t signalNumber, uint32_t value);

/*
 * Reads signal 1 (0 or 1) into *value (call number 7); another signal number
 * leaves *value as it is.
 * Result: 0; -1 invalid handle (701/1601); -2 not open (702/1602).
 */
ZOR_API int32_t ZOR_CALL ZorGetSignal(int32_t handle, int32_t signalNumber, int32_t* value);

/*
 * Changes a library-wide default for ports opened later; open ports keep
 * their settings.
 * type ZOR_DEFAULT_SERVICE, ZOR_DEFAULT_SERVICE_TYPE: the text at data,
 *   length bytes including the terminator (at most 36 are copied; the store
 *   always ends in a terminator, a longer text is cut to 35 characters).
 * type ZOR_DEFAULT_RETRY_COUNT, ZOR_DEFAULT_LOOKUP_HOST, ZOR_DEFAULT_FAST_TRANSFER (the fast
 *   transfer mode, non-zero on): an int32_t at data; length is not used.
 * type ZOR_DEFAULT_KEEP_ALIVE (seconds, 1 to 7200, 0 off: a peer that stops
 *   answering is given up within about twice that), ZOR_DEFAULT_CONNECT_TIMEOUT
 *   (milliseconds, 1 to 600000, 0 the system's own: a connect attempt that
 *   has not completed by then fails with 10060): a uint32_t at data; length
 *   is not used; a value out of range is ignored. A port's "Keep Alive" and
 *   "Connect Timeout" keywords override them.
 * Any other type, or null data, changes nothing. No result; nothing is
 * recorded. Threads: not at the same time as an open, close or other change
 * of the defaults.
 */
ZOR_API void ZOR_CALL ZorChangeDefault(uint32_t type, const void* data, uint32_t length);

/* Ring sizes for ports opened later: receive at least 20480 (65536 at
 * first), transmit at least 4096 (8192 at first), neither above 0x7FFFFFFF;
 * 0xFFFFFFFF keeps a size. Other values are ignored. A fast transfer port
 * takes 1048576 and 262144 for a size that no call has set. No result;
 * nothing is recorded. Threads: as ZorChangeDefault. */
ZOR_API void ZOR_CALL ZorChangeBufferSizes(uint32_t rxRingSize, uint32_t txRingSize);

/*
 * Reads a configuration item (ZOR_CONFIG_*) of a port (call number 8) into
 * output, and its length into *length (only written, never read):
 *  1 local IPv4 address of the port's socket; 4 zero bytes and length 0
 *    when there is none (a client between connections);
 *  2 peer's IPv4 address: client, the resolved remote address; server, the
 *    served or last served peer; zeros when none;
 *  3 this computer's host name ("localhost" when it cannot be had), needs
 *    130 bytes; length is the text's length;
 *  4 peer's name as in event kind 1, needs 129 bytes; length is the text's
 *    length;
 *  5 the service port number (a server on service "0": the port the system
 *    chose; a number of 65536 or more is given whole, while the port uses
 *    its low 16 bits); 6 server, the served peer's port; client, as item 5.
 * Addresses are 4 bytes in network order, port numbers uint32_t, length 4.
 * Result: 0; -1 invalid handle (801/1701); -2 not open (802/1702); -3 an
 * item outside 1 to 6, nothing written or recorded.
 */
ZOR_API int32_t ZOR_CALL ZorGetConfig(int32_t handle, int32_t item, void* output, int32_t* length);

/*
 * Copies the port's counters (call number 9). They count per handle from
 * the library's load on, go on over closes and reopens, and wrap at 2^32;
 * each is read whole, but the five need not be one snapshot.
 * Result: 0; -1 invalid handle (901/1801); -2 not open (902/1802).
 */
ZOR_API int32_t ZOR_CALL ZorGetStatistics(int32_t handle, ZorPortStatistics* output);

/*
 * Copies the last failure: error number, location and text (text needs 288
 * bytes; at most 287 characters and a terminator). Zeros and "Successful"
 * while nothing has been recorded, and after a failure that recorded the
 * number 0. The record is library-wide and keeps the last failure of any
 * port or thread through later successes; the three values always belong
 * to one failure, except that a would-block result (10035) of a monitor
 * changes only the two numbers, and a failed ZorGetConfig item 1 on a port
 * with a debug log only the error number. A would-block result is recorded
 * even before any failure (an idle connection gives one within a second):
 * the numbers are then 10035 and 1008 or 2010, and the text is empty. Never fails and changes
 * nothing; null outputs are not written. Returns text. Threads: any thread.
 */
ZOR_API char* ZOR_CALL ZorGetLastError(int32_t* code, int32_t* location, char* text);

#ifdef __cplusplus
}
#endif

#endif /* ZORTCP_H */
