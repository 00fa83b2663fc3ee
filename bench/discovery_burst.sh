#!/usr/bin/env bash
# One probe answered at once by many simulated displays: how many answers reach the page,
# with the system's default receive buffer and with the enlarged one, in the same lab.
# Usage: bench/discovery_burst.sh [BUILD_DIR] [DISPLAYS]   (root; runs in its own network lab)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build}
displays=${2:-1000}
lab="$src/tests/lab/lab.sh"
bash "$lab" check || { echo "needs root and ip netns" >&2; exit 1; }

name="burst$$"
work=$(mktemp -d /tmp/quillora-burst-XXXXXX)
trap 'bash "$lab" down "$name"; rm -rf "$work"' EXIT
subnets=$(((displays + 199) / 200))
per=$((displays / subnets))
eval "$(bash "$lab" up "$name" --subnets "$subnets" --displays-per-subnet "$per")"
for s in $(seq 1 "$subnets"); do
  bash "$lab" exec-display "$name" "$s" "$build/quillora-display-sim" --address "10.77.$s.10" \
    --count "$per" >"$work/sim$s.log" 2>&1 &
done
for s in $(seq 1 "$subnets"); do
  for _ in $(seq 1 200); do
    grep -q '^READY' "$work/sim$s.log" 2>/dev/null && break
    sleep 0.05
  done
done
hosts=()
for s in $(seq 1 "$subnets"); do hosts+=("10.77.$s.1"); done

run() { # RCVBUF
  bash "$lab" exec-host "$name" "$build/quillora-bench-discovery" "$1" 3 "${hosts[@]}"
}
default=$(run 0)
enlarged=$(run $((8 << 20)))
total=$((subnets * per))
echo "displays=$total sockets=$subnets"
echo "default buffer:  $default"
echo "enlarged buffer: $enlarged"
got_default=$(sed -n 's/.*answers=\([0-9]*\).*/\1/p' <<<"$default")
got_enlarged=$(sed -n 's/.*answers=\([0-9]*\).*/\1/p' <<<"$enlarged")
awk -v d="$got_default" -v e="$got_enlarged" -v t="$total" \
  'BEGIN { printf "reported: default %d/%d (%.1f%%), enlarged %d/%d (%.1f%%), ratio enlarged/default %.2f\n", d, t, 100*d/t, e, t, 100*e/t, (d ? e/d : 0) }'
[ "$got_enlarged" -eq "$total" ] && echo "target: all $total answers reported: yes" ||
  echo "target: all $total answers reported: no"
