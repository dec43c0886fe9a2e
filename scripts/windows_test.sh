#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Windows presets (windows-x86, windows-x64 by default, or the
# ones named as arguments) with the mingw-w64 compilers, runs their tests
# under Wine, makes their zip packages in build/packages and checks each zip
# as a Windows developer takes it (scripts/windows_release_check.sh).
#
# One Wine prefix serves the run: build/wineprefix, the presets' own, made
# on the first start (a fresh clone, as in CI, makes a fresh one). One
# persistent wineserver (wineserver -p) serves every test program and is
# ended (wineserver -k) when the script ends, however it ends.
set -euo pipefail
cd "$(dirname "$0")/.."
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(windows-x86 windows-x64)

export WINEPREFIX=$PWD/build/wineprefix
export WINEDEBUG=-all
# Windows has no network namespaces: the tests that need one skip there.
unset ZORTCP_REQUIRE_NETWORK_NAMESPACE
# The soak test's cycles cost about four times as much under Wine: the
# presets run 300 of them.

timings=()
started=$SECONDS
timed() {
  timings+=("$(printf '%-28s %4d s' "$1" $((SECONDS - started)))")
  started=$SECONDS
}

mkdir -p build
echo "=== wine prefix ($WINEPREFIX)"
# The prefix is made by the first start; the persistent server needs it,
# and starts once the first start's own server has gone.
wine cmd /c exit >/dev/null 2>&1 || wine64 cmd /c exit >/dev/null 2>&1 || true
wineserver -w
wineserver -p
trap 'wineserver -k || true' EXIT
timed "wine prefix"

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
for preset in "${presets[@]}"; do
  echo "=== $preset build"
  cmake --preset "$preset" "${launcher[@]}" >/dev/null
  cmake --build --preset "$preset"
  timed "$preset build"
  echo "=== $preset tests"
  # The first program of an architecture in a fresh prefix starts slowly:
  # start one before ctest lists the tests.
  timeout 300 wine "build/$preset/tests/core_tests.exe" --gtest_list_tests >/dev/null 2>&1 || true
  log=build/$preset/ctest.log
  status=0
  ctest --preset "$preset" 2>&1 | tee "$log" || status=$?
  # Passed, skipped (with their reasons in the log) and failed, as counted.
  summary=$(grep -E 'tests passed' "$log" || true)
  skipped=$(grep -c -E '\*\*\*Skipped|Not Run' "$log" || true)
  echo "$preset: $summary; $skipped skipped"
  timed "$preset tests"
  [ "$status" = 0 ] || exit "$status"
  zip=$(bash scripts/windows_package.sh "build/$preset" build/packages)
  echo "=== $preset release checks ($zip)"
  bash scripts/windows_release_check.sh "$zip"
  timed "$preset zip and its checks"
done

echo "=== windows timings"
printf '%s\n' "${timings[@]}"
