#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The library's folders are layers: platform, core, diagnostics, transport,
# port, from the bottom up. A file may include headers of its own layer and
# of the layers below it, and the public header; never a layer above. Prints
# every include that points upward and fails when there is one.
set -euo pipefail
cd "$(dirname "$0")/.."

layers=(platform core diagnostics transport port)
rank() {
  local i
  for i in "${!layers[@]}"; do
    [ "${layers[$i]}" = "$1" ] && { echo "$i"; return; }
  done
  echo -1
}

status=0
while IFS= read -r file; do
  own=$(rank "$(echo "$file" | cut -d/ -f2)")
  if [ "$own" -lt 0 ]; then
    echo "$file: not in a known layer"
    status=1
    continue
  fi
  while IFS= read -r included; do
    case "$included" in
      zortcp.h|*/*) ;;
      *) continue ;;
    esac
    [ "$included" = zortcp.h ] && continue
    target=$(rank "${included%%/*}")
    if [ "$target" -lt 0 ] || [ "$target" -gt "$own" ]; then
      echo "$file: includes $included (layer ${included%%/*} is not below ${layers[$own]})"
      status=1
    fi
  done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
done < <(find src -type f \( -name '*.h' -o -name '*.cpp' \) | sort)

[ "$status" -eq 0 ] && echo "layers: every include points down or sideways"
exit "$status"
