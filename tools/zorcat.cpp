// SPDX-License-Identifier: MIT
// zorcat: a host tool for trying zortcp ports from a terminal. It uses the
// public header and the shared library only, like any other host.
#include "zorcat/command_line.h"
#include "zorcat/demo.h"
#include "zorcat/stream_session.h"

int main(int argc, char** argv) {
  int exitStatus = 0;
  const auto invocation = zorcat::ParseCommandLine(argc, argv, exitStatus);
  if (!invocation) return exitStatus;
  if (invocation->command == zorcat::Command::kDemo) return zorcat::RunDemo();
  return zorcat::RunStreamSession(invocation->port);
}
