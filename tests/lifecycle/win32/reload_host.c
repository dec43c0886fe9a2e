/* SPDX-License-Identifier: MIT */
/*
 * A host that loads zortcp.dll, uses a server and a client port, closes
 * them and lets the DLL go, over and over. It imports no Winsock itself,
 * so each FreeLibrary takes ws2_32.dll out as well unless the DLL keeps it.
 * Every cycle must open both ports and move its bytes, and after two
 * cycles of warm-up the process's heaps may grow by no more than
 * MAX_GROWTH_PER_CYCLE bytes a cycle (the C++ runtime's exception reserve alone,
 * were it lost at each unload, is 19 KB in the 32-bit DLL, 75 KB in the
 * 64-bit one). Exit status 0 when everything held.
 */
#define WIN32_LEAN_AND_MEAN
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "zortcp.h"

#define CYCLES               10
#define WARM_UP_CYCLES       2
#define MAX_GROWTH_PER_CYCLE 8192
#define WAIT_MS              10000

typedef int32_t(ZOR_CALL* OpenPortCall)(const char*, int32_t, uint32_t, const char*, int32_t*);
typedef int32_t(ZOR_CALL* HandleCall)(int32_t);
typedef int32_t(ZOR_CALL* WritePortCall)(int32_t, const void*, int32_t);
typedef int32_t(ZOR_CALL* ReadPortCall)(int32_t, void*, int32_t, int32_t*);
typedef void(ZOR_CALL* ChangeDefaultCall)(uint32_t, const void*, uint32_t);
typedef int32_t(ZOR_CALL* GetConfigCall)(int32_t, int32_t, void*, int32_t*);
typedef char*(ZOR_CALL* GetLastErrorCall)(int32_t*, int32_t*, char*);

/* The bytes in use in every heap of the process. */
static SIZE_T HeapBytesInUse(void) {
  HANDLE heaps[64];
  DWORD count = GetProcessHeaps(64, heaps), i;
  SIZE_T total = 0;
  for (i = 0; i < count && i < 64; ++i) {
    PROCESS_HEAP_ENTRY entry;
    entry.lpData = NULL;
    if (!HeapLock(heaps[i])) continue;
    while (HeapWalk(heaps[i], &entry)) {
      if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) total += entry.cbData;
    }
    HeapUnlock(heaps[i]);
  }
  return total;
}

static void SetService(ChangeDefaultCall changeDefault, const char* service) {
  changeDefault(ZOR_DEFAULT_SERVICE, service, (uint32_t)strlen(service) + 1);
}

/* One load, a server and a client port with 5 bytes between them, the
 * close of both and the FreeLibrary; 0 with the reason printed on failure. */
static int Cycle(int cycle) {
  HMODULE dll = LoadLibraryA("zortcp.dll");
  OpenPortCall open;
  HandleCall close;
  WritePortCall write;
  ReadPortCall read;
  ChangeDefaultCall changeDefault;
  GetConfigCall getConfig;
  GetLastErrorCall getLastError;
  int32_t server = 0, client = 0, length = 0, received = 0, count = 0, code = 0, location = 0;
  uint32_t port = 0;
  char service[16], text[288], buffer[16];
  ULONGLONG deadline;
  int held = 0, opened = 0;
  if (dll == NULL) {
    printf("cycle %d: LoadLibrary failed, error %lu\n", cycle, GetLastError());
    return 0;
  }
  open = (OpenPortCall)(void*)GetProcAddress(dll, "ZorOpenPort");
  close = (HandleCall)(void*)GetProcAddress(dll, "ZorClosePort");
  write = (WritePortCall)(void*)GetProcAddress(dll, "ZorWritePort");
  read = (ReadPortCall)(void*)GetProcAddress(dll, "ZorReadPort");
  changeDefault = (ChangeDefaultCall)(void*)GetProcAddress(dll, "ZorChangeDefault");
  getConfig = (GetConfigCall)(void*)GetProcAddress(dll, "ZorGetConfig");
  getLastError = (GetLastErrorCall)(void*)GetProcAddress(dll, "ZorGetLastError");
  SetService(changeDefault, "0");
  opened = open("", 0, ZOR_OPEN_SERVER, NULL, &server) == 0;
  if (opened == 1) {
    getConfig(server, ZOR_CONFIG_SERVICE_PORT, &port, &length);
    sprintf(service, "%u", (unsigned)port);
    SetService(changeDefault, service);
    opened += open("127.0.0.1", 0, 0, NULL, &client) == 0;
    if (opened == 2) {
      write(client, "hello", 5);
      deadline = GetTickCount64() + WAIT_MS;
      while (received < 5 && GetTickCount64() < deadline) {
        if (read(server, buffer, sizeof buffer, &count) != 0) break;
        received += count;
        if (count == 0) Sleep(1);
      }
      held = received == 5;
      if (!held) printf("cycle %d: %d of 5 bytes arrived\n", cycle, received);
      close(client);
    }
    close(server);
  }
  if (opened < 2) {
    getLastError(&code, &location, text);
    printf("cycle %d: %s port did not open: location %d, error %d, %s\n", cycle,
           opened == 0 ? "server" : "client", location, code, text);
  }
  FreeLibrary(dll);
  return held;
}

int main(void) {
  long long before = 0, growth;
  int cycle;
  for (cycle = 1; cycle <= CYCLES; ++cycle) {
    if (!Cycle(cycle)) return 1;
    if (cycle == WARM_UP_CYCLES) before = (long long)HeapBytesInUse();
  }
  growth = ((long long)HeapBytesInUse() - before) / (CYCLES - WARM_UP_CYCLES);
  printf("%d load/free cycles with ports; heaps grew %lld bytes a cycle\n", CYCLES, growth);
  if (growth > MAX_GROWTH_PER_CYCLE) {
    printf("FAILED: more than %d bytes a cycle\n", MAX_GROWTH_PER_CYCLE);
    return 1;
  }
  return 0;
}
