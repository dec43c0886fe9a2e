#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks zortcp as a user gets it, from the Debian packages built as a
# packager builds them:
#   1. `dpkg-buildpackage -us -uc -b` in a clean copy of the tree (the files
#      git knows, nothing built): libzortcp1, libzortcp-dev, zorcat and the
#      two -dbgsym packages; the symbols file is checked by the build
#      itself; `debian/rules clean` leaves the copy as it was;
#   2. the packages' fields and contents: the library in the multiarch
#      directory, its SONAME, only Zor* exported, stripped, built hardened
#      (RELRO, immediate binding, stack protector, PIE for zorcat), the
#      ldconfig trigger and no maintainer scripts, the changelogs;
#   3. lintian --pedantic: no error, no warning but the initial-upload one;
#   4. the same build installed into a temporary prefix with
#      `cmake --install --prefix`: the files and links, and the example
#      hosts built against it and run against an echo peer
#      (debian/tests/examples with ZORTCP_PREFIX);
#   5. as root (CI), `autopkgtest` with its null runner: the packages
#      installed into this system and debian/tests run against them; then
#      the packages purged, and nothing of them left;
#   6. the ABI against the baseline in abi/ (scripts/abi_check.sh);
#   7. a library-only configure without CLI11 and Google Benchmark.
#
# Step 5 is left out when not run as root, with ZORTCP_DPKG_INSTALL=0, or
# where a zortcp package is installed already (it is left alone).
#
# The copy is made in build/deb (ignored by git) and removed at the end: its
# path is in the compiler's command lines, so the same path each time lets
# ccache find the earlier compilations. The whole check is bounded
# (ZORTCP_INSTALL_CHECK_LIMIT seconds, 1200 by default: a package build
# without ccache on a busy machine takes minutes) and removes its
# temporary files whatever happens.
set -euo pipefail

limit=${ZORTCP_INSTALL_CHECK_LIMIT:-900}
if [ -z "${ZORTCP_INSTALL_CHECK_BOUNDED:-}" ]; then
  export ZORTCP_INSTALL_CHECK_BOUNDED=1
  exec timeout --kill-after=15 "$limit" bash "$(readlink -f "$0")" "$@"
fi
cd "$(dirname "$0")/.."

version=$(sed -n 's/^project(zortcp VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
jobs=$(nproc)
deb_root=$PWD/build/deb
src=$deb_root/zortcp-$version
work=$(mktemp -d "${TMPDIR:-/tmp}/zortcp-install-check.XXXXXX")
packages=(zorcat libzortcp-dev libzortcp1)
dbgsym=(zorcat-dbgsym libzortcp1-dbgsym)
installed_by_us=0

cleanup() {
  local status=$?
  if [ "$installed_by_us" = 1 ]; then
    dpkg --purge "${dbgsym[@]}" "${packages[@]}" >/dev/null 2>&1 || true
  fi
  rm -rf "$work" "$deb_root"
  if [ "$status" -ne 0 ]; then echo "install check: FAILED" >&2; fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 124' TERM INT

step() { printf '\n== %s  [%d s]\n' "$*" "$SECONDS"; }
fail() { echo "install check: $*" >&2; exit 1; }

# --------------------------------------------------------------- tools

need=()
for tool in dpkg-buildpackage:dpkg-dev dh:debhelper autopkgtest:autopkgtest lintian:lintian \
            pkg-config:pkgconf python3:python3 readelf:binutils pandoc:pandoc \
            abidiff:abigail-tools man:man-db make:build-essential git:git; do
  command -v "${tool%%:*}" >/dev/null || need+=("${tool#*:}")
done
if [ ${#need[@]} -gt 0 ]; then
  step "installing ${need[*]}"
  if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
  $sudo apt-get -o DPkg::Lock::Timeout=600 update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -q "${need[@]}"
fi

# ------------------------------------------------------ build the packages

step "dpkg-buildpackage -us -uc -b in a clean copy ($src)"
# The files of the tree that git knows (committed or not, but not ignored):
# what a clean clone of this state holds.
rm -rf "$deb_root"
mkdir -p "$src"
git ls-files -z --cached --others --exclude-standard \
  | while IFS= read -r -d '' file; do [ -e "$file" ] && printf '%s\0' "$file"; done \
  | tar --null -T - -cf - | tar -xf - -C "$src"
(cd "$src" && find . | LC_ALL=C sort) > "$work/copy.list"
# Through ccache where there is one. debhelper gives the build a HOME of its
# own inside the tree, so ccache is told where its cache is.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
            "CCACHE_DIR=$(ccache -k cache_dir)")
fi
started=$SECONDS
if ! (cd "$src" && env "${launcher[@]}" DEB_BUILD_OPTIONS="parallel=$jobs" \
        dpkg-buildpackage -us -uc -b) > "$work/build.log" 2>&1; then
  tail -n 60 "$work/build.log"
  fail "dpkg-buildpackage failed (its log above)"
fi
echo "built in $((SECONDS - started)) s:"
grep -E '^dpkg-deb: building package' "$work/build.log" | sed 's/^/    /'

changes=$deb_root/zortcp_${version}-*_$(dpkg-architecture -qDEB_HOST_ARCH).changes
changes=$(echo $changes)
[ -f "$changes" ] || fail "no .changes file"
debs=()
for package in "${packages[@]}" "${dbgsym[@]}"; do
  deb=$(echo "$deb_root/${package}_${version}"-*.deb)
  [ -f "$deb" ] || fail "no package $package"
  debs+=("$deb")
done
zorcat_deb=${debs[0]} dev_deb=${debs[1]} lib_deb=${debs[2]}

# The build tree installed into a temporary prefix, as a user without the
# packages installs it (checked below), before debian/rules clean takes away
# all that the build made in the tree.
prefix=$work/prefix
cmake --install "$src/obj-$(dpkg-architecture -qDEB_HOST_GNU_TYPE)" --prefix "$prefix" >/dev/null
(cd "$src" && debian/rules clean >/dev/null 2>&1) || fail "debian/rules clean failed"
if ! diff <(cd "$src" && find . | LC_ALL=C sort) "$work/copy.list" >/dev/null; then
  diff <(cd "$src" && find . | LC_ALL=C sort) "$work/copy.list" || true
  fail "debian/rules clean leaves files behind (< left behind, > removed)"
fi
echo "debian/rules clean leaves the tree as it was"

# The source package, as docs/packaging.md says to make it: the upstream
# tarball is the tree without debian/, and dpkg-source builds on it.
step "dpkg-source -b with the upstream tarball"
tar -C "$deb_root" --exclude="zortcp-$version/debian" -cJf "$deb_root/zortcp_$version.orig.tar.xz" \
  "zortcp-$version"
(cd "$deb_root" && dpkg-source -b "zortcp-$version") > "$work/source.log" 2>&1 \
  || { cat "$work/source.log"; fail "dpkg-source -b failed"; }
dsc=$(echo "$deb_root"/zortcp_"$version"-*.dsc)
[ -f "$dsc" ] || fail "no .dsc file"
echo "source package: $(basename "$dsc")"

# ------------------------------------------------ fields and contents

step "the packages"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
listing() { dpkg-deb --contents "$1" | awk '{print $6}'; }
for deb in "${debs[@]}"; do
  package=$(dpkg-deb --field "$deb" Package)
  echo "$(basename "$deb"):"
  dpkg-deb --field "$deb" Version Architecture Section Multi-Arch Depends | sed 's/^/    /'
  case "$package" in *-dbgsym) continue ;; esac
  contents=$(listing "$deb")
  for file in copyright changelog.Debian.gz changelog.gz; do
    grep -q "^\./usr/share/doc/$package/$file\$" <<<"$contents" || fail "$package lacks $file"
  done
  if grep -Eq 'internal|_tests?$|\.a$|^\./usr/lib/debug' <<<"$contents"; then
    fail "$package holds internal files: $(grep -E 'internal|_tests?$|\.a$' <<<"$contents")"
  fi
done
lib_files=$(listing "$lib_deb")
grep -q "^\./usr/lib/$multiarch/libzortcp\.so\.$version\$" <<<"$lib_files" \
  || fail "libzortcp1 lacks the library in /usr/lib/$multiarch"
grep -q '/libzortcp\.so$' <<<"$lib_files" && fail "libzortcp1 holds the development link"
dev_files=$(listing "$dev_deb")
for file in "/usr/lib/$multiarch/libzortcp.so" /usr/include/zortcp.h \
            "/usr/lib/$multiarch/pkgconfig/zortcp.pc" "/usr/lib/$multiarch/cmake/zortcp/zortcpConfig.cmake" \
            /usr/share/man/man3/zortcp.3.gz /usr/share/man/man3/ZorOpenPort.3.gz \
            /usr/share/doc/zortcp/examples/c/host.c; do
  grep -qx "\.$file" <<<"$dev_files" || fail "libzortcp-dev lacks $file"
done
grep -qx '\./usr/bin/zorcat' <<<"$(listing "$zorcat_deb")" || fail "zorcat lacks the tool"
grep -qx '\./usr/share/man/man1/zorcat\.1\.gz' <<<"$(listing "$zorcat_deb")" \
  || fail "zorcat lacks its man page"
depends=$(dpkg-deb --field "$lib_deb" Depends)
for library in libc6 libstdc++6 libgcc-s1; do
  grep -q "$library" <<<"$depends" || fail "libzortcp1 does not depend on $library"
done
grep -q 'libzortcp1 (>= ' <<<"$(dpkg-deb --field "$zorcat_deb" Depends)" \
  || fail "zorcat does not depend on libzortcp1"

# The control files of libzortcp1: the symbols file (all the calls of
# zortcp.h, from this version on), the shlibs file, the ldconfig trigger,
# and no maintainer scripts.
dpkg-deb --control "$lib_deb" "$work/control"
calls=$(sed -n 's/.*\b\(Zor[A-Za-z]*\)(.*/\1/p' include/zortcp.h | LC_ALL=C sort -u)
symbols=$(sed -n 's/^ \(Zor[A-Za-z]*\)@Base .*/\1/p' "$work/control/symbols" | LC_ALL=C sort)
[ "$symbols" = "$calls" ] || { diff <(echo "$calls") <(echo "$symbols") || true; fail "symbols file: not the calls of zortcp.h"; }
[ "$(head -n 1 "$work/control/symbols")" = 'libzortcp.so.1 libzortcp1 #MINVER#' ] \
  || fail "symbols file: wrong first line"
grep -qx 'activate-noawait ldconfig' "$work/control/triggers" || fail "libzortcp1 has no ldconfig trigger"
for script in preinst postinst prerm postrm; do
  [ ! -e "$work/control/$script" ] || fail "libzortcp1 has a $script script"
done
echo "libzortcp1: symbols file with $(wc -l <<<"$symbols") calls, shlibs, ldconfig trigger, no scripts"

# The binaries: SONAME, exports, stripped (their debug information is in
# the -dbgsym packages, under their build ids), hardened.
mkdir -p "$work/root"
for deb in "${debs[@]}"; do dpkg -x "$deb" "$work/root"; done
library=$work/root/usr/lib/$multiarch/libzortcp.so.$version
zorcat=$work/root/usr/bin/zorcat
grep -q 'Library soname: \[libzortcp.so.1\]' <<<"$(readelf -d "$library")" || fail "SONAME is not libzortcp.so.1"
exported=$(nm -D --defined-only "$library" | awk '{print $3}' | LC_ALL=C sort)
[ "$exported" = "$calls" ] || fail "exported symbols are not the calls of zortcp.h: $(echo $exported)"
for binary in "$library" "$zorcat"; do
  name=$(basename "$binary")
  grep -q '\.debug_info' <<<"$(readelf -S "$binary")" && fail "$name is not stripped"
  id=$(readelf -n "$binary" | sed -n 's/.*Build ID: \([0-9a-f]*\)/\1/p')
  [ -f "$work/root/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug" ] \
    || fail "$name: no debug file for build id $id"
  grep -q GNU_RELRO <<<"$(readelf -l "$binary")" || fail "$name: no RELRO"
  grep -Eq '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW' <<<"$(readelf -d "$binary")" \
    || fail "$name: no immediate binding"
  grep -q ' U __stack_chk_fail' <<<"$(nm -D "$binary")" || fail "$name: no stack protector"
done
grep -q 'Type:.*DYN' <<<"$(readelf -h "$zorcat")" || fail "zorcat is not a position-independent executable"
grep -Eq 'RPATH|RUNPATH' <<<"$(readelf -d "$zorcat")" && fail "zorcat has a run path"
echo "exported: $(echo $exported)"
echo "stripped, debug files by build id, RELRO, BIND_NOW, stack protector, zorcat PIE without run path"

# ------------------------------------------------------------- lintian

step "lintian --pedantic"
# Every error and warning fails the check but one: the first entry of a
# package's Debian changelog closes no bug (docs/packaging.md says why).
lintian --pedantic "$changes" > "$work/lintian.log" 2>&1 || true
sed 's/^/    /' "$work/lintian.log"
if grep -E '^(E|W): ' "$work/lintian.log" | grep -v ' initial-upload-closes-no-bugs' >/dev/null; then
  fail "lintian found errors or warnings"
fi

# ------------------------------------------------- install into a prefix

step "the install into a prefix ($prefix) and the examples built against it"
libdir=lib/$multiarch
expected=$(cat <<EOF
bin/zorcat
include/zortcp.h
include/zortcp_version.h
$libdir/cmake/zortcp/zortcpConfig.cmake
$libdir/cmake/zortcp/zortcpConfigVersion.cmake
$libdir/cmake/zortcp/zortcpTargets-none.cmake
$libdir/cmake/zortcp/zortcpTargets.cmake
$libdir/libzortcp.so
$libdir/libzortcp.so.1
$libdir/libzortcp.so.$version
$libdir/pkgconfig/zortcp.pc
EOF
)
installed=$(cd "$prefix" && find . \( -type f -o -type l \) ! -path './share/doc/*' ! -path './share/man/*' \
  | sed 's|^\./||' | LC_ALL=C sort)
if [ "$installed" != "$(LC_ALL=C sort <<<"$expected")" ]; then
  diff <(LC_ALL=C sort <<<"$expected") <(echo "$installed") || true
  fail "installed files differ from the expected list (< expected, > installed)"
fi
for page in man1/zorcat.1.gz man3/zortcp.3.gz man3/ZorOpenPort.3.gz; do
  [ -f "$prefix/share/man/$page" ] || fail "share/man/$page not installed"
done
[ "$(readlink "$prefix/$libdir/libzortcp.so")" = libzortcp.so.1 ] \
  || fail "libzortcp.so does not point at libzortcp.so.1"
[ "$(readlink "$prefix/$libdir/libzortcp.so.1")" = "libzortcp.so.$version" ] \
  || fail "libzortcp.so.1 does not point at libzortcp.so.$version"
grep -q "^#define ZORTCP_VERSION_STRING \"$version\"" "$prefix/include/zortcp_version.h" \
  || fail "zortcp_version.h does not give the project's version $version"
LD_LIBRARY_PATH="$prefix/$libdir" "$prefix/bin/zorcat" --version >/dev/null \
  || fail "the installed zorcat does not run"
ZORTCP_PREFIX=$prefix bash debian/tests/examples || fail "the examples against $prefix"

# ------------------------------------------- autopkgtest on this system

if [ "${ZORTCP_DPKG_INSTALL:-1}" != 0 ] && [ "$(id -u)" -eq 0 ] \
   && ! dpkg-query -W "${packages[@]}" >/dev/null 2>&1; then
  step "autopkgtest -- null (the packages installed into this system, purged at the end)"
  installed_by_us=1
  status=0
  autopkgtest --output-dir "$work/autopkgtest" "${debs[@]}" "$src/" -- null \
    > "$work/autopkgtest.log" 2>&1 || status=$?
  for test in $(sed -n 's/^Tests: //p' debian/tests/control); do
    echo "$test:"
    sed 's/^/    /' "$work/autopkgtest/$test-stdout" 2>/dev/null || true
  done
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$work/autopkgtest.log"
    fail "autopkgtest failed (status $status; its log above)"
  fi
  sed 's/^/    /' "$work/autopkgtest/summary"
  /usr/bin/zorcat --version >/dev/null || fail "the installed zorcat does not run"
  man -w 3 zortcp >/dev/null || fail "man 3 zortcp finds no page"
  echo "man 3 zortcp: $(man -w 3 zortcp)"
  man -w 3 ZorOpenPort >/dev/null || fail "man 3 ZorOpenPort finds no page"
  echo "man 3 ZorOpenPort: $(man -w 3 ZorOpenPort)"

  step "dpkg --purge: nothing left"
  all=()
  for package in "${packages[@]}" "${dbgsym[@]}"; do
    dpkg-query -W "$package" >/dev/null 2>&1 && all+=("$package")
  done
  dpkg -L "${all[@]}" | LC_ALL=C sort -u > "$work/installed.list"
  dpkg --purge "${all[@]}" >/dev/null
  installed_by_us=0
  left=()
  while IFS= read -r path; do
    # Directories that other packages share (/usr, /usr/share/doc, ...)
    # stay; a file, a link, or a directory of our own does not.
    if [ -L "$path" ] || [ -f "$path" ]; then
      left+=("$path")
    elif [ -d "$path" ] && [[ "$path" == *zortcp* || "$path" == *zorcat* ]]; then
      left+=("$path")
    fi
  done < "$work/installed.list"
  [ ${#left[@]} -eq 0 ] || fail "left after the purge: ${left[*]}"
  for package in "${all[@]}"; do
    state=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || echo not-installed)
    [ "$state" = not-installed ] || fail "$package is $state after the purge"
  done
  grep -q libzortcp <<<"$(ldconfig -p)" && fail "libzortcp is still in the dynamic linker's cache"
  echo "purged ${all[*]}: no file, directory, package state or cache entry left"
else
  step "autopkgtest left out"
  echo "it installs the packages into this system: it runs as root where no zortcp"
  echo "package is installed already, and not with ZORTCP_DPKG_INSTALL=0"
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
  -DZORTCP_BUILD_TOOLS=OFF -DZORTCP_BUILD_BENCH=OFF >/dev/null \
  || fail "the library-only configure failed"
echo "configured"

echo
echo "install check: passed"
