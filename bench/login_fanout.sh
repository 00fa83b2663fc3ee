#!/usr/bin/env bash
# Login-only to many simulated displays at once: the time from the request to the last
# "login" message, against a reference run to a single display in the same lab.
# Usage: bench/login_fanout.sh [BUILD_DIR] [DISPLAYS]   (root; runs in its own network lab)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build}
displays=${2:-250}
# shellcheck source-path=SCRIPTDIR source=../tests/lab/session.sh
source "$src/tests/lab/session.sh"
lab_check "needs root and ip netns"

subnets=$(((displays + 199) / 200))
per=$(((displays + subnets - 1) / subnets))
lab_session fanout --subnets "$subnets" --displays-per-subnet "$per"
lab_app_folder "$work/app" auto

lasts=()
for s in $(seq 1 "$subnets"); do
  lab_start_sim "$s" "sim$s" --address "10.77.$s.10" --count "$per" --idle-ms 10000
  lasts+=("10.77.$s.$((10 + per - 1))")
done
lab_await_connect 10 "${lasts[@]}" || true

# Milliseconds from the request to the last of COUNT login messages.
run_logins() { # COUNT
  local count=$1 ips="" s i n=0
  for s in $(seq 1 "$subnets"); do
    for i in $(seq 10 $((10 + per - 1))); do
      [ "$n" -lt "$count" ] || break
      ips+="\"10.77.$s.$i:80\","
      n=$((n + 1))
    done
  done
  local request='{"C":"deploy","T":"login","V":1,"P":{"user":"admin","pass":"12345","ip":['"${ips%,}"']}}'
  local out="$work/out-$count.txt" start now seen
  start=$(date +%s%N)
  XDG_RUNTIME_DIR="$work" bash "$lab" exec-host "$name" "$build/quillora-cli" --folder "$work/app" \
    --wait 30 "$request" >"$out" 2>/dev/null &
  local cli=$!  # lab.sh execs into ip netns exec, which execs quillora-cli: the same process
  for _ in $(seq 1 6000); do
    seen=$(grep -c '"T":"login"' "$out" || true)
    [ "$seen" -ge "$count" ] && break
    sleep 0.005
  done
  now=$(date +%s%N)
  kill -TERM "$cli" 2>/dev/null || true
  wait "$cli" || true
  [ "$seen" -ge "$count" ] || { echo "only $seen of $count logins reported" >&2; exit 1; }
  echo $(((now - start) / 1000000))
}

one=$(run_logins 1)
all=$(run_logins "$displays")
ok=$(awk -v a="$all" 'BEGIN { print (a < 1000) ? "yes" : "no" }')
echo "displays=$displays single_login_ms=$one all_logins_ms=$all"
awk -v o="$one" -v a="$all" -v n="$displays" \
  'BEGIN { printf "ratio all/single=%.2f  (serial would be %.0f)  per-display=%.2f ms\n", a / o, n, a / n }'
echo "target: all $displays logins under 1000 ms: $ok"
