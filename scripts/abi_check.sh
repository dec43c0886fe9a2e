#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Compares the ABI of libzortcp.so.1 with the baseline kept in
# abi/libzortcp.so.1.abi (abidw and abidiff from Debian's abigail-tools).
#
#   scripts/abi_check.sh            build, compare; fails on any change
#   scripts/abi_check.sh --update   build and write a new baseline
#
# The library is built with debug information (build/abi) and only the
# types of the public headers are kept. Any change to the exported
# functions or the types they take fails the check: a compatible change (a
# new function, in a minor release) is made by updating the baseline in the
# same commit; an incompatible one needs a new major version and SONAME.
set -euo pipefail
cd "$(dirname "$0")/.."

baseline=abi/libzortcp.so.1.abi
build=build/abi
update=0
case "${1:-}" in
  "") ;;
  --update) update=1 ;;
  *) echo "usage: $0 [--update]" >&2; exit 2 ;;
esac

for tool in abidw abidiff; do
  command -v "$tool" >/dev/null || { echo "abi check: $tool missing (Debian: abigail-tools)" >&2; exit 1; }
done

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DZORTCP_BUILD_TESTS=OFF \
  -DZORTCP_BUILD_BENCH=OFF -DZORTCP_BUILD_TOOLS=OFF -DZORTCP_BUILD_MANPAGES=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target zortcp >/dev/null

library=$(readlink -f "$build/libzortcp.so.1")
current=$(mktemp "${TMPDIR:-/tmp}/zortcp-abi.XXXXXX")
trap 'rm -f "$current"' EXIT
abidw --headers-dir include --headers-dir "$build/include" --drop-private-types \
  --exported-interfaces-only --no-corpus-path --no-comp-dir-path --short-locs \
  --out-file "$current" "$library"

if [ "$update" = 1 ]; then
  cp "$current" "$baseline"
  echo "abi check: baseline $baseline written"
  exit 0
fi

status=0
abidiff --headers-dir2 include --headers-dir2 "$build/include" \
  --drop-private-types "$baseline" "$current" || status=$?
# abidiff's status is a bit set: 1 error, 2 usage, 4 a change, 8 an
# incompatible change. Any of them fails the check.
if [ "$status" -ne 0 ]; then
  echo "abi check: FAILED (abidiff status $status): the ABI differs from $baseline" >&2
  exit 1
fi
echo "abi check: the ABI of libzortcp.so.1 matches $baseline"
