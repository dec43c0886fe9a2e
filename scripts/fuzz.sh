#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the fuzz targets (fuzz/) with clang and libFuzzer in build/fuzz and
# runs each for a bounded time, starting from the seed corpus in
# fuzz/corpus/<target>. Inputs that reach new code are kept in
# build/fuzz/corpus/<target>, never in the repository. A crash, a sanitizer
# report or a broken invariant fails the script and leaves the input in
# build/fuzz/artifacts/<target>/; make it a regression test under tests/.
#
#   ZORTCP_FUZZ_SECONDS   time per target (30 by default)
#   ZORTCP_FUZZ_TARGETS   the targets to run (all by default)
#   scripts/fuzz.sh <target> <input>...   runs a target on given inputs only
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${ZORTCP_FUZZ_SECONDS:-30}
targets=${ZORTCP_FUZZ_TARGETS:-"config_file data_dump control_calls"}
build=build/fuzz
jobs=$(nproc)

command -v clang++ >/dev/null || { echo "fuzz: clang++ is missing (scripts/setup.sh installs it)" >&2; exit 1; }
cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$jobs"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

if [ $# -gt 0 ]; then
  target=$1
  shift
  exec "$build/${target}_fuzzer" "$@"
fi

for target in $targets; do
  echo "=== fuzz $target for ${seconds}s"
  corpus=$build/corpus/$target
  artifacts=$build/artifacts/$target
  mkdir -p "$corpus" "$artifacts"
  log=$build/$target.log
  # The time-out per input catches a hang; the whole run is bounded too.
  status=0
  timeout --kill-after=10 $((seconds + 60)) \
    "$build/${target}_fuzzer" "$corpus" "fuzz/corpus/$target" \
      -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$artifacts/" -print_final_stats=1 >"$log" 2>&1 || status=$?
  grep -E '^(INFO: Seed|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" | sed 's/^/  /' || true
  if [ "$status" -ne 0 ]; then
    grep -E -A 30 'invariant broken|ERROR|runtime error|SUMMARY' "$log" | head -n 60 >&2 || true
    echo "fuzz: $target failed (status $status); log $log, inputs in $artifacts" >&2
    exit 1
  fi
done
echo "fuzz: passed"
