/* SPDX-License-Identifier: MIT */
/*
 * A caller compiled against zortcp.h and linked with zortcp.dll's import
 * library: on 32-bit Windows it asks for the __stdcall names
 * (_ZorOpenPort@20, ...), which the import library must map to the DLL's
 * plain exports. Runs every call but the open, which would need the
 * network.
 */
#include <stdio.h>
#include <string.h>

#include "zortcp.h"

static int32_t ZOR_CALL Ignore(int32_t source, int32_t kind, void* data, uint32_t userData) {
  (void)source, (void)kind, (void)data, (void)userData;
  return 0;
}

int main(void) {
  int32_t code = -1, location = -1, value = 0, length = 0, handle = -1, count = 0;
  char text[288], buffer[4];
  ZorPortStatistics statistics;
  int failures = 0;
  ZorChangeBufferSizes(0xFFFFFFFFu, 0xFFFFFFFFu);
  ZorChangeDefault(0, NULL, 0);
  failures += ZorSetEventHandler(Ignore, 0) != 0;
  failures += ZorSetEventHandler(NULL, 0) != 0;
  failures += ZorClosePort(32) != -1;
  failures += ZorWritePort(0, "x", 1) != -2;
  failures += ZorReadPort(0, buffer, 4, &count) != -2;
  failures += ZorAnyToRead(0) != -2;
  failures += ZorChangeSignal(0, 1, 1) != -2;
  failures += ZorGetSignal(0, 1, &value) != -2;
  failures += ZorGetConfig(0, 1, buffer, &length) != -2;
  failures += ZorGetStatistics(0, &statistics) != -2;
  /* Linked, not run: an open would need the network. */
  printf("ZorOpenPort at %p\n", (void*)ZorOpenPort);
  (void)handle;
  ZorGetLastError(&code, &location, text);
  printf("import library: every call linked; last error %d at %d: %s\n", code, location, text);
  return failures == 0 ? 0 : 1;
}
