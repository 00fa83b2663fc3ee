#!/usr/bin/env bash
# Every display operation end to end: quillora-cli in the lab's host namespace, fed one request
# at a time, against simulated displays in two subnets that download what they are told; then
# a deploy interrupted while its display still fetches, and a display that never answers.
# Usage: deploy_lab.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
# shellcheck source-path=SCRIPTDIR source=../lab/session.sh
source "$src/tests/lab/session.sh"
lab_check

lab_session deploy --subnets 2 --displays-per-subnet 2
app="$work/app"
lab_app_folder "$app" en lang/en
head -c 1234 /dev/urandom >"$work/settings.conf"
head -c 5000 /dev/urandom >"$work/update.epak"
cat >"$work/answers.json" <<JSON
[["$samples/h264_aac.mp4", "$samples/image.png"], ["$work/update.epak"], ["$work/settings.conf"],
 ["$samples/image.png"], ["$samples/sound_16k_mono_s16.wav"]]
JSON
for s in 1 2; do
  lab_start_sim "$s" "sim$s" --address "10.77.$s.10" --journal "$work/d$s.jsonl"
done
# One takes its time over every answer, so that it still fetches when the host stops; one never
# answers at all.
lab_start_sim 1 slow --address 10.77.1.11 --fault slow=2000 --journal "$work/slow.jsonl"
lab_start_sim 2 mute --address 10.77.2.11 --fault never-answer
lab_await_connect 5 10.77.1.10 10.77.2.10 10.77.1.11 10.77.2.11 || true
cli() { XDG_RUNTIME_DIR="$work" exec bash "$lab" exec-host "$name" "$build/quillora-cli" "$@"; }
login='{"C":"deploy","T":"login","V":1,"P":{"user":"admin","pass":"12345","ip":["10.77.2.11:80"]}}'
# The mute display's host runs beside the others: its own folder, lock and ports.
mkdir -p "$work/mute/app/web"
printf 'notification: {port: 8090}\nsearch: {port: 37021}\nlanguage: auto\n' >"$work/mute/app/config.yaml"
started=$SECONDS
(work=$work/mute cli --folder "$work/mute/app" --wait 45 --until mgclose "$login" >"$work/mute.txt") &
LAB_PIDS+=($!)

coproc HOST { cli --folder "$app" --answers "$work/answers.json" - 2>"$work/err.txt"; }
HOST_PID=$HOST_PID
: >"$work/out.txt"
users='"user":"admin","pass":"12345","ip":["10.77.1.10:80","10.77.2.10:80"]'
add() { send '{"C":"add","T":"'"$1"'","V":1,"P":""}' && await "$2" && path=$(jq -r '.P.path' <<<"$LAST"); }
deploy() { send '{"C":"'"$1"'","T":"'"$2"'","V":1,"P":{'"$users$3"'}}' && await "$4" 2; }

send '{"C":"add","T":"media","V":1,"P":""}'
await '"C":"add"'
first=$(jq -r '.P[0].path' <<<"$LAST")
second=$(jq -r '.P[1].path' <<<"$LAST")
send '{"C":"save","T":"playlist","V":1,"P":{"name":"show.json","playlist":[{"url":"'"$first"'","type":1,"title":"clip","id":11,"duration":20},{"url":"'"$second"'","type":1,"title":"still","id":3000000000,"duration":10}]}}'
await '"status":"OK"},"T":"playlist"'
deploy deploy playlist ',"file":"show.json"' '"failed":"0","ip":"10\.77\.[12]\.10:[0-9]+","status":"finish","success":"2","total":"2"\},"T":"playlist"'
for s in 1 2; do
  jq -se --arg host "10.77.$s.1" '([.[] | select(.event=="request" and (.target | startswith("/ISAPI/VideoAdvert/FetchListConfig")))][0].body
    | contains("<NotifyServerHost>" + $host + "</NotifyServerHost>") and contains("<FetchURL>http://" + $host + ":8089/media/"))
    and ([.[] | select(.event=="fetch" and .ok)] | length) == 2' "$work/d$s.jsonl" >/dev/null ||
    fail "display $s did not get its playlist from 10.77.$s.1"
done
deploy deploy emergency ',"file":"show.json","enable":"1"' '"status":"finish","success":"2","total":"2"\},"T":"emergency"'
jq -se '[.[] | select(.event=="request") | .target | sub("\\?.*"; "")] | .[-5:] ==
  ["/ISAPI/Security/Login","/ISAPI/Security/Login","/ISAPI/Gui/UrgentConfig",
   "/ISAPI/VideoAdvert/RequestUploadList","/ISAPI/VideoAdvert/FetchListConfig"]' "$work/d1.jsonl" >/dev/null ||
  fail "emergency order"
add firmware '"path":"update.epak","title":"update.epak"'
deploy deploy firmware ',"title":"update.epak"' '"status":"OK"\},"T":"firmware"'
add configure '"title":"settings.conf"'
deploy deploy configure ',"title":"settings.conf","path":"'"$path"'"' '"status":"OK"\},"T":"configure"'
add brand '"T":"brand"'
logo=$path
add alertAudio '"T":"alertAudio"'
deploy deploy brand ',"enable":"1","x":"0","y":"0","width":"100","height":"50","title":"logo.png","path":"'"$logo"'"' '"OK"\},"T":"brand"'
deploy deploy banner ',"always":"1","pir":"0","face":"0","motion":"1","alarm":"0","title":"logo.png","path":"'"$logo"'"' '"OK"\},"T":"deterrence"'
deploy deploy greeting ',"pir":"1","face":"0","motion":"0","alarm":"0","title":"hello.wav","path":"'"$path"'"' '"OK"\},"T":"deterrence"'
deploy undeploy playlist '' '"OK"\},"T":"clear"'
deploy set ad ',"cmd":"1"' '"OK"\},"T":"adSwitch"'
deploy set adCamSwitch ',"cmd":"0"' '"OK"\},"T":"adSwitch"'
deploy set screen ',"cmd":"0"' '"OK"\},"T":"screen"'
deploy set devName ',"devName":"Lobby","devId":"SN","devMode":"M","devVersion":"V","info":""' '"OK"\},"T":"devName"'

# Interrupted while the display holds the fetch list but has not fetched yet.
send '{"C":"deploy","T":"playlist","V":1,"P":{"user":"admin","pass":"12345","ip":["10.77.1.11:80"],"file":"show.json"}}'
fetching() { grep -q '"target":"/ISAPI/VideoAdvert/FetchListConfig' "$work/$1"; }
lab_await 10 fetching slow.jsonl || true
exec {HOST[1]}>&-
wait "$HOST_PID" || fail "quillora-cli exited $?"
HOST_PID=
[ -z "$(ls "$app/web/firmware")" ] || fail "firmware copies left after exit"
[ -f "$app/web/media/$first" ] || fail "media of a saved playlist removed at exit"
! grep -q '"event":"notify"' "$work/slow.jsonl" || fail "the interrupted deploy was not interrupted"
# The next run only logs in; the display's late result is no deploy of it.
(cli --folder "$app" --wait 15 --until '"T":"login"' "${login/2.11/1.11}") >"$work/out.txt" 2>>"$work/err.txt" ||
  fail "login run exited $?"
grep -q '"status":"OK","user":"admin"},"T":"login"' "$work/out.txt" || fail "no login"
! grep -q finish "$work/out.txt" || fail "a login run reported a fetch"
jq -se '[.[] | select(.event=="notify" and .answer_status==200)] | length == 1' "$work/slow.jsonl" \
  >/dev/null || fail "the late result did not reach the second run"

# The mute display is given up after the answer time-out and reported like any connection error.
wait "${LAB_PIDS[-1]}" || fail "mute run exited $?"
[ "$(grep '"T":"device"' "$work/mute.txt")" = '{"C":"deploy","P":{"ip":"10.77.2.11:80","status":"mgerror"},"T":"device","V":1}
{"C":"deploy","P":{"ip":"10.77.2.11:80","status":"mgclose"},"T":"device","V":1}' ] || fail "mute: $(cat "$work/mute.txt")"
elapsed=$((SECONDS - started))
[ "$elapsed" -ge 29 ] && [ "$elapsed" -le 42 ] || fail "mute display given up after ${elapsed}s"
echo "deploy lab: all checks passed"
