#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# scripts/setup.sh while another package manager run holds dpkg's lock, as
# the daily update does on a freshly started machine: the set-up says that
# it waits and waits for the lock instead of failing at once. apt-get,
# dpkg-query and sudo are stand-ins here: one package is missing, and
# apt-get takes the lock as the real one does, waiting only when told to.
set -euo pipefail
source_dir=$1
scratch=$(mktemp -d)
holder=""
cleanup() {
  if [ -n "$holder" ]; then kill "$holder" 2>/dev/null || true; wait "$holder" 2>/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT

mkdir "$scratch/bin"
lock=$scratch/lock-frontend
cat > "$scratch/bin/dpkg-query" <<'STUB'
#!/usr/bin/env bash
[ "${!#}" = clang-format ] && exit 1
echo "install ok installed"
STUB
cat > "$scratch/bin/apt-get" <<STUB
#!/usr/bin/env bash
wait=""
for argument; do
  case \$argument in DPkg::Lock::Timeout=*) wait=\${argument#*=} ;; esac
done
if [ -n "\$wait" ]; then taken=(flock -w "\$wait" "$lock" true); else taken=(flock -n "$lock" true); fi
"\${taken[@]}" || { echo "E: Could not get lock $lock" >&2; exit 100; }
STUB
printf '#!/bin/sh\nexec "$@"\n' > "$scratch/bin/sudo"
chmod +x "$scratch/bin/"*

# Another run holds the lock for a few seconds.
flock "$lock" sh -c "touch '$scratch/held'; sleep 3" &
holder=$!
for _ in $(seq 300); do [ -e "$scratch/held" ] && break; sleep 0.1; done
[ -e "$scratch/held" ] || { echo "FAIL: the lock holder did not start"; exit 1; }

if ! output=$(PATH="$scratch/bin:$PATH" ZORTCP_APT_LOCK_WAIT=60 bash "$source_dir/scripts/setup.sh" 2>&1); then
  echo "FAIL: setup.sh failed while another run held the lock:"
  echo "$output"
  exit 1
fi
grep -q "waiting up to 60 s" <<<"$output" || { echo "FAIL: setup.sh did not say that it waits:"; echo "$output"; exit 1; }
echo "setup.sh waited for the lock"
