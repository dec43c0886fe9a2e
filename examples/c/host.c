/* SPDX-License-Identifier: MIT */
/*
 * A minimal zortcp host in C.
 *
 *   host HOST SERVICE [MESSAGE]
 *
 * Opens a client port to HOST (a name or a dotted IPv4 address) and SERVICE
 * (a port number or a service name), waits for the connection, writes
 * MESSAGE, waits a bounded time for as many bytes to come back, prints them
 * and the library's last error, and closes the port. Against an echo peer
 * it prints the message it sent; the exit status is 0 when the whole reply
 * came back, 1 otherwise.
 */
#define _POSIX_C_SOURCE 200809L

#include <stdatomic.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <zortcp.h>

enum {
  kConnectWaitMs = 5000, /* for the connection */
  kReplyWaitMs = 5000,   /* for the whole reply */
  kPollMs = 10
};

/* Written by the handler on the library's threads, read by main. */
static atomic_int connected;
static atomic_int failures;

/* Runs on the port's monitor threads, never inside a Zor* call of ours.
 * The data is valid only during the call, so the connect text is printed
 * here rather than kept. */
static int32_t OnEvent(int32_t source, int32_t kind, void* data, uint32_t userData) {
  (void)source;
  (void)userData;
  switch (kind) {
    case ZOR_EVENT_CONNECTED:
      printf("connected: %s\n", (const char*)data);
      atomic_store(&connected, 1);
      break;
    case ZOR_EVENT_DISCONNECTED:
      printf("disconnected: reason %d\n", *(const int32_t*)data);
      atomic_store(&connected, 0);
      break;
    case ZOR_EVENT_ERROR:
      if (*(const int32_t*)data == ZOR_ERROR_RETRY_LIMIT) atomic_store(&failures, 1);
      break;
    default:
      break; /* kinds 3 and 4: main polls ZorAnyToRead instead */
  }
  fflush(stdout);
  return 0;
}

static void SleepMs(long ms) {
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&pause, NULL);
}

static void PrintLastError(void) {
  int32_t code = 0;
  int32_t location = 0;
  char text[288]; /* the record's text needs 288 bytes */
  ZorGetLastError(&code, &location, text);
  printf("last error: location %d, error %d: %s\n", location, code, text);
}

int main(int argc, char** argv) {
  const char* host;
  const char* service;
  const char* message;
  int32_t size;
  int32_t retries = 3;
  int32_t handle = 0;
  int32_t count = 0;
  char reply[4096];
  int waited;

  if (argc < 3 || argc > 4 || strlen(argv[2]) > 35) {
    fprintf(stderr, "usage: %s HOST SERVICE [MESSAGE]\n", argv[0]);
    return 2;
  }
  host = argv[1];
  service = argv[2];
  message = argc == 4 ? argv[3] : "hello from zortcp";
  size = (int32_t)strlen(message);
  if (size > (int32_t)sizeof reply) {
    fprintf(stderr, "message longer than %u bytes\n", (unsigned)sizeof reply);
    return 2;
  }

  /* Defaults apply to the ports opened after them: the service (its text
   * with the terminator), and a client that gives up after 3 refusals. */
  ZorChangeDefault(ZOR_DEFAULT_SERVICE, service, (uint32_t)strlen(service) + 1);
  ZorChangeDefault(ZOR_DEFAULT_RETRY_COUNT, &retries, sizeof retries);
  /* The handler is bound to the next port that opens. */
  ZorSetEventHandler(OnEvent, 1);

  if (ZorOpenPort(host, 0, 0, NULL, &handle) != 0) {
    printf("open failed\n");
    PrintLastError();
    return 1;
  }

  for (waited = 0; !atomic_load(&connected) && !atomic_load(&failures) && waited < kConnectWaitMs;
       waited += kPollMs)
    SleepMs(kPollMs);

  if (atomic_load(&connected)) {
    ZorWritePort(handle, message, size); /* queued; the monitor sends it */
    printf("sent %d bytes\n", size);
    for (waited = 0; ZorAnyToRead(handle) < size && waited < kReplyWaitMs; waited += kPollMs)
      SleepMs(kPollMs);
    ZorReadPort(handle, reply, (int32_t)sizeof reply, &count);
    printf("received %d bytes: %.*s\n", count, (int)count, reply);
  } else {
    printf("not connected\n");
  }

  PrintLastError();
  ZorClosePort(handle);
  return count == size ? 0 : 1;
}
