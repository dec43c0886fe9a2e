#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks zortcp as a host developer gets it:
#   1. a Release build (build/install-check) installed into a temporary
#      prefix: the files and links, the SONAME, the exported symbols;
#   2. both example hosts built against that prefix through find_package
#      (CMAKE_PREFIX_PATH) and through pkg-config (PKG_CONFIG_PATH, run path);
#   3. the example hosts run against a plain-socket echo peer on 127.0.0.1;
#   4. the Debian packages made by cpack (libzortcp1, libzortcp-dev, zorcat):
#      their fields and contents, and lintian with no error; they are
#      installed with dpkg -i, zorcat --version and man -w zorcat are run,
#      and the examples are built against the installed libzortcp-dev;
#   5. the ABI against the baseline in abi/ (scripts/abi_check.sh);
#   6. a library-only configure without CLI11 and Google Benchmark, in a
#      tree for /usr/local where cpack refuses with its advice.
#
# Step 4 installs the packages into the system when run as root (as CI is,
# on a throw-away machine) and removes them again at the end, so that their
# dependencies are checked by dpkg against the real system and the library
# is found through the dynamic linker's cache like any installed library.
# Run as another user, with ZORTCP_DPKG_INSTALL=0, or where a zortcp package
# is installed already, the packages are unpacked with dpkg -x into the
# temporary directory instead; zorcat runs and the examples are built
# (through the CMake package) from there.
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
version=$(sed -n 's/^project(zortcp VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
jobs=$(nproc)
work=$(mktemp -d "${TMPDIR:-/tmp}/zortcp-install-check.XXXXXX")
prefix=$work/prefix
dpkg_installed=0
packages=(zorcat libzortcp-dev libzortcp1)
echo_pid=""

cleanup() {
  local status=$?
  if [ -n "$echo_pid" ]; then kill "$echo_pid" 2>/dev/null || true; fi
  if [ "$dpkg_installed" = 1 ]; then dpkg --purge "${packages[@]}" >/dev/null 2>&1 || true; fi
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
command -v pandoc >/dev/null || need+=(pandoc)
command -v lintian >/dev/null || need+=(lintian)
command -v abidiff >/dev/null || need+=(abigail-tools)
command -v man >/dev/null || need+=(man-db)
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
# Debian's build flags (hardening: fortified functions, stack protector,
# RELRO and immediate binding) as a Debian build of the packages has them.
eval "$(dpkg-buildflags --export=sh)"
export CFLAGS="$CFLAGS $CPPFLAGS" CXXFLAGS="$CXXFLAGS $CPPFLAGS"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON -DZORTCP_BUILD_MANPAGES=ON >/dev/null
cmake --build "$build" -j "$jobs" \
  --target zortcp zorcat zortcp_man_pages zortcp_debian_changelog
unset CFLAGS CXXFLAGS CPPFLAGS LDFLAGS FFLAGS FCFLAGS OBJCFLAGS OBJCXXFLAGS

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
include/zortcp_version.h
$libdir/cmake/zortcp/zortcpConfig.cmake
$libdir/cmake/zortcp/zortcpConfigVersion.cmake
$libdir/cmake/zortcp/zortcpTargets-release.cmake
$libdir/cmake/zortcp/zortcpTargets.cmake
$libdir/libzortcp.so
$libdir/libzortcp.so.1
$libdir/libzortcp.so.1.0.0
$libdir/pkgconfig/zortcp.pc
share/man/man1/zorcat.1.gz
share/man/man3/zortcp.3.gz
EOF
)
installed=$(cd "$prefix" && find . \( -type f -o -type l \) ! -path './share/doc/*' \
  | sed 's|^\./||' | LC_ALL=C sort)
if [ "$installed" != "$(LC_ALL=C sort <<<"$expected")" ]; then
  diff <(LC_ALL=C sort <<<"$expected") <(echo "$installed") || true
  fail "installed files differ from the expected list (< expected, > installed)"
fi
for doc in README.md configuration.md debug-log.md errors.md events.md linux-notes.md \
           examples/c/host.c examples/c/devices.c examples/cpp/host.cpp; do
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
# A tree for /usr gives zorcat no run path: the library is found where
# Debian puts it. Here it is in the temporary prefix.
LD_LIBRARY_PATH="$prefix/$libdir" "$prefix/bin/zorcat" --version \
  || fail "the installed zorcat does not run"
grep -q "^#define ZORTCP_VERSION_STRING \"$version\"" "$prefix/include/zortcp_version.h" \
  || fail "zortcp_version.h does not give the project's version $version"

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
[ "$(pkg-config --modversion zortcp)" = "$version" ] || fail "pkg-config: wrong version"
pc_libdir=$(pkg-config --variable=libdir zortcp)
[ "$pc_libdir" = "$prefix/$libdir" ] || fail "pkg-config: libdir $pc_libdir, not $prefix/$libdir"
echo "cflags: $(pkg-config --cflags zortcp)  libs: $(pkg-config --libs zortcp)"
for lang in c cpp; do
  make -s -C "$work/examples/$lang" LDFLAGS="-Wl,-rpath,$pc_libdir" >/dev/null
  echo "built $lang examples in $work/examples/$lang"
done
unset PKG_CONFIG_PATH

# ----------------------------------------------- run against an echo peer

step "examples against an echo peer on 127.0.0.1"
# A plain-socket echo peer on a port chosen by the system. It serves each
# connection on a thread of its own and ends on its own when no connection
# comes for 30 s.
coproc ECHO_PEER {
  exec python3 -u -c '
import socket
listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(4)
listener.settimeout(30)
print(listener.getsockname()[1], flush=True)
import threading
def serve(peer):
    with peer:
        peer.settimeout(30)
        while True:
            data = peer.recv(65536)
            if not data:
                break
            peer.sendall(data)
while True:
    try:
        peer, _ = listener.accept()
    except socket.timeout:
        break
    threading.Thread(target=serve, args=(peer,), daemon=True).start()
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

# The host of several devices: two ports to the same peer, for 3 s.
run_devices() {
  local program=$1 output
  output=$(timeout 30 "$program" 3 "127.0.0.1:$echo_port" "localhost:$echo_port") \
    || { echo "$output"; fail "$program failed"; }
  echo "$output" | sed 's/^/    /'
  for device in 0 1; do
    grep -q "^device $device: connected to " <<<"$output" || fail "$program: device $device not connected"
    grep -q "^device $device: closed after 1 connections, [1-9]" <<<"$output" \
      || fail "$program: device $device had no answer"
  done
}
for program in "$work/cmake-c/devices" "$work/examples/c/devices"; do
  echo "$program:"
  run_devices "$program"
done
kill "$echo_pid" 2>/dev/null || true
wait "$echo_pid" 2>/dev/null || true
echo_pid=""

# -------------------------------------------------------- Debian packages

step "Debian packages"
(cd "$build" && cpack -G DEB -B "$work/package" >/dev/null)
listing() { dpkg-deb --contents "$1" | awk '{print $6}'; }
debs=()
for package in "${packages[@]}"; do
  deb=$(ls "$work"/package/"${package}"_*.deb 2>/dev/null) || fail "no package $package"
  debs+=("$deb")
  echo "$(basename "$deb"):"
  dpkg-deb --field "$deb" Package Version Architecture Section Maintainer Depends \
    | sed 's/^/    /'
  contents=$(listing "$deb")
  for file in copyright changelog.Debian.gz; do
    grep -q "^\./usr/share/doc/$package/$file\$" <<<"$contents" || fail "$package lacks $file"
  done
  if grep -Eq 'internal|_tests?$|\.a$' <<<"$contents"; then
    fail "$package holds internal files: $(grep -E 'internal|_tests?$|\.a$' <<<"$contents")"
  fi
done
lib_deb=${debs[2]} dev_deb=${debs[1]} tool_deb=${debs[0]}
lib_files=$(listing "$lib_deb")
grep -q "^\./usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/libzortcp\.so\.$version\$" \
  <<<"$lib_files" || fail "libzortcp1 lacks the library in the multiarch directory"
grep -q '/libzortcp\.so$' <<<"$lib_files" && fail "libzortcp1 holds the development link"
grep -q '/libzortcp\.so$' <<<"$(listing "$dev_deb")" || fail "libzortcp-dev lacks libzortcp.so"
grep -q '/usr/bin/zorcat$' <<<"$(listing "$tool_deb")" || fail "zorcat lacks the tool"
grep -q '/man1/zorcat\.1\.gz$' <<<"$(listing "$tool_deb")" || fail "zorcat lacks its man page"
depends=$(dpkg-deb --field "$lib_deb" Depends)
for library in libc6 libstdc++6 libgcc-s1; do
  grep -q "$library" <<<"$depends" || fail "libzortcp1 does not depend on $library"
done
grep -q 'libzortcp1' <<<"$(dpkg-deb --field "$tool_deb" Depends)" || fail "zorcat does not depend on libzortcp1"
# The library is stripped, and the ldconfig trigger stands in for scripts.
dpkg-deb --ctrl-tarfile "$lib_deb" | tar -t | grep -q '^\./triggers$' || fail "libzortcp1 has no triggers file"
if dpkg-deb --ctrl-tarfile "$lib_deb" | tar -t | grep -Eq '^\./(postinst|postrm)$'; then
  fail "libzortcp1 has maintainer scripts"
fi
mkdir -p "$work/strip" && dpkg -x "$lib_deb" "$work/strip"
if readelf -S "$(find "$work/strip" -name "libzortcp.so.$version")" | grep -q '\.debug_info'; then
  fail "the library in libzortcp1 is not stripped"
fi

step "lintian"
# Errors fail the check; the warnings left are listed in docs/packaging.md.
lintian --fail-on error --info "${debs[@]}" || fail "lintian found errors"

# Packages of zortcp installed before the check are left alone.
if [ "${ZORTCP_DPKG_INSTALL:-1}" != 0 ] && [ "$(id -u)" -eq 0 ] \
   && ! dpkg-query -W "${packages[@]}" >/dev/null 2>&1; then
  step "dpkg -i (removed again at the end)"
  dpkg_installed=1
  dpkg -i "${debs[@]}" >/dev/null
  /usr/bin/zorcat --version || fail "zorcat from the package does not run"
  man -w zorcat || fail "man -w zorcat finds no page"
  man -w 3 zortcp || fail "man -w 3 zortcp finds no page"
  cp -r examples "$work/installed-examples"
  for lang in c cpp; do
    cmake -S "$work/installed-examples/$lang" -B "$work/installed-$lang" \
      "-DCMAKE_$(tr a-z A-Z <<<"${lang/cpp/cxx}")_FLAGS=-Werror" >/dev/null
    cmake --build "$work/installed-$lang" >/dev/null
    make -s -C "$work/installed-examples/$lang" >/dev/null
    echo "built the $lang examples against the installed libzortcp-dev (CMake and pkg-config)"
  done
  dpkg --purge "${packages[@]}" >/dev/null
  dpkg_installed=0
else
  step "dpkg -x into $work/root"
  for deb in "${debs[@]}"; do dpkg -x "$deb" "$work/root"; done
  multiarch=$(dirname "$(cd "$work/root" && find . -name libzortcp.so.1 | head -n 1)")
  LD_LIBRARY_PATH="$work/root/${multiarch#./}" "$work/root/usr/bin/zorcat" --version \
    || fail "zorcat from the package does not run"
  man -w -M "$work/root/usr/share/man" zorcat || fail "man -w zorcat finds no page"
  for lang in c cpp; do
    cmake -S "$work/examples/$lang" -B "$work/unpacked-$lang" \
      -DCMAKE_PREFIX_PATH="$work/root/usr" >/dev/null
    cmake --build "$work/unpacked-$lang" >/dev/null
    echo "built the $lang examples against the unpacked libzortcp-dev"
  done
fi

# ----------------------------------------------------------------- ABI

step "ABI"
bash scripts/abi_check.sh

# ------------------------------------------------------ library only

step "library-only configure without CLI11 and Google Benchmark"
# Nothing looks for CLI11 or Google Benchmark at all, so CMake would note
# the two variables as unused.
cmake -S . -B "$work/library-only" --no-warn-unused-cli -DCMAKE_DISABLE_FIND_PACKAGE_CLI11=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON -DZORTCP_BUILD_TESTS=OFF \
  -DZORTCP_BUILD_TOOLS=OFF -DZORTCP_BUILD_BENCH=OFF \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null || fail "the library-only configure failed"
echo "configured"
# That tree is for /usr/local: cpack says how to configure for a package.
if advice=$(cd "$work/library-only" && cpack -G DEB 2>&1); then
  fail "cpack made packages for /usr/local"
fi
grep -q -- '-DCMAKE_INSTALL_PREFIX=/usr' <<<"$advice" || { echo "$advice"; fail "cpack gave no advice"; }
echo "cpack for /usr/local: refused with the advice to configure -DCMAKE_INSTALL_PREFIX=/usr"

echo
echo "install check: passed"
