#!/usr/bin/env bash
# One probe answered at once by many simulated displays: how many answers reach the page,
# with the receive buffer a socket gets when nothing is set (the system's default) and with the
# enlarged one, in the same lab.
# Usage: bench/discovery_burst.sh [BUILD_DIR] [DISPLAYS]   (root; runs in its own network lab)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build}
displays=${2:-1000}
# shellcheck source-path=SCRIPTDIR source=../tests/lab/session.sh
source "$src/tests/lab/session.sh"
lab_check "needs root and ip netns"

subnets=$(((displays + 199) / 200))
per=$((displays / subnets))
lab_session burst --subnets "$subnets" --displays-per-subnet "$per"
sims=()
hosts=()
for s in $(seq 1 "$subnets"); do
  lab_start_sim "$s" "sim$s" --address "10.77.$s.10" --count "$per"
  sims+=("sim$s")
  hosts+=("10.77.$s.1")
done
lab_await_ready 10 "${sims[@]}" || true

run() { # RCVBUF (0: leave the socket's buffer as the system gives it)
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
