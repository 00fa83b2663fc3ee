#!/usr/bin/env bash
# A search from quillora-cli in the lab's host namespace finds every simulated display in two
# subnets, once per answer, with the record's types right.
# Usage: discovery_lab.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
src=$2
lab="$src/tests/lab/lab.sh"
bash "$lab" check || exit 77

name="disc$$"
work=$(mktemp -d /tmp/quillora-discovery-XXXXXX)
trap 'bash "$lab" down "$name"; rm -rf "$work"' EXIT
eval "$(bash "$lab" up "$name" --subnets 2 --displays-per-subnet 3)"
mkdir -p "$work/app/web"
printf 'notification:\n  port: 8089\nsearch:\n  port: 37020\nlanguage: auto\n' >"$work/app/config.yaml"

bash "$lab" exec-display "$name" 1 "$build/quillora-display-sim" --address 10.77.1.10 --count 3 \
  >"$work/sim1.log" 2>&1 &
bash "$lab" exec-display "$name" 2 "$build/quillora-display-sim" --address 10.77.2.10 --count 3 \
  --kind basic >"$work/sim2.log" 2>&1 &
for s in 1 2; do
  for _ in $(seq 1 100); do
    grep -q '^READY' "$work/sim$s.log" 2>/dev/null && break
    sleep 0.05
  done
done

XDG_RUNTIME_DIR="$work" bash "$lab" exec-host "$name" "$build/quillora-cli" --folder "$work/app" \
  --wait 3 '{"T":"device","C":"search","V":1,"P":""}' >"$work/out.txt"

fail() {
  echo "FAIL: $*" >&2
  cat "$work/out.txt" >&2
  exit 1
}
[ "$(wc -l <"$work/out.txt")" = 6 ] || fail "expected 6 answers"
jq -se '
  all(.[]; .C == "add" and .T == "device" and .V == 1
           and (.P.IPAddr | type) == "string" and (.P.HTTPPort | type) == "number"
           and (.P.BannerSupport | type) == "number" and (.P.VideoAdvertSupport | type) == "number"
           and (.P.ImageAdvertSupport | type) == "number" and (.P.MacAddr | type) == "string"
           and (.P.DeviceName | type) == "string" and .P.HTTPPort == 80)
  and ([.[].P.IPAddr] | sort) == ["10.77.1.10","10.77.1.11","10.77.1.12","10.77.2.10","10.77.2.11","10.77.2.12"]
  and ([.[] | select(.P.IPAddr | startswith("10.77.2.")) | .P.VideoAdvertSupport] | unique) == [0]' \
  "$work/out.txt" >/dev/null || fail "records"
echo "discovery lab: 6 displays found"
