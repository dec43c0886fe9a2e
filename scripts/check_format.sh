#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Fails, listing the files, when a tracked C or C++ file is not laid out as
# .clang-format says. With --fix, lays them out instead.
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t files < <(git ls-files '*.h' '*.hpp' '*.c' '*.cpp')
if [ "${1:-}" = --fix ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
unformatted=()
for file in "${files[@]}"; do
  clang-format --dry-run -Werror "$file" >/dev/null 2>&1 || unformatted+=("$file")
done
if [ ${#unformatted[@]} -gt 0 ]; then
  printf 'not formatted (scripts/check_format.sh --fix lays them out):\n' >&2
  printf '  %s\n' "${unformatted[@]}" >&2
  exit 1
fi
echo "format: ${#files[@]} files laid out as .clang-format says"
