#!/usr/bin/env bash
# A display that accepts the connection but never answers is given up after the answer
# time-out (30 s) and reported like any connection error.
# Usage: device_timeout_lab.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
src=$2
lab="$src/tests/lab/lab.sh"
bash "$lab" check || exit 77

name="mute$$"
work=$(mktemp -d /tmp/quillora-mute-XXXXXX)
trap 'bash "$lab" down "$name"; rm -rf "$work"' EXIT
eval "$(bash "$lab" up "$name" --subnets 1 --displays-per-subnet 1)"
mkdir -p "$work/app/web"
printf 'notification:\n  port: 8089\nsearch:\n  port: 37020\nlanguage: auto\n' >"$work/app/config.yaml"

bash "$lab" exec-display "$name" 1 "$build/quillora-display-sim" --address 10.77.1.10 \
  --fault never-answer --journal "$work/journal.jsonl" >"$work/sim.log" 2>&1 &
for _ in $(seq 1 100); do
  bash "$lab" exec-host "$name" bash -c 'exec 3<>/dev/tcp/10.77.1.10/80' 2>/dev/null && break
  sleep 0.05
done

start=$(date +%s)
XDG_RUNTIME_DIR="$work" bash "$lab" exec-host "$name" "$build/quillora-cli" --folder "$work/app" \
  --wait 45 --until mgclose \
  '{"C":"deploy","T":"login","V":1,"P":{"user":"admin","pass":"12345","ip":["10.77.1.10:80"]}}' \
  >"$work/out.txt"
elapsed=$(($(date +%s) - start))
expected='{"C":"deploy","P":{"ip":"10.77.1.10:80","status":"mgerror"},"T":"device","V":1}
{"C":"deploy","P":{"ip":"10.77.1.10:80","status":"mgclose"},"T":"device","V":1}'
[ "$(cat "$work/out.txt")" = "$expected" ] || { echo "FAIL: got $(cat "$work/out.txt")" >&2; exit 1; }
[ "$elapsed" -ge 29 ] && [ "$elapsed" -le 40 ] || { echo "FAIL: gave up after ${elapsed}s" >&2; exit 1; }
echo "given up after ${elapsed}s"
