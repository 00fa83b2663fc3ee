#!/usr/bin/env bash
# The desktop program end to end: quillora under Xvfb in the lab's host namespace, driven
# through WebKitWebDriver, against simulated displays in two subnets. The session itself is
# desktop_session.sh; this script makes the lab and the displays and removes them again.
# Screenshots of the states it checks are kept in BUILD_DIR/desktop-screenshots/.
# Usage: desktop_lab.sh BUILD_DIR SOURCE_DIR. Exit 77 (skipped) without root, network
# namespaces, Xvfb, WebKitWebDriver, curl or jq.
set -euo pipefail
build=$1
src=$2
lab="$src/tests/lab/lab.sh"
bash "$lab" check || exit 77
for tool in Xvfb WebKitWebDriver curl jq base64; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed" >&2
    exit 77
  fi
done
for program in quillora quillora-display-sim; do
  [ -x "$build/$program" ] || { echo "FAIL: $build/$program is not built" >&2; exit 1; }
done

name="desk$$"
work=$(mktemp -d /tmp/quillora-desktop-XXXXXX)
sim_pids=()
cleanup() {
  for pid in "${sim_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  bash "$lab" down "$name"
  rm -rf "$work"
}
trap cleanup EXIT
eval "$(bash "$lab" up "$name" --subnets 2 --displays-per-subnet 2)"

# 10.77.1.10 and .11 share one simulator; 10.77.2.10 and .11 have one each, so that one of
# them can be taken off the network while the others stay.
start_sim() {
  local subnet=$1 address=$2 tag=$3
  shift 3
  bash "$lab" exec-display "$name" "$subnet" "$build/quillora-display-sim" --address "$address" \
    --journal "$work/$tag.jsonl" "$@" >"$work/$tag.out" 2>"$work/$tag.err" &
  sim_pids+=($!)
}
start_sim 1 10.77.1.10 sim1 --count 2
start_sim 2 10.77.2.10 sim2a
start_sim 2 10.77.2.11 sim2b
for tag in sim1 sim2a sim2b; do
  for _ in $(seq 1 100); do
    grep -q '^READY' "$work/$tag.out" 2>/dev/null && break
    sleep 0.1
  done
  grep -q '^READY' "$work/$tag.out" || { echo "FAIL: $tag did not start" >&2; cat "$work/$tag.err" >&2; exit 1; }
done

shots="$build/desktop-screenshots"
mkdir -p "$shots"
rm -f "$shots"/*.png
SIM_UNPLUG_PID=${sim_pids[2]} bash "$lab" exec-host "$name" bash "$src/tests/desktop/desktop_session.sh" \
  "$build" "$src" "$work" "$shots"
