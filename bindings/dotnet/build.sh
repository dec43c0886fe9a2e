#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Compiles Zortcp.Net.dll (netstandard2.0 sources) with Mono's C# compiler, and
# Zortcp.Net.dll.config beside it (Mono's map of "zortcp" to libzortcp.so.1):
#   bash bindings/dotnet/build.sh OUTPUT_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${1:?usage: build.sh OUTPUT_DIR}
mkdir -p "$out"
mcs -nologo -warnaserror -unsafe -optimize+ -target:library -out:"$out/Zortcp.Net.dll" \
  -r:System.dll -r:System.Core.dll "$here"/src/*.cs
cp "$here/Zortcp.Net.dll.config" "$out/"
