#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Tests the Python package as a user installs it: a fresh virtual environment
# made with Debian's python3 (system site packages for pytest), the package
# installed with pip from this directory without an index, then the tests
# and the README's instrument example against a zorcat listener.
#
#   ZORTCP_LIB=path/to/libzortcp.so.1 ZORCAT=path/to/zorcat bash bindings/python/test.sh
#
# Without ZORTCP_LIB the library and zorcat are built (normal build) in
# build/python; ZORTCP_USE_INSTALLED=1 tests against the installed
# libzortcp.so.1 and zorcat instead.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
python=/usr/bin/python3

if [ -z "${ZORTCP_LIB:-}" ] && [ -z "${ZORTCP_USE_INSTALLED:-}" ]; then
  build=$root/build/python
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZORTCP_BUILD_TESTS=OFF -DZORTCP_BUILD_BENCH=OFF >/dev/null
  cmake --build "$build" -j 2 --target zortcp zorcat >/dev/null
  export ZORTCP_LIB=$build/libzortcp.so.1
  export ZORCAT=${ZORCAT:-$build/tools/zorcat}
fi
zorcat=${ZORCAT:-$(command -v zorcat || true)}

work=$(mktemp -d)
listener=""
cleanup() {
  [ -n "$listener" ] && kill "$listener" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

"$python" -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install -q --no-build-isolation --no-index "$here"
rm -rf "$here/build" "$here"/src/*.egg-info

# From the temporary directory, so that the installed package is the one tested.
cd "$work"
"$work/venv/bin/python" -m pytest -q -p no:cacheprovider "$here/tests"
# The benchmark, as small as it goes, so that it keeps working (no figures
# are judged here: speed is measured on a quiet machine, not in CI).
"$work/venv/bin/python" "$here/bench/bench.py" --runs 1 --megabytes 1 >/dev/null
echo "python benchmark: runs"

if [ -z "$zorcat" ]; then
  echo "python example: skipped, no zorcat"
  exit 0
fi
# The simulated instrument answers every connection with one reading.
mkfifo "$work/notes"
printf '+21.50\n' | "$zorcat" listen --idle 500 127.0.0.1 0 >"$work/request" 2>"$work/notes" &
listener=$!
exec 3<"$work/notes"
read -r -t 10 line <&3
port=${line##* }
"$work/venv/bin/python" "$here/examples/instrument.py" 127.0.0.1 "$port" | tee "$work/answer"
wait "$listener"
listener=""
grep -q '^instrument says +21.50$' "$work/answer"
grep -q '^MEAS:TEMP?$' "$work/request"
echo "python example: ok"
