#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes Zortcp.<version>.nupkg: the assembly, the native libraries in their
# runtimes/ folders, the MSBuild targets for .NET Framework and Mono
# projects, the license and a README.
#   ZORTCP_LIB=build/libzortcp.so.1 bash bindings/dotnet/pack.sh OUTPUT_DIR
# The Windows DLLs come from build/windows-x86 and build/windows-x64
# (scripts/windows_test.sh), or ZORTCP_WIN_X86 / ZORTCP_WIN_X64. Without
# them the package is Linux-only, and says so; ZORTCP_REQUIRE_WINDOWS=1
# makes that an error.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=${1:?usage: pack.sh OUTPUT_DIR}
lib=${ZORTCP_LIB:?ZORTCP_LIB must name libzortcp.so.1}
x86=${ZORTCP_WIN_X86:-$root/build/windows-x86/zortcp.dll}
x64=${ZORTCP_WIN_X64:-$root/build/windows-x64/zortcp.dll}
version=$(sed -n 's/^project(zortcp VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[ -n "$version" ] || { echo "pack.sh: no version in CMakeLists.txt" >&2; exit 1; }

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/lib/netstandard2.0" "$stage/build" "$stage/runtimes/linux-x64/native"
bash "$here/build.sh" "$stage/lib/netstandard2.0"
cp "$here/Zortcp.targets" "$stage/build/"
cp "$lib" "$stage/runtimes/linux-x64/native/libzortcp.so.1"
strip --strip-debug "$stage/runtimes/linux-x64/native/libzortcp.so.1"
platforms="linux-x64"
for pair in "win-x86:$x86:i686" "win-x64:$x64:x86_64"; do
  rid=${pair%%:*} rest=${pair#*:}
  dll=${rest%:*} triple=${rest##*:}-w64-mingw32
  if [ -f "$dll" ]; then
    mkdir -p "$stage/runtimes/$rid/native"
    cp "$dll" "$stage/runtimes/$rid/native/zortcp.dll"
    command -v "$triple-strip" >/dev/null && "$triple-strip" --strip-debug "$stage/runtimes/$rid/native/zortcp.dll"
    platforms="$platforms $rid"
  elif [ "${ZORTCP_REQUIRE_WINDOWS:-0}" = 1 ]; then
    echo "pack.sh: $dll is missing (build it with scripts/windows_test.sh)" >&2
    exit 1
  else
    echo "pack.sh: no $rid DLL ($dll): the package is without it"
  fi
done
cp "$root/LICENSE" "$stage/LICENSE.txt"
cp "$here/README.md" "$stage/README.md"
cat > "$stage/Zortcp.nuspec" <<XML
<?xml version="1.0" encoding="utf-8"?>
<package xmlns="http://schemas.microsoft.com/packaging/2013/05/nuspec.xsd">
  <metadata>
    <id>Zortcp</id>
    <version>$version</version>
    <authors>zortcp</authors>
    <license type="file">LICENSE.txt</license>
    <readme>README.md</readme>
    <requireLicenseAcceptance>false</requireLicenseAcceptance>
    <description>TCP/IP ports of the zortcp library for .NET: a Stream per port, events, typed settings, and the library's 13 calls declared as its header has them. Native libraries: $platforms.</description>
    <tags>tcp ports instruments zortcp</tags>
    <dependencies>
      <group targetFramework=".NETStandard2.0" />
    </dependencies>
  </metadata>
</package>
XML
cat > "$stage/[Content_Types].xml" <<'XML'
<?xml version="1.0" encoding="utf-8"?>
<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">
  <Default Extension="nuspec" ContentType="application/octet" />
  <Default Extension="dll" ContentType="application/octet" />
  <Default Extension="config" ContentType="application/octet" />
  <Default Extension="1" ContentType="application/octet" />
  <Default Extension="targets" ContentType="application/octet" />
  <Default Extension="txt" ContentType="application/octet" />
  <Default Extension="md" ContentType="application/octet" />
</Types>
XML
mkdir -p "$out"
out=$(cd "$out" && pwd)
rm -f "$out/Zortcp.$version.nupkg"
(cd "$stage" && zip -q -X -D -r "$out/Zortcp.$version.nupkg" .)
echo "$out/Zortcp.$version.nupkg ($platforms)"
