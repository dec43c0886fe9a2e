/* SPDX-License-Identifier: MIT */
/*
 * A host that leaves main with busy ports and closes them in its own exit
 * handler, on Linux and on Windows:
 *
 *   exit_close [PAIRS]
 *
 * The library hears of the process's exit only in its own unload, which
 * comes after the exit handlers that the host registered after loading it
 * (on Windows, after all of them). Until then its monitors go on and the
 * event handler is called, even while the host's statics are destroyed.
 * A host whose handler must not run during the exit closes its ports in its
 * own exit handler: ZorClosePort returns once the port's monitors have
 * stopped, and no handler call follows it.
 *
 * PAIRS (4 by default, at most 8) pairs of a server port and a client port
 * of this process echo bytes back and forth from their handlers, so every
 * port is busy when main returns. The exit handler closes them all, prints
 * how long that took, and fails (exit status 1) if a handler call came
 * after the closes.
 */
#ifndef _WIN32
#define _POSIX_C_SOURCE 200809L
#endif

#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zortcp.h>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
static double NowMs(void) { return (double)GetTickCount64(); }
static void SleepMs(unsigned ms) { Sleep(ms); }
#else
#include <time.h>
static double NowMs(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)now.tv_sec * 1000.0 + (double)now.tv_nsec / 1e6;
}
static void SleepMs(unsigned ms) {
  struct timespec pause = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
  nanosleep(&pause, NULL);
}
#endif

enum { kMaxPairs = 8, kWaitMs = 10000 };

static int32_t ports[2 * kMaxPairs];
static int portCount = 0;
static atomic_int connected = 0;
static atomic_long handlerCalls = 0;

/* Echoes what arrived; userData is the port's index in ports. */
static int32_t ZOR_CALL OnEvent(int32_t source, int32_t kind, void* data, uint32_t userData) {
  (void)source;
  (void)data;
  atomic_fetch_add(&handlerCalls, 1);
  if (kind == ZOR_EVENT_CONNECTED) atomic_fetch_add(&connected, 1);
  if (kind == ZOR_EVENT_RECEIVED) {
    char bytes[256];
    int32_t count = 0;
    if (ZorReadPort(ports[userData], bytes, (int32_t)sizeof bytes, &count) == 0 && count > 0) {
      ZorWritePort(ports[userData], bytes, count);
    }
  }
  return 0;
}

static void SetService(const char* service) {
  ZorChangeDefault(ZOR_DEFAULT_SERVICE, service, (uint32_t)strlen(service) + 1);
}

static int OpenPair(void) {
  int32_t server = -1, client = -1, length = 0;
  uint32_t port = 0;
  char service[16];
  SetService("0");
  ZorSetEventHandler(OnEvent, (uint32_t)portCount);
  if (ZorOpenPort("127.0.0.1", 0, ZOR_OPEN_SERVER, NULL, &server) != 0) return 0;
  ports[portCount++] = server;
  ZorGetConfig(server, ZOR_CONFIG_SERVICE_PORT, &port, &length);
  sprintf(service, "%u", (unsigned)port);
  SetService(service);
  ZorSetEventHandler(OnEvent, (uint32_t)portCount);
  if (ZorOpenPort("127.0.0.1", 0, 0, NULL, &client) != 0) return 0;
  ports[portCount++] = client;
  return 1;
}

/* The host's own exit handler: close every port, then see that no handler
 * call follows. */
static void CloseAtExit(void) {
  double begun = NowMs(), took;
  long afterClose;
  int i;
  for (i = 0; i < portCount; ++i) ZorClosePort(ports[i]);
  took = NowMs() - begun;
  afterClose = atomic_load(&handlerCalls);
  SleepMs(200);
  printf("closed %d busy ports in %.0f ms (%.1f ms a port); handler calls after: %ld\n", portCount,
         took, took / portCount, atomic_load(&handlerCalls) - afterClose);
  fflush(stdout);
  if (atomic_load(&handlerCalls) != afterClose) _Exit(1);
}

int main(int argc, char** argv) {
  int pairs = argc > 1 ? atoi(argv[1]) : 4;
  double deadline;
  int i;
  if (pairs < 1 || pairs > kMaxPairs) {
    fprintf(stderr, "usage: exit_close [PAIRS], PAIRS from 1 to %d\n", kMaxPairs);
    return 2;
  }
  for (i = 0; i < pairs; ++i) {
    if (!OpenPair()) {
      fprintf(stderr, "exit_close: a port did not open\n");
      return 1;
    }
  }
  deadline = NowMs() + kWaitMs;
  while (atomic_load(&connected) < 2 * pairs && NowMs() < deadline) SleepMs(10);
  if (atomic_load(&connected) < 2 * pairs) {
    fprintf(stderr, "exit_close: the ports did not connect\n");
    return 1;
  }
  for (i = 1; i < portCount; i += 2) ZorWritePort(ports[i], "ping", 4);
  while (atomic_load(&handlerCalls) < 1000L * pairs && NowMs() < deadline) SleepMs(10);
  printf("%d pairs busy: %ld handler calls so far\n", pairs, atomic_load(&handlerCalls));
  atexit(CloseAtExit);
  return 0;
}
