/* SPDX-License-Identifier: MIT */
/*
 * A host as a Visual Studio project builds it: compiled for the Microsoft
 * ABI (clang --target=i686-pc-windows-msvc or x86_64-pc-windows-msvc) and
 * linked by lld-link with its defaults (SafeSEH on for x86) against the
 * zip's lib/zortcp.lib. There is no Microsoft C library here, so the host
 * uses none: its entry point is mainCRTStartup and it imports five
 * KERNEL32 functions (declared below, import library from kernel32.def).
 *
 * It opens a server port and a client port to it on 127.0.0.1, waits for
 * both connect events, sends 6000 bytes each way (more than one 4096-byte
 * chunk), checks them and the statistics, reads a failure back through
 * ZorGetLastError and closes both ports. Exit status 0 when all held.
 */
#include "zortcp.h"

#define WINAPI __stdcall
__declspec(dllimport) void* WINAPI GetStdHandle(unsigned long which);
__declspec(dllimport) int WINAPI WriteFile(void* file, const void* data, unsigned long size,
                                           unsigned long* written, void* overlapped);
__declspec(dllimport) void WINAPI Sleep(unsigned long ms);
__declspec(dllimport) unsigned long WINAPI GetTickCount(void);
__declspec(dllimport) __declspec(noreturn) void WINAPI ExitProcess(unsigned int code);

#define STD_OUTPUT_HANDLE ((unsigned long)-11)
#define MESSAGE_BYTES     6000
#define WAIT_MS           20000

static int failures;
static volatile long connected[2];

static void Print(const char* text) {
  unsigned long length = 0, written = 0;
  while (text[length] != 0) ++length;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, length, &written, 0);
}

static void PrintNumber(long value) {
  char digits[16];
  int at = 15;
  unsigned long rest = value < 0 ? (unsigned long)-value : (unsigned long)value;
  digits[at] = 0;
  do {
    digits[--at] = (char)('0' + rest % 10);
    rest /= 10;
  } while (rest != 0);
  if (value < 0) digits[--at] = '-';
  Print(digits + at);
}

static void Check(int holds, const char* what) {
  Print(holds ? "ok: " : "FAILED: ");
  Print(what);
  Print("\n");
  if (!holds) ++failures;
}

static int32_t ZOR_CALL OnEvent(int32_t source, int32_t kind, void* data, uint32_t userData) {
  (void)source, (void)data;
  if (kind == ZOR_EVENT_CONNECTED) __atomic_fetch_add(&connected[userData], 1, __ATOMIC_SEQ_CST);
  return 0;
}

static void SetService(const char* service) {
  uint32_t length = 0;
  while (service[length] != 0) ++length;
  ZorChangeDefault(ZOR_DEFAULT_SERVICE, service, length + 1);
}

static int WaitConnected(int side) {
  unsigned long started = GetTickCount();
  while (__atomic_load_n(&connected[side], __ATOMIC_SEQ_CST) == 0) {
    if (GetTickCount() - started > WAIT_MS) return 0;
    Sleep(1);
  }
  return 1;
}

static unsigned char Pattern(int32_t offset, int32_t salt) {
  return (unsigned char)(offset * 13 + salt);
}

/* Sends MESSAGE_BYTES from one port and checks them as the other reads. */
static int Send(int32_t from, int32_t to, int32_t salt) {
  static unsigned char out[MESSAGE_BYTES], in[1024];
  int32_t i, received = 0;
  unsigned long started = GetTickCount();
  for (i = 0; i < MESSAGE_BYTES; ++i) out[i] = Pattern(i, salt);
  if (ZorWritePort(from, out, MESSAGE_BYTES) != 0) return 0;
  while (received < MESSAGE_BYTES) {
    int32_t count = 0;
    if (GetTickCount() - started > WAIT_MS) return 0;
    if (ZorReadPort(to, in, (int32_t)sizeof in, &count) != 0) return 0;
    for (i = 0; i < count; ++i) {
      if (in[i] != Pattern(received + i, salt)) return 0;
    }
    received += count;
    if (count == 0) Sleep(1);
  }
  return 1;
}

static int Run(void) {
  int32_t server = -1, client = -1, length = 0, code = 0, location = 0;
  uint32_t port = 0;
  char service[12], text[288];
  ZorPortStatistics statistics;
  int at = 11;

  Print("zortcp " ZORTCP_VERSION_STRING ", MSVC-ABI host\n");
  SetService("0");
  ZorSetEventHandler(OnEvent, 0);
  Check(ZorOpenPort("", 0, ZOR_OPEN_SERVER, 0, &server) == 0, "server port opens");
  Check(ZorGetConfig(server, ZOR_CONFIG_SERVICE_PORT, &port, &length) == 0 && port != 0,
        "server's service port read back");
  service[at] = 0;
  do {
    service[--at] = (char)('0' + port % 10);
    port /= 10;
  } while (port != 0);
  SetService(service + at);
  ZorSetEventHandler(OnEvent, 1);
  Check(ZorOpenPort("127.0.0.1", 0, 0, 0, &client) == 0, "client port opens to 127.0.0.1");
  if (failures != 0) return 1;
  Check(WaitConnected(0) && WaitConnected(1), "both ports report their connection");
  Check(Send(client, server, 1), "client to server: 6000 bytes intact");
  Check(Send(server, client, 7), "server to client: 6000 bytes intact");
  Check(ZorAnyToRead(client) == 0, "nothing more to read");
  Check(ZorGetStatistics(client, &statistics) == 0 && statistics.rxBytes == MESSAGE_BYTES,
        "client's statistics count 6000 bytes received");
  Check(ZorClosePort(client) == 0 && ZorClosePort(server) == 0, "both ports close");
  Check(ZorWritePort(client, "x", 1) == -2, "a closed port refuses a write");
  ZorGetLastError(&code, &location, text);
  Print("last error ");
  PrintNumber(code);
  Print(" at ");
  PrintNumber(location);
  Print(": ");
  Print(text);
  Print("\n");
  Check(location > 0 && text[0] != 0, "last error read back");
  return failures == 0 ? 0 : 1;
}

void mainCRTStartup(void) { ExitProcess((unsigned int)Run()); }
