#!/usr/bin/env bash
# The desktop program end to end: in the lab's host namespace desktop_session.py drives quillora
# under Xvfb through WebKitWebDriver; screenshots go to BUILD_DIR/desktop-screenshots/.
# Usage: desktop_lab.sh BUILD_DIR SOURCE_DIR. Exit 77 (skipped) without root, network
# namespaces, Xvfb, WebKitWebDriver or python3.
set -euo pipefail
build=$1 src=$2 shots="$1/desktop-screenshots"
# shellcheck source-path=SCRIPTDIR source=../lab/session.sh
source "$src/tests/lab/session.sh"
lab_check
for tool in Xvfb WebKitWebDriver python3; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed" >&2; exit 77; }
done
[ -x "$build/quillora" ] && [ -x "$build/quillora-display-sim" ] || { echo "FAIL: not built in $build" >&2; exit 1; }
lab_session desktop --subnets 2 --displays-per-subnet 2
# 10.77.1.10 and .11 share one simulator; 10.77.2.10 and .11 have one each, so that one of
# them can be taken off the network while the others stay.
lab_start_sim 1 sim1 --address 10.77.1.10 --journal "$work/sim1.jsonl" --count 2
lab_start_sim 2 sim2a --address 10.77.2.10 --journal "$work/sim2a.jsonl"
lab_start_sim 2 sim2b --address 10.77.2.11 --journal "$work/sim2b.jsonl"
lab_await_ready 10 sim1 sim2a sim2b || { echo "FAIL: a simulator did not start" >&2; cat "$work"/*.err >&2; exit 1; }
mkdir -p "$work/app" "$shots" && rm -f "$shots"/*.png
cp -r "$build/web" "$work/app/web"
rm -rf "$work/app/web/conf" "$work/app/web/media" "$work/app/web/firmware"
lab_app_folder "$work/app" auto firmware
install -m 600 <(echo '{"foyer":{"user":"admin","pass":"12345"}}') "$work/logins.json"
echo "credentialsFile: $work/logins.json" >>"$work/app/config.yaml"
SIM_UNPLUG_PID=${LAB_PIDS[-1]} bash "$lab" exec-host "$name" python3 "$src/tests/desktop/desktop_session.py" \
  "$build" "$src" "$work" "$shots"
