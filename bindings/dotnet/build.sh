#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Compiles Zortcp.dll (netstandard2.0 sources) with Mono's C# compiler, and
# Zortcp.dll.config beside it (Mono's map of "zortcp" to libzortcp.so.1):
#   bash bindings/dotnet/build.sh OUTPUT_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${1:?usage: build.sh OUTPUT_DIR}
mkdir -p "$out"
mcs -nologo -warnaserror -unsafe -optimize+ -target:library -out:"$out/Zortcp.dll" \
  -r:System.dll -r:System.Core.dll "$here"/src/*.cs
cp "$here/Zortcp.dll.config" "$out/"
