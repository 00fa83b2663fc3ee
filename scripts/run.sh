#!/usr/bin/env bash
# Builds Quillora and starts the desktop program in a private network lab (two subnets with two
# simulated displays each), so that a search finds displays without touching any real network.
# With a display server ($DISPLAY or $WAYLAND_DISPLAY set) it runs until the window is closed.
# Without one it runs under Xvfb, saves a screenshot of the started window, prints its path and
# stops after a few seconds. Needs root (network namespaces); installs nothing.
# QUILLORA_BUILD_DIR picks the build folder (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
build=$(realpath -m "${QUILLORA_BUILD_DIR:-build}")
lab="$src/tests/lab/lab.sh"

bash "$lab" check || { echo "run.sh: the network lab needs root and network namespaces" >&2; exit 1; }
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target quillora quillora-display-sim app_folder web_vendor

name="run$$"
work=$(mktemp -d /tmp/quillora-run-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  # Whatever did not stop on TERM is killed with the lab.
  bash "$lab" down "$name"
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
eval "$(bash "$lab" up "$name" --subnets 2 --displays-per-subnet 2)"
for subnet in 1 2; do
  bash "$lab" exec-display "$name" "$subnet" "$build/quillora-display-sim" \
    --address "10.77.$subnet.10" --count 2 >"$work/sim$subnet.log" 2>&1 &
  pids+=($!)
done
echo "Simulated displays: $LAB_DISPLAY_ADDRS (user admin, password 12345)" >&2

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  bash "$lab" exec-host "$name" "$build/quillora"
  exit 0
fi

# No display server: the window is shown on a virtual screen of exactly its size.
export GSETTINGS_BACKEND=memory QUILLORA_LOG="$work/quillora.log"
bash "$lab" exec-host "$name" Xvfb -displayfd 3 -screen 0 1280x720x24 -nolisten tcp \
  3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
for _ in $(seq 1 100); do
  [ -s "$work/display" ] && break
  sleep 0.1
done
[ -s "$work/display" ] || { echo "run.sh: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(tr -d '\n' <"$work/display")"
bash "$lab" exec-host "$name" "$build/quillora" &
pids+=($!)
for _ in $(seq 1 300); do
  grep -q 'ui script injection finished' "$work/quillora.log" 2>/dev/null && break
  sleep 0.1
done
sleep 2
screenshot="$build/quillora-window.png"
bash "$lab" exec-host "$name" import -window root "$screenshot"
echo "Screenshot of the started window: $screenshot"
sleep 3
