// SPDX-License-Identifier: MIT
// zorcat demo: a server port and a client port of one process talk over
// 127.0.0.1, with nothing else installed or running.
#pragma once

namespace zorcat {

// Runs the demo on standard output and returns zorcat's exit status.
int RunDemo();

}  // namespace zorcat
