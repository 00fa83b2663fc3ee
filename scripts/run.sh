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
# shellcheck source-path=SCRIPTDIR source=../tests/lab/session.sh
source "$src/tests/lab/session.sh"

lab_check "run.sh: the network lab needs root and network namespaces"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target quillora quillora-display-sim app_folder web_vendor

trap 'exit 130' INT TERM
lab_session run --subnets 2 --displays-per-subnet 2
for subnet in 1 2; do
  lab_start_sim "$subnet" "sim$subnet" --address "10.77.$subnet.10" --count 2
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
LAB_PIDS+=($!)
for _ in $(seq 1 100); do
  [ -s "$work/display" ] && break
  sleep 0.1
done
[ -s "$work/display" ] || { echo "run.sh: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(tr -d '\n' <"$work/display")"
bash "$lab" exec-host "$name" "$build/quillora" &
LAB_PIDS+=($!)
# The program logs "page drawn" once a frame of the complete page is on screen; a first start
# with cold caches may take many seconds to get there.
for _ in $(seq 1 600); do
  grep -q 'page drawn' "$work/quillora.log" 2>/dev/null && break
  sleep 0.1
done
grep -q 'page drawn' "$work/quillora.log" 2>/dev/null || {
  echo "run.sh: the page was not drawn within 60 s; the program's log:" >&2
  tail -n 20 "$work/quillora.log" >&2
  exit 1
}
screenshot="$build/quillora-window.png"
bash "$lab" exec-host "$name" import -window root "$screenshot"
echo "Screenshot of the started window: $screenshot"
sleep 3
