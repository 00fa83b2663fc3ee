#!/usr/bin/env bash
# Every display operation end to end: quillora-cli in the lab's host namespace, fed one request
# at a time, against simulated displays in two subnets that download what they are told.
# Usage: deploy_lab.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
src=$2
samples="$src/tests/data/media"
# shellcheck source-path=SCRIPTDIR source=../lab/session.sh
source "$src/tests/lab/session.sh"
lab_check

lab_on_exit() { [ -n "${HOST_PID:-}" ] && kill "$HOST_PID" 2>/dev/null; }
lab_session deploy --subnets 2 --displays-per-subnet 2

fail() {
  echo "FAIL: $*" >&2
  echo "--- page messages" >&2
  cat "$work/out.txt" >&2 || true
  echo "--- host stderr" >&2
  cat "$work/err.txt" >&2 || true
  exit 1
}

app="$work/app"
lab_app_folder "$app" en lang/en
head -c 1234 /dev/urandom >"$work/settings.conf"
cp "$samples/image.png" "$work/logo.png"
cp "$samples/sound_16k_mono_s16.wav" "$work/hello.wav"
head -c 5000 /dev/urandom >"$work/update.epak"
cat >"$work/answers.json" <<JSON
[["$samples/h264_aac.mp4", "$samples/image.png"], ["$work/update.epak"], ["$work/settings.conf"],
 ["$work/logo.png"], ["$work/hello.wav"]]
JSON

for s in 1 2; do
  lab_start_sim "$s" "sim$s" --address "10.77.$s.10" --journal "$work/d$s.jsonl"
done
# A display that takes its time over every answer: it is still fetching when the host stops.
lab_start_sim 1 slow --address 10.77.1.11 --fault slow=2000 --journal "$work/slow.jsonl"
lab_await_connect 5 10.77.1.10 10.77.2.10 10.77.1.11 || true

coproc HOST {
  XDG_RUNTIME_DIR="$work" exec bash "$lab" exec-host "$name" "$build/quillora-cli" --folder "$app" \
    --answers "$work/answers.json" - 2>"$work/err.txt"
}
HOST_PID=$HOST_PID
: >"$work/out.txt"

send() { echo "$1" >&"${HOST[1]}"; }
# Reads page messages until COUNT more of them match PATTERN (an extended regex), at most 20 s.
await() {
  local pattern=$1 count=${2:-1} line seen=0 deadline=$((SECONDS + 20))
  while [ "$seen" -lt "$count" ]; do
    [ "$SECONDS" -lt "$deadline" ] || fail "timed out waiting for $count x $pattern"
    IFS= read -r -t 5 line <&"${HOST[0]}" || continue
    echo "$line" >>"$work/out.txt"
    if [[ "$line" =~ $pattern ]]; then
      seen=$((seen + 1))
      LAST=$line
    fi
  done
}
users='"user":"admin","pass":"12345","ip":["10.77.1.10:80","10.77.2.10:80"]'

# Media intake, then a two-item playlist deployed to both displays.
send '{"C":"add","T":"media","V":1,"P":""}'
await '"C":"add"'
first=$(jq -r '.P[0].path' <<<"$LAST")
second=$(jq -r '.P[1].path' <<<"$LAST")
[ -f "$app/web/media/$first" ] && [ -f "$app/web/media/$second" ] || fail "media not copied: $LAST"
send '{"C":"save","T":"playlist","V":1,"P":{"name":"show.json","playlist":[{"url":"'"$first"'","type":1,"title":"clip","id":11,"duration":20},{"url":"'"$second"'","type":1,"title":"still","id":3000000000,"duration":10}]}}'
await '"status":"OK"},"T":"playlist"'
send '{"C":"deploy","T":"playlist","V":1,"P":{'"$users"',"file":"show.json"}}'
await '"failed":"0","ip":"10\.77\.[12]\.10:[0-9]+","status":"finish","success":"2","total":"2"\},"T":"playlist"' 2

for s in 1 2; do
  jq -se --arg host "10.77.$s.1" '
    [.[] | select(.event=="request") | .target | sub("\\?.*"; "")] as $paths
    | ($paths | index("/ISAPI/VideoAdvert/RequestUploadList")) as $r
    | ($paths | index("/ISAPI/VideoAdvert/FetchListConfig")) as $f
    | $r != null and $f == $r + 1
    and ([.[] | select(.event=="request" and (.target | startswith("/ISAPI/VideoAdvert/FetchListConfig")))][0].body
         | contains("<NotifyServerHost>" + $host + "</NotifyServerHost>")
           and contains("<FetchURL>http://" + $host + ":8089/media/")
           and contains("<FileID>-1294967296</FileID>"))
    and ([.[] | select(.event=="fetch" and .ok)] | length) == 2' "$work/d$s.jsonl" >/dev/null ||
    fail "display $s did not get its playlist from 10.77.$s.1"
done

# A playlist whose media file is gone sends nothing.
requests_before=$(cat "$work"/d*.jsonl | grep -c '"event":"request"')
send '{"C":"save","T":"playlist","V":1,"P":{"name":"gap.json","playlist":[{"url":"gone.mp4","type":1,"title":"x","id":1,"duration":5}]}}'
await '"name":"gap.json","status":"OK"'
send '{"C":"deploy","T":"playlist","V":7,"P":{'"$users"',"file":"gap.json"}}'
await '^\{"C":"error","P":\{"status":"zerosize"\},"T":"playlist","V":7\}$'
sleep 0.5
[ "$(cat "$work"/d*.jsonl | grep -c '"event":"request"')" = "$requests_before" ] || fail "zerosize still sent"

# Emergency with a playlist: three requests in order, reported as "emergency".
send '{"C":"deploy","T":"emergency","V":1,"P":{'"$users"',"file":"show.json","enable":"1"}}'
await '"status":"finish","success":"2","total":"2"\},"T":"emergency"' 2
jq -se '[.[] | select(.event=="request") | .target | sub("\\?.*"; "")] | .[-5:] ==
  ["/ISAPI/Security/Login","/ISAPI/Security/Login","/ISAPI/Gui/UrgentConfig",
   "/ISAPI/VideoAdvert/RequestUploadList","/ISAPI/VideoAdvert/FetchListConfig"]' "$work/d1.jsonl" >/dev/null ||
  fail "emergency order"

# Firmware: copied, fetched by each display, reported by each.
send '{"C":"add","T":"firmware","V":1,"P":""}'
await '"path":"update.epak","title":"update.epak"'
send '{"C":"deploy","T":"firmware","V":1,"P":{'"$users"',"title":"update.epak"}}'
await '"status":"OK"\},"T":"firmware"' 2

# Configuration package of 1234 bytes: data at offset 0, closing request at 1234.
send '{"C":"add","T":"configure","V":1,"P":""}'
await '"title":"settings.conf"'
conf_path=$(jq -r '.P.path' <<<"$LAST")
send '{"C":"deploy","T":"configure","V":1,"P":{'"$users"',"title":"settings.conf","path":"'"$conf_path"'"}}'
await '"status":"OK"\},"T":"configure"' 2
stored="$(printf '%s' settings.conf | md5sum | cut -d' ' -f1).conf"
jq -se --arg name "$stored" '[.[] | select(.event=="request" and (.target | startswith("/ISAPI/UploadFile")))]
  | length == 2
  and (.[0].target | startswith("/ISAPI/UploadFile/TemplateConfig?name=" + $name + "&offset=0&ID="))
  and (.[1].target | startswith("/ISAPI/UploadFile/TemplateConfig?name=" + $name + "&offset=1234&ID="))
  and .[0].headers["Content-Length"] == "1234" and .[1].headers["Content-Length"] == "0"' \
  "$work/d1.jsonl" >/dev/null || fail "upload requests"

# The settings: each display answers each with its own "OK".
send '{"C":"add","T":"brand","V":1,"P":""}'
await '"T":"brand"'
logo=$(jq -r '.P.path' <<<"$LAST")
send '{"C":"add","T":"alertAudio","V":1,"P":""}'
await '"T":"alertAudio"'
sound=$(jq -r '.P.path' <<<"$LAST")
for request in \
  '"T":"brand","V":1,"P":{'"$users"',"enable":"1","x":"0","y":"0","width":"100","height":"50","title":"logo.png","path":"'"$logo"'"}|brand' \
  '"T":"banner","V":1,"P":{'"$users"',"always":"1","pir":"0","face":"0","motion":"1","alarm":"0","title":"logo.png","path":"'"$logo"'"}|deterrence' \
  '"T":"greeting","V":1,"P":{'"$users"',"pir":"1","face":"0","motion":"0","alarm":"0","title":"hello.wav","path":"'"$sound"'"}|deterrence'; do
  send '{"C":"deploy",'"${request%|*}"'}'
  await '"status":"OK"\},"T":"'"${request##*|}"'"' 2
done
send '{"C":"undeploy","T":"playlist","V":1,"P":{'"$users"'}}'
await '"status":"OK"\},"T":"clear"' 2
send '{"C":"set","T":"ad","V":1,"P":{'"$users"',"cmd":"1"}}'
await '"status":"OK"\},"T":"adSwitch"' 2
send '{"C":"set","T":"adCamSwitch","V":1,"P":{'"$users"',"cmd":"0"}}'
await '"status":"OK"\},"T":"adSwitch"' 2
send '{"C":"set","T":"screen","V":1,"P":{'"$users"',"cmd":"0"}}'
await '"status":"OK"\},"T":"screen"' 2
send '{"C":"set","T":"devName","V":1,"P":{"user":"admin","pass":"12345","ip":["10.77.2.10:80"],"devName":"Lobby","devId":"SN","devMode":"M","devVersion":"V","info":""}}'
await '"ip":"10\.77\.2\.10:80","status":"OK"\},"T":"devName"'

# A deploy interrupted while the display has the fetch list but has not fetched yet.
send '{"C":"deploy","T":"playlist","V":1,"P":{"user":"admin","pass":"12345","ip":["10.77.1.11:80"],"file":"show.json"}}'
for ((i = 0; i < 200; i++)); do
  grep -q '"target":"/ISAPI/VideoAdvert/FetchListConfig' "$work/slow.jsonl" && break
  sleep 0.05
done
exec {HOST[1]}>&-
wait "$HOST_PID" || fail "quillora-cli exited $?"
HOST_PID=
notices=$(grep -c '"event":"notify"' "$work/slow.jsonl" || true)
[ "$notices" = 0 ] || fail "the interrupted deploy was not interrupted"
# The next run only logs in; the display's late result must not be taken for a deploy of it.
XDG_RUNTIME_DIR="$work" timeout 30 bash "$lab" exec-host "$name" "$build/quillora-cli" \
  --folder "$app" --wait 15 --until '"T":"login"' \
  '{"C":"deploy","T":"login","V":1,"P":{"user":"admin","pass":"12345","ip":["10.77.1.11:80"]}}' \
  >"$work/login.txt" 2>>"$work/err.txt" || fail "login run exited $?"
grep -q '"status":"OK","user":"admin"},"T":"login"' "$work/login.txt" || fail "no login: $(cat "$work/login.txt")"
! grep -q finish "$work/login.txt" || fail "a login run reported a fetch: $(cat "$work/login.txt")"
jq -se '[.[] | select(.event=="notify" and .answer_status==200)] | length == 1' "$work/slow.jsonl" \
  >/dev/null || fail "the late result did not reach the second run"
[ -z "$(ls "$app/web/firmware")" ] || fail "firmware copies left after exit"
[ -f "$app/web/media/$first" ] || fail "media of a saved playlist removed at exit"
echo "deploy lab: all checks passed"
