// SPDX-License-Identifier: MIT
// zorcat: a host tool for trying zortcp ports from a terminal. It uses the
// public header and the shared library only, like any other host.
#include "zorcat/command_line.h"
#include "zorcat/demo.h"
#include "zorcat/host_system.h"
#include "zorcat/stream_session.h"

int main(int argc, char** argv) {
  // Before anything opens a file, which would otherwise take the place of a
  // standard stream that zorcat was started without.
  zorcat::OpenMissingStandardStreams();
  int exitStatus = 0;
  const auto invocation = zorcat::ParseCommandLine(argc, argv, exitStatus);
  if (!invocation) return exitStatus;
  if (invocation->command == zorcat::Command::kDemo) return zorcat::RunDemo();
  return zorcat::RunStreamSession(invocation->port);
}
