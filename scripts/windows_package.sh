#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes zortcp-<version>-win32.zip or -win64.zip from a Windows build:
#   bash scripts/windows_package.sh build/windows-x86 [output-folder]
# The zip holds zortcp.dll, its import library and .def, the headers,
# zorcat.exe (when the build has it), the .NET assembly Zortcp.Net.dll (built
# with Mono's mcs from bindings/dotnet), LICENSE and a short README.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: windows_package.sh BUILD_DIR [OUTPUT_DIR]}
output=${2:-$build}

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
dll=$(find "$build" -maxdepth 2 -name zortcp.dll | head -1)
implib=$(find "$build" -maxdepth 2 -name libzortcp.dll.a | head -1)
[ -n "$dll" ] && [ -n "$implib" ] || { echo "windows_package.sh: no zortcp.dll in $build" >&2; exit 1; }
case "$(objdump -f "$dll")" in
  *pei-i386*) kind=win32 def=src/port/zortcp-x86.def triple=i686-w64-mingw32 ;;
  *pei-x86-64*) kind=win64 def=src/port/zortcp.def triple=x86_64-w64-mingw32 ;;
  *) echo "windows_package.sh: $dll is not a Windows DLL" >&2; exit 1 ;;
esac
name=zortcp-$version-$kind
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/$name/include" "$stage/$name/lib" "$stage/$name/bin"

cp "$dll" "$stage/$name/bin/"
cp "$implib" "$stage/$name/lib/"
cp "$def" "$stage/$name/lib/zortcp.def"
cp include/zortcp.h "$build/include/zortcp_version.h" "$stage/$name/include/"
zorcat=$(find "$build" -maxdepth 3 -name zorcat.exe | head -1)
[ -n "$zorcat" ] && cp "$zorcat" "$stage/$name/bin/"
# The debugging sections stay in the build folder.
for program in "$stage/$name"/bin/*; do "$triple-strip" --strip-debug "$program"; done
bash bindings/dotnet/build.sh "$stage/dotnet"
cp "$stage/dotnet/Zortcp.Net.dll" "$stage/$name/bin/"
cp LICENSE "$stage/$name/LICENSE.txt"
bits=${kind#win}
cat > "$stage/$name/README.txt" <<TEXT
zortcp $version for $bits-bit Windows

TCP/IP byte streams for host applications: 32 ports, events through a
callback, keyword configuration files, a per-port debug log.

bin/zortcp.dll        the library; it needs only DLLs that are part of
                      Windows 8 and later (KERNEL32, msvcrt, WS2_32 and the
                      synch API set)
bin/zorcat.exe        a command-line host of the library, for trying a peer
bin/Zortcp.Net.dll    the .NET assembly (netstandard2.0): ports as Streams,
                      events, settings, and the 13 calls declared for C#
                      (docs/dotnet.md; the NuGet package Zortcp has both DLLs)
lib/libzortcp.dll.a   import library (MinGW; most linkers take it)
lib/zortcp.def        the 13 exported names, to make an import library for
                      another tool chain (lib /def:zortcp.def /machine:...)
include/zortcp.h      the calls, numbers and event kinds
include/zortcp_version.h

The 13 functions and the event handler use the calling convention ZOR_CALL:
__stdcall in the 32-bit DLL, the only convention in the 64-bit one. The
exports carry their plain names (ZorOpenPort), undecorated, in both DLLs.
docs/windows.md in the sources has the details, and what was tested how.
TEXT
mkdir -p "$output"
output=$(cd "$output" && pwd)
rm -f "$output/$name.zip"
(cd "$stage" && zip -q -X -r "$output/$name.zip" "$name")
echo "$output/$name.zip"
