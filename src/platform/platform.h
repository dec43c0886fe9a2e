// SPDX-License-Identifier: MIT
// The platform layer: the sockets, threads, time, memory and system texts
// that the rest of the library stands on. Nothing outside src/platform/
// includes a system socket, thread or time header; everything goes through
// the operations below, whose guarantees are listed with each.
//
// Error numbers. Every failing socket operation sets the calling thread's
// last socket error (LastSocketError) to a Winsock number, named in the one
// error table (socket_errors.h): system errors are mapped through its errno
// column (EWOULDBLOCK/EAGAIN 10035, ECONNREFUSED 10061,
// ECONNRESET and EPIPE 10054, ...), resolver failures are 11001 (host not
// found), 11002 (try again), 11003 (no recovery) and 11004 (no data, also a
// service name that is not found). A call on a handle that is closed or was
// never handed out fails with 10038. Failing memory and thread operations set
// the calling thread's last system error (LastSystemError) to the system's
// own number (Linux: errno, 12 for no memory, 11 for no more threads;
// Windows: GetLastError, 8 for no memory).
//
// Where the systems differ. The folder of the system being built for
// (posix/ or win32/) implements every operation below, and the layers above
// never learn which. What differs underneath:
// - Socket errors: Linux errno values are mapped to Winsock numbers; on
//   Windows they are Winsock's own. A close under a blocked call reports
//   10004 on both, from the layer's own closed state, whatever the system
//   says about the socket.
// - Network start-up: Windows starts Winsock once per open port
//   (StartNetwork); Linux has nothing to start.
// - Fork hooks never run on Windows, which has no fork.
// - Bind: Linux uses SO_REUSEADDR (it still refuses a second listener);
//   Windows SO_EXCLUSIVEADDRUSE, since SO_REUSEADDR there lets another
//   program take the port.
// - Keep-alive: TCP_KEEPIDLE and friends with TCP_USER_TIMEOUT on Linux,
//   SIO_KEEPALIVE_VALS on Windows.
// - Socket waits: poll on the socket, its cancel descriptor and the
//   thread's termination descriptor on Linux; on Windows the one
//   WSAEventSelect event a socket can have, shared by its waiters, each of
//   which also sleeps on a wake-up event of its own that the waiter who
//   reads the network events sets, so none misses what arrived.
// - Time: monotonic clock and futex on Linux; QueryPerformanceCounter,
//   high-resolution waitable timers and condition variables on Windows.
// - Memory: large blocks are mapped (mmap, VirtualAlloc) and cost resident
//   memory only once touched.
// - Files and sockets are never inherited by child processes: close-on-exec
//   on Linux, non-inheritable handles on Windows.
// - Unload: Linux waits in the library's destructor for threads left in
//   host code; Windows never waits under the loader lock, and each library
//   thread holds its own reference to the module instead.
//
// Fault injection (platform/fault_injection.h) can make any operation below
// fail with a chosen number, so that every failure path is testable.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/socket_errors.h"

namespace zortcp::platform {

// ---------------------------------------------------------------- errors

// The calling thread's last socket error, in Winsock numbering.
int32_t LastSocketError();
void SetLastSocketError(int32_t code);

// The calling thread's last system error (memory, threads), in the
// system's own numbering (errno on Linux, GetLastError on Windows).
int32_t LastSystemError();
void SetLastSystemError(int32_t code);

// Maps a system error number (errno on Linux) to its Winsock number; numbers
// without a Winsock counterpart are returned unchanged. On Windows socket
// errors are Winsock numbers already and come back unchanged.
int32_t WinsockErrorFromSystem(int errorNumber);

// The system's message for an error number (the numbering of
// LastSystemError) in the user's language, without trailing line ends;
// empty when the system has no message for it.
std::string SystemMessageText(int32_t errorNumber);

// ---------------------------------------------------------------- network

// Starts the system's socket library for one user (an open port); each
// start that succeeds is matched by one StopNetwork. Windows starts Winsock
// with version 1.1 (WSAStartup) and stops it with WSACleanup; Linux has
// nothing to start. 0, or kSocketError with the last socket error set.
int32_t StartNetwork();
void StopNetwork();

// ---------------------------------------------------------------- sockets

// A socket is a 32-bit handle, never a raw descriptor, and no handle is
// handed out twice in the library's life. -1 is "no socket".
using Socket = int32_t;
inline constexpr Socket kNoSocket = -1;
inline constexpr int32_t kSocketError = -1;

inline constexpr uint16_t kAddressFamilyInet = 2;

// An IPv4 socket address, 16 bytes laid out as the system's own: family,
// port in network byte order, address in network byte order, 8 zero bytes.
struct SocketAddress {
  uint16_t family = 0;
  uint16_t port = 0;     // network byte order
  uint32_t address = 0;  // network byte order
  uint8_t zero[8] = {};
};
static_assert(sizeof(SocketAddress) == 16);

uint16_t HostToNetwork16(uint16_t value);
uint16_t NetworkToHost16(uint16_t value);
uint32_t HostToNetwork32(uint32_t value);

// inet_addr: a dotted IPv4 address in network byte order, or 0xFFFFFFFF
// (which is also the address 255.255.255.255) when the text is not one.
uint32_t ParseDottedAddress(const char* text);
// inet_ntoa: the dotted form of an address in network byte order.
std::string FormatDottedAddress(uint32_t address);

// Creates a TCP stream socket over IPv4, in blocking mode, close-on-exec.
// kNoSocket on failure.
Socket OpenSocket();

// Closes a socket from any thread. Every call blocked on it (Connect,
// Accept, Receive, Send) returns at once and fails with 10004; a later call
// fails with 10038. The descriptor is released only when no call uses it
// any more, so a descriptor number that the system reuses never carries one
// socket's bytes to another. Closing kNoSocket or a closed socket does
// nothing and fails with 10038.
int32_t CloseSocket(Socket socket);

// Binds to a local address. A port whose earlier connections linger in
// TIME_WAIT can be bound again at once, so a server reopens on its port;
// a port that another socket listens on fails with 10048. An address that
// is not one of this host's fails with 10049, the broadcast address
// 255.255.255.255 among them (what ParseDottedAddress gives for a text
// that is not an address), which some systems would otherwise take.
int32_t Bind(Socket socket, const SocketAddress& address);
int32_t Listen(Socket socket, int32_t backlog);

// Accepts a pending connection. A blocking socket waits for one; a
// non-blocking one fails with 10035 when none waits. The new socket is
// blocking. kNoSocket on failure.
Socket Accept(Socket socket, SocketAddress* peer);

// Connects. A blocking socket waits for the outcome (interruptible by
// CloseSocket); a non-blocking one fails with 10035 while the connection is
// still being made.
int32_t Connect(Socket socket, const SocketAddress& address);
// The same for a blocking socket, giving up once timeoutMs milliseconds
// (negative for no limit) have passed without an outcome: it then fails
// with 10060, and the attempt is left under way on a socket that is good
// only for closing. CloseSocket and termination end the wait at once.
int32_t ConnectWithin(Socket socket, const SocketAddress& address, int32_t timeoutMs);

// Zero-time-out readiness polls: 1 ready, 0 not ready, kSocketError on
// failure (a closed or unknown socket fails with 10038). A listening socket
// is readable when a connection waits to be accepted; a connected socket
// whose peer has closed or reset is readable. A socket that is neither
// connected nor listening polls readable (a receive on it then fails with
// 10057) but not writable: only a socket whose connect has succeeded, or an
// accepted one, is writable, so bytes wait for a connection being made.
int32_t PollReadable(Socket socket);
int32_t PollWritable(Socket socket);

// Blocking readiness waits for the opt-in fast transfer mode: wait until
// the socket is ready, the time-out (milliseconds, negative for none) ends,
// or the socket is closed. Result as for the polls; a socket closed during
// the wait fails with 10004. A wait for writability on a socket that is not
// connected ends after at most 1 ms with 0. Otherwise the waiting thread
// sleeps until one of these happens (or its termination), however many
// threads wait on the socket: it is not woken to look again on a clock.
// Windows has one exception: a wait for writability on a socket that
// filled up without a send that would block (the system announces room
// only after such a send) looks again after 1 ms, then at doubling
// intervals up to 50 ms.
int32_t WaitReadable(Socket socket, int32_t timeoutMs);
int32_t WaitWritable(Socket socket, int32_t timeoutMs);

// Receives up to length bytes: the count, 0 when the peer has closed, or
// kSocketError. Blocking mode waits for bytes; non-blocking mode fails with
// 10035 when none wait. A receive cut short by CloseSocket fails with 10004,
// never returns 0. A connection that failed (the system gave the peer up,
// 10060, or it was reset, 10054) never reads as closed by the peer, even
// when another call met the failure first (a Send on another thread): the
// receive fails with that failure's number.
int32_t Receive(Socket socket, void* buffer, int32_t length);

// Sends: the count taken (in blocking mode all of it), or kSocketError.
// Non-blocking mode fails with 10035 when nothing can be taken. Never raises
// SIGPIPE: a broken connection is an error number.
int32_t Send(Socket socket, const void* data, int32_t length);

int32_t SetNonBlocking(Socket socket, bool nonBlocking);     // FIONBIO
int32_t PendingBytes(Socket socket, uint32_t* count);        // FIONREAD
int32_t SetReceiveBufferSize(Socket socket, int32_t bytes);  // SO_RCVBUF
int32_t SetSendBufferSize(Socket socket, int32_t bytes);     // SO_SNDBUF
// Sends small writes at once instead of holding them for the peer's
// acknowledgement (TCP_NODELAY); the fast transfer mode uses it.
int32_t SetNoDelay(Socket socket);
// Keep-alive for a connection (1 to 7200 seconds): after seconds without a
// word from the peer it is probed once a second (every seconds / 127,
// rounded up, beyond 127 seconds), and an idle connection
// whose peer answers none of the probes is given up 2 x seconds after the
// peer last answered: the connection then polls readable with nothing
// waiting, and the next Receive fails with 10060. A peer that answers is
// never given up, whatever else it does: one that has stopped reading (its
// window closed) keeps its connection for as long as it answers the
// probes of its window, so no time-out may cover those probes. While
// bytes are outstanding the system does not probe; the caller judges such
// a connection from PeerAnswersOf, for which the system probes a closed
// window at intervals of at most seconds / 2 (but never less than one
// second) where it can.
int32_t SetKeepAlive(Socket socket, uint32_t seconds);
int32_t LocalAddress(Socket socket, SocketAddress* address);  // getsockname

// What the system can tell of a connection's peer answering: the keep-alive
// of a connection with bytes outstanding is judged from it. A platform
// gives:
// - known: false where the system cannot tell (no such query, or the
//   socket is not connected); the caller then judges nothing, and
//   SetKeepAlive alone finds a lost peer, as far as the system allows
//   without ever ending a connection whose peer still answers.
// - awaitingAnswer: the peer owes an answer, to bytes sent and not yet
//   acknowledged or to a probe (of keep-alive, or of its closed window
//   where the system probes it at least every keep-alive seconds / 2).
//   False on an idle connection and on one whose bytes wait only for the
//   peer's closed window while the system cannot bound the gap between
//   the probes of that window: such a peer may answer rarely and still be
//   there.
// - sinceAnswerMs: milliseconds since the peer last acknowledged anything,
//   bytes or a probe.
// A peer that owes an answer and has given none for 2 x the keep-alive
// seconds is gone. kSocketError on a closed or unknown socket (10038).
struct PeerAnswers {
  bool known = false;
  bool awaitingAnswer = false;
  uint32_t sinceAnswerMs = 0;
};
int32_t PeerAnswersOf(Socket socket, PeerAnswers* answers);

// Resolver. All are thread-safe. Names in network byte order.
int32_t LocalHostName(char* buffer, int32_t size);  // gethostname
// The first IPv4 address of a host name.
int32_t HostByName(const char* name, uint32_t* address);
// The official name of an IPv4 address (reverse lookup).
int32_t HostByAddress(uint32_t address, std::string* name);
// A service's port in host byte order, for a protocol name ("tcp").
int32_t ServiceByName(const char* name, const char* protocol, uint16_t* port);

// Tests: how many socket calls are blocked in a wait right now, in the whole
// process (a blocking Connect, Accept, Receive or Send waiting for its
// socket, or a readiness wait). The count rises just before the call waits,
// once nothing but the socket, its close or the thread's termination can end
// the wait: a test that needs a call to be blocked waits for the count.
int32_t BlockedSocketWaits();

// ---------------------------------------------------------------- threads

// Thrown inside a library thread that has been terminated, from whichever
// wait or termination point it is in, and caught by the thread's own entry
// function: the thread unwinds and does nothing more. It never reaches the
// host: the exported functions catch it.
struct ThreadTerminated {};

struct ThreadState;
using ThreadHandle = ThreadState*;
using ThreadRoutine = void (*)(void* argument);

enum class ThreadPriority { kNormal, kTimeCritical };

// Creates a thread that does not run until it is resumed. The routine runs
// with argument; monitor threads get a lowered timer slack so that 1 ms
// sleeps last close to 1 ms. nullptr on failure (LastSystemError set).
ThreadHandle CreateSuspendedThread(ThreadRoutine routine, void* argument);

// Lets a created thread run, or wakes a thread that suspended itself. A
// resume that arrives while the thread is running is kept, so that the
// thread's next SuspendCurrentThread returns at once: no wake-up is lost.
void ResumeThread(ThreadHandle thread);

// Suspends the calling library thread until it is resumed (or terminated).
// Returns at once on a thread that the library did not create, since
// nothing could resume it.
void SuspendCurrentThread();
// The same, for at most ms milliseconds. False at once on a thread that the
// library did not create; true after a resume or the time-out.
bool SuspendCurrentThreadFor(uint32_t ms);

// Cooperative termination. Every wait the thread is in or enters (Sleep,
// SuspendCurrentThread, blocking socket calls, readiness waits) ends at once
// by throwing ThreadTerminated, as does its next TerminationPoint. A thread
// that was never resumed exits without running its routine. A thread inside
// host code exits when that code returns to a termination point.
void TerminateThread(ThreadHandle thread);

// Gives the handle back. A thread that has finished, or finishes within
// half a second, is joined; a thread still running after that (terminated,
// but stuck in host code) is left to finish, and is joined once it has
// (see WaitForLeftThreads). A thread that was never resumed ends without
// running its routine. Null does nothing.
void CloseThreadHandle(ThreadHandle thread);

// Throws ThreadTerminated when the calling library thread has been
// terminated; does nothing on other threads.
void TerminationPoint();

// For a catch-all around host code: rethrows the exception being handled
// when it ends the thread (ThreadTerminated, or the system's own unwinding
// of a thread that the host code ended, such as pthread_exit: then
// `onHostEnd(context)` is called first) and returns for any other. Windows
// ends such threads without unwinding, so there only ThreadTerminated is
// rethrown.
void RethrowThreadEnd(void (*onHostEnd)(void*), void* context);

// Tests: how many library threads are in a Sleep of 1 ms or more or in a
// suspension right now. The count rises once a resume or a termination is
// certain to end that wait (not merely to be kept for it).
int32_t WaitingLibraryThreads();

// The argument that the calling library thread was created with; nullptr on
// a thread that the library did not create.
void* CurrentThreadArgument();

// Best effort: time-critical is the highest non-real-time priority the
// system permits (nice -20); a refusal is ignored.
void SetCurrentThreadPriority(ThreadPriority priority);

// ---------------------------------------------------------------- library entry

// What the shared library does when the system loads it and when it
// unloads it. The layer that owns the library's life defines it
// (port/library_entry.cpp); the system's entry point
// (<system>/library_entry.cpp: a constructor and destructor on Linux,
// DllMain on Windows) calls it. Both are linked into the shared library
// only.
struct LibraryLife {
  void (*load)();
  void (*unload)();
};
extern const LibraryLife kLibraryLife;

// ---------------------------------------------------------------- process life

// What the layers above do around fork(): prepare runs in the forking
// thread just before the fork, parent in it just after, child in the
// child's only thread before fork() returns there. The platform layer
// itself holds its own locks across the fork, so that none of them is held
// in the child by a thread that does not exist there; the child then starts
// with an empty socket table (its copies of the descriptors are closed,
// which leaves the parent's connections as they are, where a shutdown would
// end them), knows none of the parent's threads, and a library thread that
// forked (a host's handler did) leaves at its next termination point.
struct ForkHooks {
  void (*prepare)() = nullptr;
  void (*parent)() = nullptr;
  void (*child)() = nullptr;
};

// Installs the fork hooks (a later call replaces them) and, once in the
// process's life, starts watching for fork() and for the process's exit.
void WatchProcessLife(const ForkHooks& hooks);

// True once the process has begun to exit (exit() or a return from main,
// seen when the exit handlers run); the code then stays mapped to the end.
// From then on the library calls no host code.
bool ProcessExiting();

// Keeps the library loaded while something that runs host code may run.
// Each HoldLibrary adds a reference to the library's own module (as a
// host's dlopen or LoadLibrary does), each ReleaseLibrary gives back one that
// a HoldLibrary added; a release with none held does nothing. While one is
// held, a host's dlclose (FreeLibrary) of its own handle neither runs the
// unload nor unmaps anything, so nothing need wait for host code there:
// that decision has to be taken before the unload begins. A release made
// on a library thread keeps its reference until the process ends, since
// giving back the last one there would unmap the code under that thread;
// on a host thread inside one of its calls, the host's own reference keeps
// the library loaded. Neither ever waits; a failed hold is not reported
// (the unload then waits for host code, as WaitForLeftThreads says).
void HoldLibrary();
void ReleaseLibrary();

// Waits until every library thread that CloseThreadHandle left running
// (stuck in host code) has ended, except the calling thread. The library's
// code stays mapped until then: an unload by dlclose calls it before it
// returns, since the system unmaps the code right after. A library thread
// left running outside an unload keeps the code mapped for the rest of the
// process instead (a later dlclose leaves the library loaded).
void WaitForLeftThreads();

// Gives back the memory that the platform layer keeps for later sockets
// and threads, where none is in use: a dlclose takes the library's own
// storage with it, and with it the only reference to that memory.
void ReleaseIdleMemory();

// ---------------------------------------------------------------- time

// Sleeps ms milliseconds; 0 yields the processor. A terminated library
// thread leaves at once with ThreadTerminated.
void Sleep(uint32_t ms);

// Waits while word holds expected: until WakeWordWaiters is called for the
// word, for at most ms milliseconds, or at once when the word holds another
// value; it may also end for no reason, so the caller looks at the word
// again. Any thread may wait, a host's too. A terminated library thread
// leaves with ThreadTerminated, at the latest when the wait ends.
void WaitWhileWordIs(const std::atomic<int32_t>& word, int32_t expected, uint32_t ms);
// Ends the waits of every thread in WaitWhileWordIs for the word.
void WakeWordWaiters(const std::atomic<int32_t>& word);

// Milliseconds since an arbitrary start, wrapping at 2^32.
uint32_t TickCount();
// Tests move the tick counter to see it wrap.
void SetTickOffsetForTesting(uint32_t offset);

struct LocalTime {
  int32_t year, month, day, hour, minute, second, milliseconds;
};
LocalTime CurrentLocalTime();

// ---------------------------------------------------------------- memory

// Zero-filled memory that stays valid while any copy of the handle lives:
// a thread that keeps a copy can never have the memory freed under it.
using MemoryBlock = std::shared_ptr<uint8_t[]>;

// nullptr on failure, with LastSystemError set (12 for no memory). Large
// blocks are mapped from the system as they are needed: a page costs
// resident memory only once it is first touched.
MemoryBlock AllocateZeroed(size_t bytes);

// ---------------------------------------------------------------- files

// Neither operation ever waits: a FIFO, a device or a file whose reads block
// is opened without blocking, or not at all. Descriptors are close-on-exec,
// so a host's child processes do not inherit them.

// The first maxBytes bytes (at most) of a regular file, as far as they can
// be read without waiting. False, with contents empty, when the path is not
// a regular file or cannot be opened.
bool ReadRegularFile(const char* path, size_t maxBytes, std::string* contents);

// Creates (empties) a file for writing and hands it over as a stdio stream
// whose writes block as a plain file's do. nullptr when the file cannot be
// created or opened at once: a FIFO without a reader, a missing directory,
// no permission.
std::FILE* CreateTextFile(const char* path);

// Closes a stream without writing what its buffer still holds: the copy of
// a parent's stream that a child process inherited through fork.
void DiscardFile(std::FILE* file);

}  // namespace zortcp::platform
