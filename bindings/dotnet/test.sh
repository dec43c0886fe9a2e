#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Tests the .NET package as a user gets it, on Mono: makes the .nupkg
# (pack.sh), unpacks it, lays the program out as the package's targets do
# (the assembly, its Zortcp.Net.dll.config and libzortcp.so.1 beside the
# program) and runs the tests and, as small as it goes, the benchmark.
#
#   ZORTCP_LIB=path/to/libzortcp.so.1 bash bindings/dotnet/test.sh
#
# Without ZORTCP_LIB the library is built (normal build) in build/dotnet.
# The package is left in ZORTCP_PACKAGE_DIR (build/packages by default).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

if [ -z "${ZORTCP_LIB:-}" ]; then
  build=$root/build/dotnet
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZORTCP_BUILD_TESTS=OFF -DZORTCP_BUILD_BENCH=OFF >/dev/null
  cmake --build "$build" -j 2 --target zortcp >/dev/null
  export ZORTCP_LIB=$build/libzortcp.so.1
fi
packages=${ZORTCP_PACKAGE_DIR:-$root/build/packages}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
package=$(bash "$here/pack.sh" "$packages" | tee -a /dev/stderr | tail -1)
package=${package%% (*}

# The layout the package promises.
listing=$(unzip -Z1 "$package")
for file in Zortcp.nuspec lib/netstandard2.0/Zortcp.Net.dll lib/netstandard2.0/Zortcp.Net.dll.config \
            build/Zortcp.targets runtimes/linux-x64/native/libzortcp.so.1 LICENSE.txt README.md; do
  grep -qx "$file" <<<"$listing" || { echo "dotnet package: $file missing" >&2; exit 1; }
done
for rid in win-x86 win-x64; do
  if grep -qx "runtimes/$rid/native/zortcp.dll" <<<"$listing"; then echo "dotnet package: $rid DLL in"; fi
done

mkdir "$work/package" "$work/app"
unzip -q "$package" -d "$work/package"
cp "$work/package/lib/netstandard2.0/"* "$work/package/runtimes/linux-x64/native/libzortcp.so.1" "$work/app/"
mcs -nologo -warnaserror -out:"$work/app/ZortcpTests.exe" -r:"$work/app/Zortcp.Net.dll" \
  -r:System.dll -r:System.Core.dll "$here/tests/Tests.cs"
mcs -nologo -warnaserror -out:"$work/app/ZortcpBench.exe" -r:"$work/app/Zortcp.Net.dll" \
  -r:System.dll -r:System.Core.dll "$here/bench/Bench.cs"

# The C# blocks of docs/dotnet.md and the README compile against the
# package: a program as it is, statements as the body of Main.
python3 - "$root/docs/dotnet.md" "$here/README.md" "$work/examples" <<'PY'
import pathlib, re, sys
out = pathlib.Path(sys.argv[-1])
out.mkdir()
for page in sys.argv[1:-1]:
    for number, block in enumerate(re.findall(r"^```csharp\n(.*?)^```", pathlib.Path(page).read_text(), re.M | re.S)):
        if " Main(" not in block:
            lines = block.splitlines()
            usings = [l for l in lines if re.fullmatch(r"using [\w.]+;", l)]
            body = "\n".join(l for l in lines if l not in usings)
            block = "\n".join(usings) + "\nstatic class Example { static void Main() {\n" + body + "\n} }\n"
        (out / f"{pathlib.Path(page).stem}-{number}.cs").write_text(block)
PY
for example in "$work"/examples/*.cs; do
  mcs -nologo -warnaserror -out:"$work/example.exe" -r:"$work/app/Zortcp.Net.dll" -r:System.dll \
    -r:System.Core.dll "$example" || { echo "dotnet docs: $example does not compile" >&2; exit 1; }
done
echo "dotnet docs: $(ls "$work"/examples | wc -l) C# examples compile"

# From elsewhere, with no library path: the package's own libzortcp.so.1.
cd "$work"
env -u LD_LIBRARY_PATH mono --debug app/ZortcpTests.exe
# No figures are judged here: speed is measured on a quiet machine.
env -u LD_LIBRARY_PATH mono app/ZortcpBench.exe --quick >/dev/null
echo "dotnet benchmark: runs"
