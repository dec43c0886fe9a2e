/* SPDX-License-Identifier: MIT */
/*
 * A Windows host written from zortcp.h alone, the way a host that declares
 * foreign functions uses the DLL: it loads zortcp.dll with LoadLibrary,
 * finds the 13 calls by their plain names, and then
 *  1. echoes 1 MiB through a server port and a client port of this one
 *     process, in the default pacing and in the fast transfer mode, and
 *     checks the events (1 connected, 3 received, 4 transmitted) and the
 *     statistics against the bytes moved;
 *  2. opens a second server on the service that the first one listens on,
 *     which fails at location 10 with 10048, "WSAEADDRINUSE...";
 *  3. lets go of the DLL with FreeLibrary while a port is still open, which
 *     must return within 2 s.
 * Exit status 0 when everything held; each step prints what it measured.
 */
#define WIN32_LEAN_AND_MEAN
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "zortcp.h"

#define TOTAL_BYTES           (1024 * 1024)
#define CHUNK_BYTES           4096
#define MAX_OUTSTANDING       (32 * 1024) /* below every ring, so no write waits long */
#define STEP_TIMEOUT_MS       30000
#define FREE_LIBRARY_LIMIT_MS 2000

/* The calls, with the header's calling convention. */
typedef int32_t(ZOR_CALL* OpenPortCall)(const char*, int32_t, uint32_t, const char*, int32_t*);
typedef int32_t(ZOR_CALL* HandleCall)(int32_t);
typedef int32_t(ZOR_CALL* WritePortCall)(int32_t, const void*, int32_t);
typedef int32_t(ZOR_CALL* ReadPortCall)(int32_t, void*, int32_t, int32_t*);
typedef int32_t(ZOR_CALL* SetEventHandlerCall)(ZorEventHandler, uint32_t);
typedef int32_t(ZOR_CALL* SignalCall)(int32_t, int32_t, uint32_t);
typedef int32_t(ZOR_CALL* GetSignalCall)(int32_t, int32_t, int32_t*);
typedef void(ZOR_CALL* ChangeDefaultCall)(uint32_t, const void*, uint32_t);
typedef void(ZOR_CALL* ChangeBufferSizesCall)(uint32_t, uint32_t);
typedef int32_t(ZOR_CALL* GetConfigCall)(int32_t, int32_t, void*, int32_t*);
typedef int32_t(ZOR_CALL* GetStatisticsCall)(int32_t, ZorPortStatistics*);
typedef char*(ZOR_CALL* GetLastErrorCall)(int32_t*, int32_t*, char*);

static struct {
  OpenPortCall open;
  HandleCall close;
  WritePortCall write;
  ReadPortCall read;
  HandleCall anyToRead;
  SetEventHandlerCall setEventHandler;
  SignalCall changeSignal;
  GetSignalCall getSignal;
  ChangeDefaultCall changeDefault;
  ChangeBufferSizesCall changeBufferSizes;
  GetConfigCall getConfig;
  GetStatisticsCall getStatistics;
  GetLastErrorCall getLastError;
} zor;

/* What one port's handler has seen; userData is the index. */
typedef struct {
  volatile LONG connected;
  volatile LONG received;
  volatile LONG transmitted;
} PortEvents;

static PortEvents events[2];

static int32_t ZOR_CALL OnEvent(int32_t source, int32_t kind, void* data, uint32_t userData) {
  PortEvents* port = &events[userData];
  (void)source;
  if (kind == ZOR_EVENT_CONNECTED) InterlockedIncrement(&port->connected);
  if (kind == ZOR_EVENT_RECEIVED) InterlockedExchangeAdd(&port->received, *(int32_t*)data);
  if (kind == ZOR_EVENT_TRANSMITTED) InterlockedExchangeAdd(&port->transmitted, *(int32_t*)data);
  return 0;
}

static int failures = 0;

static void Check(int holds, const char* what) {
  if (holds) return;
  ++failures;
  printf("FAILED: %s\n", what);
}

static FARPROC Find(HMODULE library, const char* name) {
  FARPROC call = GetProcAddress(library, name);
  if (call == NULL) {
    printf("FAILED: zortcp.dll does not export %s\n", name);
    exit(1);
  }
  return call;
}

static void FindCalls(HMODULE library) {
  zor.open = (OpenPortCall)(void*)Find(library, "ZorOpenPort");
  zor.close = (HandleCall)(void*)Find(library, "ZorClosePort");
  zor.write = (WritePortCall)(void*)Find(library, "ZorWritePort");
  zor.read = (ReadPortCall)(void*)Find(library, "ZorReadPort");
  zor.anyToRead = (HandleCall)(void*)Find(library, "ZorAnyToRead");
  zor.setEventHandler = (SetEventHandlerCall)(void*)Find(library, "ZorSetEventHandler");
  zor.changeSignal = (SignalCall)(void*)Find(library, "ZorChangeSignal");
  zor.getSignal = (GetSignalCall)(void*)Find(library, "ZorGetSignal");
  zor.changeDefault = (ChangeDefaultCall)(void*)Find(library, "ZorChangeDefault");
  zor.changeBufferSizes = (ChangeBufferSizesCall)(void*)Find(library, "ZorChangeBufferSizes");
  zor.getConfig = (GetConfigCall)(void*)Find(library, "ZorGetConfig");
  zor.getStatistics = (GetStatisticsCall)(void*)Find(library, "ZorGetStatistics");
  zor.getLastError = (GetLastErrorCall)(void*)Find(library, "ZorGetLastError");
}

static void SetService(const char* service) {
  zor.changeDefault(ZOR_DEFAULT_SERVICE, service, (uint32_t)strlen(service) + 1);
}

static void SetFastTransfer(int32_t on) {
  zor.changeDefault(ZOR_DEFAULT_FAST_TRANSFER, &on, sizeof on);
}

static void PrintLastError(const char* what) {
  int32_t code = 0, location = 0;
  char text[288];
  zor.getLastError(&code, &location, text);
  printf("%s: location %d, error %d, %s\n", what, location, code, text);
}

/* A server on a port that the system chooses; -1 when it cannot open. */
static int32_t OpenServer(uint32_t userData, uint32_t* port) {
  int32_t handle = -1, length = 0;
  SetService("0");
  zor.setEventHandler(OnEvent, userData);
  if (zor.open("", 0, ZOR_OPEN_SERVER, NULL, &handle) != 0) {
    PrintLastError("server open");
    return -1;
  }
  zor.getConfig(handle, ZOR_CONFIG_SERVICE_PORT, port, &length);
  return handle;
}

static int32_t OpenClient(uint32_t port) {
  char service[16];
  int32_t handle = -1;
  sprintf(service, "%u", (unsigned)port);
  SetService(service);
  zor.setEventHandler(OnEvent, 1);
  if (zor.open("127.0.0.1", 0, 0, NULL, &handle) != 0) {
    PrintLastError("client open");
    return -1;
  }
  return handle;
}

static unsigned char Pattern(int32_t offset) { return (unsigned char)(offset * 7 + offset / 4096); }

static int WaitFor(volatile LONG* counter, LONG value) {
  ULONGLONG deadline = GetTickCount64() + STEP_TIMEOUT_MS;
  while (*counter < value) {
    if (GetTickCount64() > deadline) return 0;
    Sleep(1);
  }
  return 1;
}

/* The client sends; the server sends back what it receives; the client
 * checks every byte that comes back. */
static int Echo(int32_t server, int32_t client) {
  static unsigned char out[CHUNK_BYTES], in[CHUNK_BYTES];
  int32_t sent = 0, echoed = 0, returned = 0;
  ULONGLONG deadline = GetTickCount64() + STEP_TIMEOUT_MS;
  while (returned < TOTAL_BYTES) {
    int32_t count = 0, i;
    if (GetTickCount64() > deadline) return 0;
    if (sent < TOTAL_BYTES && sent - returned < MAX_OUTSTANDING) {
      int32_t size = TOTAL_BYTES - sent < CHUNK_BYTES ? TOTAL_BYTES - sent : CHUNK_BYTES;
      for (i = 0; i < size; ++i) out[i] = Pattern(sent + i);
      if (zor.write(client, out, size) != 0) return 0;
      sent += size;
    }
    if (zor.read(server, in, sizeof in, &count) != 0) return 0;
    if (count > 0 && zor.write(server, in, count) != 0) return 0;
    echoed += count;
    if (zor.read(client, in, sizeof in, &count) != 0) return 0;
    for (i = 0; i < count; ++i) {
      if (in[i] != Pattern(returned + i)) {
        printf("FAILED: byte %d came back as %u\n", returned + i, in[i]);
        return 0;
      }
    }
    returned += count;
    if (count == 0) Sleep(0);
  }
  return echoed == TOTAL_BYTES;
}

static void Delta(const ZorPortStatistics* before, const ZorPortStatistics* after,
                  ZorPortStatistics* moved) {
  moved->rxBytes = after->rxBytes - before->rxBytes;
  moved->txBytes = after->txBytes - before->txBytes;
}

static void EchoInPacing(const char* pacing, int32_t fast) {
  ZorPortStatistics before[2], after[2], moved[2];
  uint32_t port = 0;
  int32_t server, client, side;
  ULONGLONG started;
  char what[128];
  memset(events, 0, sizeof events);
  SetFastTransfer(fast);
  server = OpenServer(0, &port);
  client = server >= 0 ? OpenClient(port) : -1;
  Check(server >= 0 && client >= 0, "both ports open");
  if (server < 0 || client < 0) return;
  zor.getStatistics(server, &before[0]);
  zor.getStatistics(client, &before[1]);
  Check(WaitFor(&events[1].connected, 1) && WaitFor(&events[0].connected, 1),
        "event 1 on both ports");
  started = GetTickCount64();
  sprintf(what, "%s: 1 MiB echoed intact", pacing);
  Check(Echo(server, client), what);
  printf("%s: 1 MiB there and back in %llu ms\n", pacing, GetTickCount64() - started);
  for (side = 0; side < 2; ++side) {
    Check(WaitFor(&events[side].transmitted, TOTAL_BYTES), "events 4 add up to 1 MiB");
    Check(events[side].received == TOTAL_BYTES, "events 3 add up to 1 MiB");
  }
  zor.getStatistics(server, &after[0]);
  zor.getStatistics(client, &after[1]);
  for (side = 0; side < 2; ++side) {
    Delta(&before[side], &after[side], &moved[side]);
    Check(moved[side].rxBytes == TOTAL_BYTES && moved[side].txBytes == TOTAL_BYTES,
          "statistics count the bytes moved");
  }
  printf("%s: server rx %u tx %u, client rx %u tx %u bytes; events 3 %ld/%ld, 4 %ld/%ld\n", pacing,
         moved[0].rxBytes, moved[0].txBytes, moved[1].rxBytes, moved[1].txBytes, events[0].received,
         events[1].received, events[0].transmitted, events[1].transmitted);
  Check(zor.close(client) == 0 && zor.close(server) == 0, "both ports close");
}

/* Returns the first server, left open. */
static int32_t SecondServerOnBusyService(void) {
  uint32_t port = 0;
  int32_t first, second = -1, code = 0, location = 0;
  char service[16], text[288];
  SetFastTransfer(0);
  first = OpenServer(0, &port);
  Check(first >= 0, "first server opens");
  sprintf(service, "%u", (unsigned)port);
  SetService(service);
  Check(zor.open("", 0, ZOR_OPEN_SERVER, NULL, &second) == -2, "second server fails");
  zor.getLastError(&code, &location, text);
  printf("second server on %u: location %d, error %d, %s\n", (unsigned)port, location, code, text);
  Check(location == ZOR_LOCATION_BIND && code == 10048, "location 10, error 10048");
  Check(strncmp(text, "WSAEADDRINUSE", 13) == 0, "text starts with WSAEADDRINUSE");
  return first;
}

int main(void) {
  HMODULE library = LoadLibraryA("zortcp.dll");
  ULONGLONG started;
  int32_t open;
  if (library == NULL) {
    printf("FAILED: LoadLibrary(zortcp.dll): error %lu\n", GetLastError());
    return 1;
  }
  FindCalls(library);
  EchoInPacing("default pacing", 0);
  EchoInPacing("fast transfer mode", 1);
  open = SecondServerOnBusyService();
  started = GetTickCount64();
  FreeLibrary(library);
  {
    ULONGLONG took = GetTickCount64() - started;
    printf("FreeLibrary with port %d open returned after %llu ms\n", open, took);
    Check(took < FREE_LIBRARY_LIMIT_MS, "FreeLibrary returns within 2 s");
  }
  printf(failures == 0 ? "echo host: all checks held\n" : "echo host: %d checks failed\n",
         failures);
  return failures == 0 ? 0 : 1;
}
