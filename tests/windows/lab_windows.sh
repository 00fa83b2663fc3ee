#!/usr/bin/env bash
# quillora-cli.exe under Wine in a network lab's host namespace deploys a playlist to two
# simulated displays (the Linux simulator) in two subnets; both report "finish" with every
# file fetched, and what they were sent equals what the Linux build sends them.
# Usage: lab_windows.sh WINDOWS_BUILD SOURCE_DIR LINUX_BUILD (KEEP_WORK=DIR: a copy of the
# work folder, journals and page messages, is left there)
set -euo pipefail
win=$1 src=$2 build=$3
exe="$win/quillora-cli.exe"
samples="$src/tests/data/media"
[ -x "$exe" ] || { echo "no $exe" >&2; exit 1; }
[ -x "$build/quillora-display-sim" ] || { echo "no $build/quillora-display-sim" >&2; exit 1; }
# shellcheck source-path=SCRIPTDIR source=../lab/session.sh
source "$src/tests/lab/session.sh"
lab_check

wine_run="$src/scripts/windows/wine-run.sh"
# Wine's sockets belong to the wineserver of the prefix, which must run in the lab's host
# namespace: wine-run.sh keeps one prefix per namespace, and its server goes with the lab.
lab_on_exit() { bash "$lab" exec-host "$name" bash "$wine_run" --stop "$exe" 2>/dev/null; }
lab_session winlab --subnets 2 --displays-per-subnet 1
[ -n "${KEEP_WORK:-}" ] && trap 'cp -r "$work" "$KEEP_WORK"; lab_cleanup' EXIT
fail() { echo "FAIL: $*" >&2 && cat "$work"/*.out.txt "$work"/*.err.txt >&2; exit 1; }
for s in 1 2; do
  lab_start_sim "$s" "sim$s" --address "10.77.$s.10" --journal "$work/d$s.jsonl"
done
lab_await_ready 10 sim1 sim2 || fail "the simulators did not start"

# Media are placed as the intake would store them: the Windows folder has no MediaInfo.dll to
# probe them with.
app_folder() {
  lab_app_folder "$1" en media
  cp "$samples/h264_aac.mp4" "$1/web/media/clip.mp4"
  cp "$samples/image.png" "$1/web/media/still.png"
}
targets='"user":"admin","pass":"12345","ip":["10.77.1.10:80","10.77.2.10:80"]'
save='{"C":"save","T":"playlist","V":1,"P":{"name":"show.json","playlist":[{"url":"clip.mp4","type":1,"title":"clip","id":11,"duration":20},{"url":"still.png","type":1,"title":"still","id":12,"duration":10}]}}'
deploy='{"C":"deploy","T":"playlist","V":1,"P":{'"$targets"',"file":"show.json"}}'
finish='"failed":"0","ip":"10\.77\.[12]\.10:[0-9]+","status":"finish","success":"2","total":"2"\},"T":"playlist"'

# deploy_with TAG PROGRAM...: the program in the host namespace until both displays finished.
deploy_with() {
  local tag=$1
  shift
  app_folder "$work/$tag"
  coproc HOST {
    XDG_RUNTIME_DIR=$work exec bash "$lab" exec-host "$name" "$@" --folder "$work/$tag" \
      --wait 90 "$save" "$deploy" 2>"$work/$tag.err.txt"
  }
  : >"$work/out.txt"
  lab_await_message "$finish" 2 120 || fail "$tag: no finish from both displays"
  mv "$work/out.txt" "$work/$tag.out.txt"
  kill "$HOST_PID" 2>/dev/null || true
  wait "$HOST_PID" 2>/dev/null || true
}
# sent S FIRST [LAST]: what display S was sent in those lines of its journal, logins left out
# (their digests answer a fresh challenge) and each deploy's own ID in the address; a line per
# request, then the count of good fetches.
sent() {
  sed -n "$2,${3:-\$}p" "$work/d$1.jsonl" | jq -sc '
    ([.[] | select(.event=="request" and (.target | startswith("/ISAPI/Security/Login") | not))
      | {target: (.target | sub("ID=[0-9a-f]{32}"; "ID=(digest)")), body}] | .[]), ([.[] | select(.event=="fetch" and .ok)] | length)'
}

deploy_with windows bash "$wine_run" "$exe"
# The server ends with its programs: the sockets it held are free for the Linux host.
bash "$lab" exec-host "$name" bash "$wine_run" --stop "$exe"
declare -A lines
for s in 1 2; do lines[$s]=$(wc -l <"$work/d$s.jsonl"); done
deploy_with linux "$build/quillora-cli"
for s in 1 2; do
  sent "$s" 1 "${lines[$s]}" >"$work/windows$s.sent"
  sent "$s" "$((lines[$s] + 1))" >"$work/linux$s.sent"
  [ "$(tail -n 1 "$work/windows$s.sent")" = 2 ] || fail "display $s fetched $(tail -n 1 "$work/windows$s.sent") files"
  [ "$(wc -l <"$work/linux$s.sent")" -gt 2 ] || fail "display $s recorded no request"
  diff "$work/windows$s.sent" "$work/linux$s.sent" >&2 || fail "display $s got other requests"
done
echo "lab_windows: both displays finished; their requests equal the Linux build's"
