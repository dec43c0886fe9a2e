#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
#
# Puts the line "SPDX-License-Identifier: MIT", in the comment syntax of
# its kind, at the top of every tracked source and script file that lacks
# it: the first line, or the second after a "#!" line.
#
#   scripts/spdx.sh           adds the missing lines
#   scripts/spdx.sh --check   lists the files without one and fails if any
set -euo pipefail
cd "$(dirname "$0")/.."

tag="SPDX-License-Identifier: MIT"
check=0
case "${1:-}" in
  "") ;;
  --check) check=1 ;;
  *) echo "usage: $0 [--check]" >&2; exit 2 ;;
esac

# The comment line for a file, or nothing for a file that takes none.
comment_for() {
  case "$1" in
    fuzz/corpus/*) ;;
    include/*.h | examples/*.h | *.c | *.h.in | *.map) echo "/* $tag */" ;;
    *.cpp | *.hpp | *.cc | *.h) echo "// $tag" ;;
    *.sh | *.py | *.toml | *CMakeLists.txt | *.cmake | *.cmake.in | *.pc.in | *Makefile | .ci/run)
      echo "# $tag" ;;
  esac
}

missing=()
while IFS= read -r file; do
  line=$(comment_for "$file")
  [ -n "$line" ] || continue
  head -n 2 "$file" | grep -qF "$tag" && continue
  missing+=("$file")
  [ "$check" = 1 ] && continue
  if head -n 1 "$file" | grep -q '^#!'; then
    sed -i "1a $line" "$file"
  else
    sed -i "1i $line" "$file"
  fi
done < <(git ls-files)

if [ "$check" = 1 ]; then
  if [ ${#missing[@]} -gt 0 ]; then
    echo "spdx: files without \"$tag\" at the top:" >&2
    printf '  %s\n' "${missing[@]}" >&2
    exit 1
  fi
  echo "spdx: every source and script file has its license line"
elif [ ${#missing[@]} -gt 0 ]; then
  echo "spdx: added the license line to ${#missing[@]} files"
fi
