#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets up, builds and runs the zorcat demo: a server port and a client port
# of one process exchanging messages over 127.0.0.1.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

build=build/release
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DZORTCP_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target zorcat
"$build/tools/zorcat" demo
