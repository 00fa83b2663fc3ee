#!/usr/bin/env bash
# A search from quillora-cli in the lab's host namespace finds every simulated display in two
# subnets, once per answer, with the record's types right.
# Usage: discovery_lab.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
src=$2
# shellcheck source-path=SCRIPTDIR source=../lab/session.sh
source "$src/tests/lab/session.sh"
lab_check

lab_session discovery --subnets 2 --displays-per-subnet 3
lab_app_folder "$work/app" auto

lab_start_sim 1 sim1 --address 10.77.1.10 --count 3
lab_start_sim 2 sim2 --address 10.77.2.10 --count 3 --kind basic
lab_await_ready 5 sim1 sim2 || true

XDG_RUNTIME_DIR="$work" bash "$lab" exec-host "$name" "$build/quillora-cli" --folder "$work/app" \
  --wait 3 '{"T":"device","C":"search","V":1,"P":""}' >"$work/out.txt"

fail() { echo "FAIL: $*" >&2; cat "$work/out.txt" >&2; exit 1; }
[ "$(wc -l <"$work/out.txt")" = 6 ] || fail "expected 6 answers"
jq -se '
  all(.[]; .C == "add" and .T == "device" and .V == 1 and .P.HTTPPort == 80
           and ([.P.IPAddr, .P.MacAddr, .P.DeviceName] | map(type) | unique) == ["string"]
           and ([.P.BannerSupport, .P.VideoAdvertSupport, .P.ImageAdvertSupport] | map(type) | unique) == ["number"])
  and ([.[].P.IPAddr] | sort) == ["10.77.1.10","10.77.1.11","10.77.1.12","10.77.2.10","10.77.2.11","10.77.2.12"]
  and ([.[] | select(.P.IPAddr | startswith("10.77.2.")) | .P.VideoAdvertSupport] | unique) == [0]' \
  "$work/out.txt" >/dev/null || fail "records"
echo "discovery lab: 6 displays found"
