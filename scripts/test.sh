#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets up, builds and runs the whole test suite three times: a normal build,
# an AddressSanitizer + UndefinedBehaviorSanitizer build and a
# ThreadSanitizer build. Any failure or sanitizer report fails the run.
# ZORTCP_BUILDS="normal" (or "address thread", ...) runs fewer builds; the
# Windows builds (windows-x86, windows-x64: mingw-w64, tests under Wine,
# scripts/windows_test.sh) run after the Linux ones and are named the same way.
# Each build's run includes the stress and soak tests (tests/stress), whose
# figures are shown; then the fuzz targets run for ZORTCP_FUZZ_SECONDS each
# (20 by default, 0 skips them), the Python package is tested after the normal
# build. The time of each step is shown at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
builds=${ZORTCP_BUILDS:-"normal address thread windows-x86 windows-x64"}
if [[ " $builds " == *" windows-"* ]]; then export ZORTCP_SETUP_WINDOWS=1; fi
bash scripts/setup.sh

# CI runs as root: there the dead-peer tests must run in their network
# namespaces, never skip.
if [ "${CI:-}" = true ]; then export ZORTCP_REQUIRE_NETWORK_NAMESPACE=1; fi

echo "=== source checks"
bash scripts/spdx.sh --check
bash scripts/check_layers.sh
bash scripts/check_format.sh

jobs=$(nproc)

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

timings=()
started=$SECONDS
timed() {
  timings+=("$(printf '%-28s %4d s' "$1" $((SECONDS - started)))")
  started=$SECONDS
}

windows_builds=()
for kind in $builds; do
  if [[ $kind == windows-* ]]; then
    windows_builds+=("$kind")
    continue
  fi
  echo "=== $kind build"
  build=build/test-$kind
  sanitize=""
  [ "$kind" != normal ] && sanitize=$kind
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZORTCP_WERROR=ON \
    -DZORTCP_SANITIZE="$sanitize" -DZORTCP_BUILD_BENCH=$([ "$kind" = normal ] && echo ON || echo OFF) >/dev/null
  cmake --build "$build" -j "$jobs"
  ctest --test-dir "$build" --output-on-failure -j "$jobs" --timeout 180
  grep -h -E '^(stress|soak) figures:' "$build/Testing/Temporary/LastTest.log" || true
  timed "$kind build and tests"
done

# The Windows builds: both DLLs, their tests under Wine, the zip packages.
if [ ${#windows_builds[@]} -gt 0 ]; then
  bash scripts/windows_test.sh "${windows_builds[@]}"
  timed "windows builds and tests"
fi

fuzz_seconds=${ZORTCP_FUZZ_SECONDS:-20}
if [ "$fuzz_seconds" != 0 ]; then
  echo "=== fuzz"
  ZORTCP_FUZZ_SECONDS=$fuzz_seconds bash scripts/fuzz.sh
  timed "fuzz"
fi

# The Python package, installed into a fresh virtual environment and tested
# against the normal build's library.
if [[ " $builds " == *" normal "* ]]; then
  echo "=== python package"
  ZORTCP_LIB=$PWD/build/test-normal/libzortcp.so.1 ZORCAT=$PWD/build/test-normal/tools/zorcat \
    bash bindings/python/test.sh
  timed "python package"
fi

# The .NET package (with the Windows DLLs when they were built), tested on
# Mono against the normal build's library.
if [[ " $builds " == *" normal "* ]]; then
  echo "=== dotnet package"
  ZORTCP_REQUIRE_WINDOWS=$([ ${#windows_builds[@]} = 2 ] && echo 1 || echo 0) \
    ZORTCP_LIB=$PWD/build/test-normal/libzortcp.so.1 bash bindings/dotnet/test.sh
  timed "dotnet package"
fi

# The installed package: both ways of building against it, the C example
# against a peer on 127.0.0.1, and the Debian package.
if [[ " $builds " == *" normal "* ]]; then
  echo "=== install check"
  bash scripts/install_check.sh
  timed "install check"
fi

echo "=== timings"
printf '%s\n' "${timings[@]}"
