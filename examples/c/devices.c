/* SPDX-License-Identifier: MIT */
/*
 * A zortcp host in C that talks to several devices at once, in the shape
 * most hosts take:
 *
 *   devices SECONDS HOST:SERVICE [HOST:SERVICE ...]
 *
 * One client port per device (at most 8). The event handler, which runs on
 * the library's threads, only copies each event into a queue; the main
 * thread takes the events from the queue, reads the bytes that arrived and
 * sends each connected device a request once a second. A device that goes
 * away is reconnected by its port, and the events show it. After SECONDS,
 * or at Ctrl-C or SIGTERM, every port is closed and its counters printed.
 * The exit status is 0 when every device answered at least once.
 */
#define _POSIX_C_SOURCE 200809L

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <zortcp.h>

enum {
  kMaxDevices = 8,
  kQueueSize = 256,
  kTextSize = 136 /* the peer's name and its port, with room to spare */
};

typedef struct Event {
  uint32_t device;
  int32_t kind;
  int32_t value;        /* kinds 2 to 5 */
  char text[kTextSize]; /* kind 1 */
} Event;

/* Events from the library's threads to the main thread. When the queue is
 * full the oldest event is dropped and counted, so a slow main thread never
 * holds up a port's monitor. */
static struct {
  pthread_mutex_t lock;
  pthread_cond_t ready;
  Event events[kQueueSize];
  unsigned head, count, dropped;
} queue = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, {{0}}, 0, 0, 0};

typedef struct Device {
  const char* address;
  char host[130];
  char service[36];
  int32_t handle;
  int open;
  int connected;
  unsigned connects;
  unsigned answers;
} Device;

static Device devices[kMaxDevices];
static volatile sig_atomic_t stopRequested;

static void OnStopSignal(int number) {
  (void)number;
  stopRequested = 1;
}

/* Runs on the port's monitor threads: copy and hand over, nothing more. */
static int32_t OnEvent(int32_t source, int32_t kind, void* data, uint32_t device) {
  Event event;
  (void)source;
  memset(&event, 0, sizeof event);
  event.device = device;
  event.kind = kind;
  if (kind == ZOR_EVENT_CONNECTED)
    snprintf(event.text, sizeof event.text, "%s", (const char*)data);
  else if (data != NULL)
    event.value = *(const int32_t*)data;

  pthread_mutex_lock(&queue.lock);
  if (queue.count == kQueueSize) {
    queue.head = (queue.head + 1) % kQueueSize;
    --queue.count;
    ++queue.dropped;
  }
  queue.events[(queue.head + queue.count) % kQueueSize] = event;
  ++queue.count;
  pthread_cond_signal(&queue.ready);
  pthread_mutex_unlock(&queue.lock);
  return 0;
}

/* Takes the next event, waiting until the deadline at most. */
static int TakeEvent(Event* event, const struct timespec* deadline) {
  int taken = 0;
  pthread_mutex_lock(&queue.lock);
  while (queue.count == 0 && !stopRequested) {
    if (pthread_cond_timedwait(&queue.ready, &queue.lock, deadline) != 0) break;
  }
  if (queue.count > 0) {
    *event = queue.events[queue.head];
    queue.head = (queue.head + 1) % kQueueSize;
    --queue.count;
    taken = 1;
  }
  pthread_mutex_unlock(&queue.lock);
  return taken;
}

static void PrintLastError(const char* what) {
  int32_t code = 0;
  int32_t location = 0;
  char text[288];
  ZorGetLastError(&code, &location, text);
  printf("%s: location %d, error %d: %s\n", what, location, code, text);
}

static int OpenDevice(uint32_t index) {
  Device* device = &devices[index];
  const char* colon = strrchr(device->address, ':');
  size_t hostLength;
  int32_t retries = 0; /* a device that is away is tried for ever */

  if (colon == NULL || colon == device->address || colon[1] == '\0' ||
      (size_t)(colon - device->address) >= sizeof device->host ||
      strlen(colon + 1) >= sizeof device->service) {
    fprintf(stderr, "not HOST:SERVICE: %s\n", device->address);
    return 0;
  }
  hostLength = (size_t)(colon - device->address);
  memcpy(device->host, device->address, hostLength);
  device->host[hostLength] = '\0';
  strcpy(device->service, colon + 1);

  /* Defaults and the handler apply to the next open only. */
  ZorChangeDefault(ZOR_DEFAULT_SERVICE, device->service, (uint32_t)strlen(device->service) + 1);
  ZorChangeDefault(ZOR_DEFAULT_RETRY_COUNT, &retries, sizeof retries);
  ZorSetEventHandler(OnEvent, index);
  if (ZorOpenPort(device->host, 0, 0, NULL, &device->handle) != 0) {
    PrintLastError(device->address);
    return 0;
  }
  device->open = 1;
  printf("device %u: %s on port %d\n", index, device->address, device->handle);
  return 1;
}

static void HandleEvent(const Event* event) {
  Device* device = &devices[event->device];
  char bytes[4096];
  int32_t count = 0;

  switch (event->kind) {
    case ZOR_EVENT_CONNECTED:
      device->connected = 1;
      ++device->connects;
      printf("device %u: connected to %s%s\n", event->device, event->text,
             device->connects > 1 ? " (again)" : "");
      break;
    case ZOR_EVENT_DISCONNECTED:
      device->connected = 0;
      printf("device %u: disconnected (reason %d); the port reconnects\n", event->device,
             event->value);
      break;
    case ZOR_EVENT_RECEIVED:
      /* The event's bytes, and maybe later ones, are in the ring. */
      while (ZorReadPort(device->handle, bytes, (int32_t)sizeof bytes, &count) == 0 && count > 0) {
        ++device->answers;
        printf("device %u: received %d bytes\n", event->device, count);
      }
      break;
    case ZOR_EVENT_ERROR:
      if (event->value == ZOR_ERROR_RECORDED)
        PrintLastError("  failure");
      else if (event->value == ZOR_ERROR_CONNECT_FAILED)
        printf("device %u: a connect attempt failed\n", event->device);
      break;
    default:
      break; /* kind 4: a chunk was sent */
  }
}

static void SendRequests(unsigned turn) {
  char request[64];
  uint32_t index;
  for (index = 0; index < kMaxDevices; ++index) {
    if (!devices[index].open || !devices[index].connected) continue;
    snprintf(request, sizeof request, "device %u request %u\r\n", index, turn);
    ZorWritePort(devices[index].handle, request, (int32_t)strlen(request));
  }
}

static void AddMs(struct timespec* when, long ms) {
  when->tv_sec += ms / 1000;
  when->tv_nsec += (ms % 1000) * 1000000L;
  if (when->tv_nsec >= 1000000000L) {
    when->tv_nsec -= 1000000000L;
    ++when->tv_sec;
  }
}

static int Before(const struct timespec* a, const struct timespec* b) {
  return a->tv_sec < b->tv_sec || (a->tv_sec == b->tv_sec && a->tv_nsec < b->tv_nsec);
}

int main(int argc, char** argv) {
  struct sigaction stop;
  struct timespec now, end, nextRequest;
  uint32_t count = 0, index;
  unsigned turn = 0;
  int seconds, allAnswered = 1;
  Event event;
  pthread_condattr_t attributes;

  if (argc < 3 || argc - 2 > kMaxDevices || (seconds = atoi(argv[1])) <= 0) {
    fprintf(stderr, "usage: %s SECONDS HOST:SERVICE [HOST:SERVICE ...] (at most %d)\n", argv[0],
            kMaxDevices);
    return 2;
  }
  /* The queue's waits run on the monotonic clock. */
  pthread_condattr_init(&attributes);
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  pthread_cond_destroy(&queue.ready);
  pthread_cond_init(&queue.ready, &attributes);
  pthread_condattr_destroy(&attributes);

  memset(&stop, 0, sizeof stop);
  stop.sa_handler = OnStopSignal;
  sigaction(SIGINT, &stop, NULL);
  sigaction(SIGTERM, &stop, NULL);

  for (index = 0; index < (uint32_t)(argc - 2); ++index) {
    devices[index].address = argv[index + 2];
    if (!OpenDevice(index)) break;
    ++count;
  }

  clock_gettime(CLOCK_MONOTONIC, &now);
  end = now;
  AddMs(&end, seconds * 1000L);
  nextRequest = now;
  while (count == (uint32_t)(argc - 2) && !stopRequested) {
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (!Before(&now, &end)) break;
    if (!Before(&now, &nextRequest)) {
      SendRequests(++turn);
      AddMs(&nextRequest, 1000);
    }
    if (TakeEvent(&event, Before(&nextRequest, &end) ? &nextRequest : &end)) HandleEvent(&event);
    fflush(stdout);
  }

  /* A clean shutdown: close every port. Events that come while a port
   * closes stay in the queue, which nobody reads any more. */
  printf("shutting down\n");
  for (index = 0; index < kMaxDevices; ++index) {
    ZorPortStatistics statistics;
    if (!devices[index].open) continue;
    ZorGetStatistics(devices[index].handle, &statistics);
    ZorClosePort(devices[index].handle);
    printf(
        "device %u: closed after %u connections, %u answers; sent %u bytes, "
        "received %u bytes\n",
        index, devices[index].connects, devices[index].answers, statistics.txBytes,
        statistics.rxBytes);
    if (devices[index].answers == 0) allAnswered = 0;
  }
  if (queue.dropped > 0) printf("%u events were dropped from the full queue\n", queue.dropped);
  return count == (uint32_t)(argc - 2) && allAnswered ? 0 : 1;
}
