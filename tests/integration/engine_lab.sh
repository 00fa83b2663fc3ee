#!/usr/bin/env bash
# Each connection's events belong to the display and run that opened it: back-to-back deploys
# to a display that takes its time, and three displays behind one address on different ports.
# Usage: engine_lab.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
src=$2
samples="$src/tests/data/media"
# shellcheck source-path=SCRIPTDIR source=../lab/session.sh
source "$src/tests/lab/session.sh"
lab_check

lab_on_exit() { [ -n "${HOST_PID:-}" ] && kill "$HOST_PID" 2>/dev/null; }
lab_session engine --subnets 1 --displays-per-subnet 2
fail() { echo "FAIL: $*" >&2 && cat "$work/out.txt" "$work/err.txt" >&2; exit 1; }
app="$work/app"
lab_app_folder "$app" en
echo "[[\"$samples/h264_aac.mp4\", \"$samples/image.png\"]]" >"$work/answers.json"
sim() { lab_start_sim 1 "$1" --no-discovery --journal "$work/$1.jsonl" "${@:2}"; }
sim slow --address 10.77.1.10 --fault slow=400
sim own --address 10.77.1.11 --port 8000 --password pw
sim other --address 10.77.1.11 --port 8001 --password another
lab_await_connect 5 10.77.1.10 || fail "simulators not up"

: >"$work/out.txt"
coproc HOST { XDG_RUNTIME_DIR="$work" exec bash "$lab" exec-host "$name" "$build/quillora-cli" \
  --folder "$app" --answers "$work/answers.json" - 2>"$work/err.txt"; }
HOST_PID=$HOST_PID
send() { echo "$1" >&"${HOST[1]}"; }
await() { lab_await_message "$@" || fail "timed out waiting for ${2:-1} x $1"; }
deploy() { send '{"C":"deploy","T":"playlist","V":1,"P":{"user":"admin","pass":"'"$1"'","file":"show.json","ip":['"$2"']}}'; }
# The state each display of the next run ends in, "ip state" per line, sorted.
ends() {
  local count=$1 run=
  : >"$work/ends.txt"
  for ((i = 0; i < count; i++)); do
    await '"C":"state".*"state":"(confirmed|failed|incomplete|reported)"' 1 60
    run=${run:-$(jq -r '.P.id' <<<"$LAST")}
    [ "$(jq -r '.P.id' <<<"$LAST")" = "$run" ] || fail "a state of another run: $LAST"
    jq -r '"\(.P.ip) \(.P.state)"' <<<"$LAST" >>"$work/ends.txt"
  done
  sort "$work/ends.txt" | paste -sd,
}

send '{"C":"add","T":"media","V":1,"P":""}'
await '"C":"add"'
send '{"C":"save","T":"playlist","V":1,"P":{"name":"show.json","playlist":[{"url":"'"$(jq -r '.P[0].path' <<<"$LAST")"'","type":1,"title":"clip","id":1,"duration":20},{"url":"'"$(jq -r '.P[1].path' <<<"$LAST")"'","type":1,"title":"still","id":2,"duration":10}]}}'
await '"status":"OK"},"T":"playlist"'

# Each deploy starts as soon as the one before is confirmed, while its connection still closes.
for attempt in 1 2 3 4; do
  deploy 12345 '"10.77.1.10:80"'
  [ "$(ends 1)" = "10.77.1.10:80 confirmed" ] || fail "deploy $attempt: $(cat "$work/ends.txt")"
done
jq -se '[.[] | select(.event == "request") | .target | select(contains("ID=&") or endswith("ID="))] == []' \
  "$work/slow.jsonl" >/dev/null || fail "a request went out without its session"

# One address, three ports: the right password, a wrong one, and a port nobody listens on.
deploy pw '"10.77.1.11:8000","10.77.1.11:8001","10.77.1.11:8009"'
got=$(ends 3)
[ "$got" = "10.77.1.11:8000 confirmed,10.77.1.11:8001 failed,10.77.1.11:8009 failed" ] || fail "one address: $got"
jq -se '[.[] | select(.event == "request") | .target | sub("\\?.*"; "")] == ["/ISAPI/Security/Login",
  "/ISAPI/Security/Login", "/ISAPI/VideoAdvert/RequestUploadList", "/ISAPI/VideoAdvert/FetchListConfig"]' \
  "$work/own.jsonl" >/dev/null || fail "the working display was sent: $(jq -c .target "$work/own.jsonl")"
grep -q '"ip":"10.77.1.11:8001","status":"ERROR"},"T":"login"' "$work/out.txt" || fail "no login ERROR for :8001"
exec {HOST[1]}>&-
wait "$HOST_PID" || fail "quillora-cli exited $?"
HOST_PID=
echo "engine lab: all checks passed"
