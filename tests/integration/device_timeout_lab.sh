#!/usr/bin/env bash
# A display that accepts the connection but never answers is given up after the answer
# time-out (30 s) and reported like any connection error.
# Usage: device_timeout_lab.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
src=$2
# shellcheck source-path=SCRIPTDIR source=../lab/session.sh
source "$src/tests/lab/session.sh"
lab_check

lab_session mute --subnets 1 --displays-per-subnet 1
lab_app_folder "$work/app" auto

lab_start_sim 1 sim --address 10.77.1.10 --fault never-answer --journal "$work/journal.jsonl"
lab_await_connect 5 10.77.1.10 || true

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
