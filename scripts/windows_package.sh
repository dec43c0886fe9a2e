#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes zortcp-<version>-win32.zip or -win64.zip from a Windows build:
#   bash scripts/windows_package.sh build/windows-x86 [output-folder]
# The zip holds what `cmake --install` installs from that build (bin/,
# include/, lib/ with both import libraries and the CMake package, doc/,
# README.txt and LICENSE.txt), and the .NET assembly Zortcp.Net.dll in bin/:
# docs/windows.md says what each file is for.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: windows_package.sh BUILD_DIR [OUTPUT_DIR]}
output=${2:-$build}

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
dll=$(find "$build" -maxdepth 2 -name zortcp.dll | head -1)
[ -n "$dll" ] || { echo "windows_package.sh: no zortcp.dll in $build" >&2; exit 1; }
case "$(objdump -f "$dll")" in
  *pei-i386*) kind=win32 triple=i686-w64-mingw32 ;;
  *pei-x86-64*) kind=win64 triple=x86_64-w64-mingw32 ;;
  *) echo "windows_package.sh: $dll is not a Windows DLL" >&2; exit 1 ;;
esac
name=zortcp-$version-$kind
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

# zorcat and the DLL are installed by their own components; the tests are
# never installed.
cmake --install "$build" --prefix "$stage/$name" >/dev/null
for file in bin/zortcp.dll bin/zorcat.exe lib/zortcp.lib lib/libzortcp.dll.a lib/zortcp.def \
  lib/cmake/zortcp/zortcpConfig.cmake include/zortcp.h doc/windows.md README.txt LICENSE.txt; do
  [ -f "$stage/$name/$file" ] || { echo "windows_package.sh: the install has no $file" >&2; exit 1; }
done
# The debugging sections stay in the build folder.
for program in "$stage/$name"/bin/*; do "$triple-strip" --strip-debug "$program"; done
# The .NET assembly (netstandard2.0, built with Mono's mcs), beside the DLL.
bash bindings/dotnet/build.sh "$stage/dotnet"
cp "$stage/dotnet/Zortcp.Net.dll" "$stage/$name/bin/"
mkdir -p "$output"
output=$(cd "$output" && pwd)
rm -f "$output/$name.zip"
(cd "$stage" && zip -q -X -r "$output/$name.zip" "$name")
echo "$output/$name.zip"
