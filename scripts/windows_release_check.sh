#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks a Windows zip as the Windows developers who take it will use it:
#   bash scripts/windows_release_check.sh build/packages/zortcp-1.0.0-win64.zip
# 1. bin/zortcp.dll and bin/zorcat.exe: every import in
#    tests/release/windows_imports.txt and part of Windows 7, PE header 6.1,
#    the version resource equal to the project's version, the exports as
#    lib/zortcp.def lists them (scripts/windows_pe_check.py);
# 2. tests/release/msvc_host.c compiled for the Microsoft ABI by clang and
#    linked by lld-link with its defaults (SafeSEH on for x86) against
#    lib/zortcp.lib, run under Wine; then built again by CMake with
#    find_package(zortcp) and that tool chain (tests/release/CMakeLists.txt),
#    which must pick lib/zortcp.lib, and run;
# 3. doc/examples/windows built by CMake with find_package(zortcp) from the
#    unzipped folder and the MinGW compilers, both hosts run under Wine.
# Runs under the caller's WINEPREFIX (scripts/windows_test.sh's).
set -euo pipefail
cd "$(dirname "$0")/.."
zip=${1:?usage: windows_release_check.sh ZIP}
source_dir=$PWD
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unzip -q "$zip" -d "$work"
tree=$(echo "$work"/zortcp-*)
name=$(basename "$tree")
version=${name#zortcp-}
version=${version%-win*}
case $name in
  *-win32) triple=i686-w64-mingw32 msvc=i686-pc-windows-msvc machine=(-m i386 -k) ;;
  *-win64) triple=x86_64-w64-mingw32 msvc=x86_64-pc-windows-msvc machine=(-m i386:x86-64) ;;
esac
export WINEDEBUG=${WINEDEBUG:--all}

echo "=== $name: imports, header, version resource, exports"
python3 scripts/windows_pe_check.py --imports tests/release/windows_imports.txt \
  --version "$version" --def "$tree/lib/zortcp.def" "$tree/bin/zortcp.dll" "$tree/bin/zorcat.exe"

echo "=== $name: MSVC-ABI host linked by lld-link against lib/zortcp.lib"
host=$work/msvc
mkdir -p "$host"
# The host's KERNEL32 import library; the 64-bit one has no @N.
if [ "$triple" = i686-w64-mingw32 ]; then
  cp tests/release/kernel32.def "$host/kernel32.def"
else
  sed 's/@[0-9]*$//' tests/release/kernel32.def >"$host/kernel32.def"
fi
llvm-dlltool "${machine[@]}" -d "$host/kernel32.def" -l "$host/kernel32.lib"
clang --target="$msvc" -ffreestanding -O1 -Wall -Wextra -Werror -I"$tree/include" \
  -c tests/release/msvc_host.c -o "$host/msvc_host.obj"
# A Visual Studio console project's options; no C library (/nodefaultlib).
lld-link /nologo /subsystem:console /nodefaultlib /out:"$host/msvc_host.exe" \
  "$host/msvc_host.obj" "$tree/lib/zortcp.lib" "$host/kernel32.lib"
cp "$tree/bin/zortcp.dll" "$host/"
(cd "$host" && timeout 120 wine msvc_host.exe)

echo "=== $name: the same host with find_package(zortcp), MSVC ABI"
# The C library that CMake names for such a tool chain is not here: the
# host links none, as above.
cat >"$work/msvc.cmake" <<TOOLCHAIN
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET $msvc)
set(CMAKE_C_FLAGS_INIT -ffreestanding)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -nostdlib -Wl,/nodefaultlib")
set(CMAKE_C_STANDARD_LIBRARIES "" CACHE STRING "")
set(CMAKE_C_COMPILER_WORKS ON)
TOOLCHAIN
cmake -S tests/release -B "$work/msvc-cmake" -DCMAKE_TOOLCHAIN_FILE="$work/msvc.cmake" \
  -DCMAKE_PREFIX_PATH="$tree" -DCMAKE_BUILD_TYPE=Release -DZORTCP_KERNEL32_LIB="$host/kernel32.lib" >/dev/null
cmake --build "$work/msvc-cmake" >/dev/null
(cd "$work/msvc-cmake" && timeout 120 wine msvc_host.exe | tail -1)

echo "=== $name: doc/examples/windows with find_package(zortcp), MinGW"
# A MinGW user's tool chain: the compilers and nothing else.
cat >"$work/mingw.cmake" <<TOOLCHAIN
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER $triple-gcc-posix)
TOOLCHAIN
cmake -S "$tree/doc/examples/windows" -B "$work/examples" -DCMAKE_TOOLCHAIN_FILE="$work/mingw.cmake" \
  -DCMAKE_PREFIX_PATH="$tree" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/examples" -j2 >/dev/null
for program in import_check echo_host; do
  (cd "$work/examples" && timeout 120 wine "$program.exe")
done
echo "=== $name: release checks passed"
cd "$source_dir"
