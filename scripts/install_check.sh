#!/usr/bin/env bash
# Checks zortcp as a host developer gets it:
#   1. a Release build (build/install-check) installed into a temporary
#      prefix: the files and links, the SONAME, the exported symbols;
#   2. both example hosts built against that prefix through find_package
#      (CMAKE_PREFIX_PATH) and through pkg-config (PKG_CONFIG_PATH, run path);
#   3. the example hosts run against a plain-socket echo peer on 127.0.0.1;
#   4. the Debian package made by cpack: its dependencies and contents; it
#      is installed with dpkg -i and zorcat --version is run from it.
#
# Step 4 installs the package into the system when run as root (as CI is,
# on a throw-away machine) and removes it again at the end, so that its
# dependencies are checked by dpkg against the real system and the library
# is found through the dynamic linker's cache like any installed library.
# Run as another user, with ZORTCP_DPKG_INSTALL=0, or where a zortcp package
# is installed already, the package is unpacked with dpkg -x into the
# temporary directory instead and zorcat is run from there.
#
# The whole check is bounded (ZORTCP_INSTALL_CHECK_LIMIT seconds, 900 by
# default) and removes its temporary files whatever happens.
set -euo pipefail

limit=${ZORTCP_INSTALL_CHECK_LIMIT:-900}
if [ -z "${ZORTCP_INSTALL_CHECK_BOUNDED:-}" ]; then
  export ZORTCP_INSTALL_CHECK_BOUNDED=1
  exec timeout --kill-after=15 "$limit" bash "$(readlink -f "$0")" "$@"
fi
cd "$(dirname "$0")/.."

build=build/install-check
jobs=$(nproc)
work=$(mktemp -d "${TMPDIR:-/tmp}/zortcp-install-check.XXXXXX")
prefix=$work/prefix
dpkg_installed=0
echo_pid=""

cleanup() {
  local status=$?
  if [ -n "$echo_pid" ]; then kill "$echo_pid" 2>/dev/null || true; fi
  if [ "$dpkg_installed" = 1 ]; then dpkg --purge zortcp >/dev/null 2>&1 || true; fi
  rm -rf "$work"
  if [ "$status" -ne 0 ]; then echo "install check: FAILED" >&2; fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 124' TERM INT

step() { printf '\n== %s\n' "$*"; }
fail() { echo "install check: $*" >&2; exit 1; }

# --------------------------------------------------------------- tools

need=()
command -v pkg-config >/dev/null || need+=(pkgconf)
command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
command -v python3 >/dev/null || need+=(python3)
command -v readelf >/dev/null || need+=(binutils)
if [ ${#need[@]} -gt 0 ]; then
  step "installing ${need[*]}"
  if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${need[@]}"
fi

# --------------------------------------------------------------- build

step "Release build in $build"
# The install prefix /usr gives the Debian layout (the multiarch library
# directory); the temporary install below overrides the prefix. Tests and
# benchmarks are configured, so that an install rule of theirs would show,
# but not built: only what is installed is built, and neither the install
# nor cpack builds anything more.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
cmake --build "$build" -j "$jobs" --target zortcp zorcat

# ------------------------------------------------- install into a prefix

step "install into $prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(cd "$prefix" && dirname "$(find . -name 'libzortcp.so.1.0.0' | head -n 1)")
[ "$libdir" != "." ] || fail "libzortcp.so.1.0.0 not installed"
libdir=${libdir#./}
echo "library directory: $libdir"

# Exactly these files, nothing of the internal library, tests or benchmarks.
expected=$(cat <<EOF
bin/zorcat
include/zortcp.h
$libdir/cmake/zortcp/zortcpConfig.cmake
$libdir/cmake/zortcp/zortcpConfigVersion.cmake
$libdir/cmake/zortcp/zortcpTargets-release.cmake
$libdir/cmake/zortcp/zortcpTargets.cmake
$libdir/libzortcp.so
$libdir/libzortcp.so.1
$libdir/libzortcp.so.1.0.0
$libdir/pkgconfig/zortcp.pc
EOF
)
installed=$(cd "$prefix" && find . \( -type f -o -type l \) ! -path './share/doc/*' \
  | sed 's|^\./||' | LC_ALL=C sort)
if [ "$installed" != "$(LC_ALL=C sort <<<"$expected")" ]; then
  diff <(LC_ALL=C sort <<<"$expected") <(echo "$installed") || true
  fail "installed files differ from the expected list (< expected, > installed)"
fi
for doc in README.md configuration.md debug-log.md errors.md events.md linux-notes.md \
           examples/c/host.c examples/cpp/host.cpp; do
  [ -f "$prefix/share/doc/zortcp/$doc" ] || fail "share/doc/zortcp/$doc not installed"
done
[ "$(readlink "$prefix/$libdir/libzortcp.so")" = libzortcp.so.1 ] \
  || fail "libzortcp.so does not point at libzortcp.so.1"
[ "$(readlink "$prefix/$libdir/libzortcp.so.1")" = libzortcp.so.1.0.0 ] \
  || fail "libzortcp.so.1 does not point at libzortcp.so.1.0.0"
readelf -d "$prefix/$libdir/libzortcp.so.1.0.0" | grep -q 'Library soname: \[libzortcp.so.1\]' \
  || fail "SONAME is not libzortcp.so.1"
exported=$(nm -D --defined-only "$prefix/$libdir/libzortcp.so.1.0.0" | awk '{print $3}' | LC_ALL=C sort)
others=$(grep -v '^Zor' <<<"$exported" || true)
[ -z "$others" ] || fail "symbols other than Zor* exported: $(echo $others)"
echo "exported: $(echo $exported)"
"$prefix/bin/zorcat" --version || fail "the installed zorcat does not run"

# ----------------------------------------------------- build the examples

step "examples through find_package"
cp -r examples "$work/examples"
for lang in c cpp; do
  # The examples build without a warning.
  cmake -S "$work/examples/$lang" -B "$work/cmake-$lang" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_BUILD_TYPE=Release "-DCMAKE_$(tr a-z A-Z <<<"${lang/cpp/cxx}")_FLAGS=-Werror" >/dev/null
  cmake --build "$work/cmake-$lang" >/dev/null
  echo "built $lang example: $work/cmake-$lang/host"
done

step "examples through pkg-config"
export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
[ "$(pkg-config --modversion zortcp)" = 1.0.0 ] || fail "pkg-config: wrong version"
pc_libdir=$(pkg-config --variable=libdir zortcp)
[ "$pc_libdir" = "$prefix/$libdir" ] || fail "pkg-config: libdir $pc_libdir, not $prefix/$libdir"
echo "cflags: $(pkg-config --cflags zortcp)  libs: $(pkg-config --libs zortcp)"
for lang in c cpp; do
  make -s -C "$work/examples/$lang" LDFLAGS="-Wl,-rpath,$pc_libdir" >/dev/null
  echo "built $lang example: $work/examples/$lang/host"
done
unset PKG_CONFIG_PATH

# ----------------------------------------------- run against an echo peer

step "examples against an echo peer on 127.0.0.1"
# A plain-socket echo peer on a port chosen by the system. It serves one
# connection after the other and ends on its own when no connection comes
# for 30 s.
coproc ECHO_PEER {
  exec python3 -u -c '
import socket
listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(4)
listener.settimeout(30)
print(listener.getsockname()[1], flush=True)
while True:
    try:
        peer, _ = listener.accept()
    except socket.timeout:
        break
    with peer:
        peer.settimeout(30)
        while True:
            data = peer.recv(65536)
            if not data:
                break
            peer.sendall(data)
'
}
echo_pid=$ECHO_PEER_PID
read -r -t 10 -u "${ECHO_PEER[0]}" echo_port || fail "the echo peer did not start"
echo "echo peer on 127.0.0.1:$echo_port"

message="zortcp install check $$"
run_example() {
  local program=$1 output
  output=$(timeout 30 "$program" 127.0.0.1 "$echo_port" "$message") \
    || { echo "$output"; fail "$program failed"; }
  echo "$output" | sed 's/^/    /'
  grep -q "^connected: .*, Port: $echo_port\$" <<<"$output" || fail "$program: no connect event"
  grep -qx "received ${#message} bytes: $message" <<<"$output" || fail "$program: no echo"
  grep -q '^last error: location' <<<"$output" || fail "$program: no last error"
}
for program in "$work/cmake-c/host" "$work/examples/c/host" \
               "$work/cmake-cpp/host" "$work/examples/cpp/host"; do
  echo "$program:"
  run_example "$program"
done
kill "$echo_pid" 2>/dev/null || true
wait "$echo_pid" 2>/dev/null || true
echo_pid=""

# --------------------------------------------------------- Debian package

step "Debian package"
(cd "$build" && cpack -G DEB -B "$work/package" >/dev/null)
deb=$(ls "$work"/package/zortcp_*.deb)
echo "$(basename "$deb"):"
dpkg-deb --field "$deb" Package Version Architecture Maintainer Depends | sed 's/^/    /'
depends=$(dpkg-deb --field "$deb" Depends)
for library in libc6 libstdc++6 libgcc-s1; do
  grep -q "$library" <<<"$depends" || fail "the package does not depend on $library"
done
contents=$(dpkg-deb --contents "$deb" | awk '{print $6}')
grep -q "/libzortcp.so.1.0.0\$" <<<"$contents" || fail "the package lacks the library"
grep -q '/usr/bin/zorcat$' <<<"$contents" || fail "the package lacks zorcat"
if grep -Eq 'internal|_tests?$|\.a$' <<<"$contents"; then
  fail "the package holds internal files: $(grep -E 'internal|_tests?$|\.a$' <<<"$contents")"
fi

# A zortcp package that was installed before the check is left alone.
if [ "${ZORTCP_DPKG_INSTALL:-1}" != 0 ] && [ "$(id -u)" -eq 0 ] \
   && ! dpkg-query -W zortcp >/dev/null 2>&1; then
  echo "dpkg -i (removed again at the end)"
  dpkg_installed=1
  dpkg -i "$deb" >/dev/null
  /usr/bin/zorcat --version || fail "zorcat from the package does not run"
  dpkg --purge zortcp >/dev/null
  dpkg_installed=0
else
  echo "dpkg -x into $work/root"
  dpkg -x "$deb" "$work/root"
  multiarch=$(dirname "$(cd "$work/root" && find . -name libzortcp.so.1 | head -n 1)")
  LD_LIBRARY_PATH="$work/root/${multiarch#./}" "$work/root/usr/bin/zorcat" --version \
    || fail "zorcat from the package does not run"
fi

echo
echo "install check: passed"
