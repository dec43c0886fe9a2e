// zorcat: a host tool for trying zortcp ports from a terminal.
#include <cstdio>

#include "zortcp.h"

int main() {
  int32_t code = 0;
  int32_t location = 0;
  char text[288];
  ZorGetLastError(&code, &location, text);
  std::printf("last error: location %d, error %d: %s\n", location, code, text);
  return 0;
}
