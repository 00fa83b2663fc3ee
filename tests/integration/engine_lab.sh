#!/usr/bin/env bash
# Each connection's events belong to the display and run that opened it: back-to-back deploys
# to a display that takes its time, and three displays behind one address on different ports.
# Then a journal that cannot write: a database another program holds, a data folder that fills.
# Usage: engine_lab.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
# shellcheck source-path=SCRIPTDIR source=../lab/session.sh
source "$src/tests/lab/session.sh"
lab_check

lab_on_exit() {
  [ -n "${HOST_PID:-}" ] && kill -9 "$HOST_PID" 2>/dev/null
  [ -n "${LOCK_PID:-}" ] && kill "$LOCK_PID" 2>/dev/null
  if [ -n "${mounted:-}" ]; then wait "${HOST_PID:-}" 2>/dev/null; umount "$mounted"; fi
}
lab_session engine --subnets 1 --displays-per-subnet 2
app="$work/app"
lab_app_folder "$app" en
echo "[[\"$samples/h264_aac.mp4\", \"$samples/image.png\"]]" >"$work/answers.json"
sim() { lab_start_sim 1 "$1" --no-discovery --journal "$work/$1.jsonl" "${@:2}"; }
sim slow --address 10.77.1.10 --fault slow=400
sim own --address 10.77.1.11 --port 8000 --password pw
sim other --address 10.77.1.11 --port 8001 --password another
lab_await_connect 5 10.77.1.10 || fail "simulators not up"

start_host() { lab_start_host "$1" --answers "$work/answers.json"; }
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

show() {
  send '{"C":"add","T":"media","V":1,"P":""}'
  await '"C":"add"'
  send '{"C":"save","T":"playlist","V":1,"P":{"name":"show.json","playlist":[{"url":"'"$(jq -r '.P[0].path' <<<"$LAST")"'","type":1,"title":"clip","id":1,"duration":20},{"url":"'"$(jq -r '.P[1].path' <<<"$LAST")"'","type":1,"title":"still","id":2,"duration":10}]}}'
  await '"status":"OK"},"T":"playlist"'
}
start_host "$app"
show

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

# Another program holds the database: the deploy goes out, and the page and stderr say that it
# is not recorded, and why.
(echo "BEGIN EXCLUSIVE;" && sleep 8 && echo "COMMIT;") | sqlite3 "$app/data/quillora.db" &
LOCK_PID=$!
sleep 1
deploy pw '"10.77.1.11:8000"'
await '"C":"stopped"' 1 20
jq -e '(.P.error | test("database is locked")) and .P.kind == "playlist"' <<<"$LAST" >/dev/null || fail "locked: $LAST"
await '"status":"finish"' 1 30
grep -q '^quillora: .*database is locked' "$work/err.txt" || fail "stderr does not say the journal stopped"
lab_stop_host
wait "$LOCK_PID"
LOCK_PID=

# A data folder that fills up: every state the page is told is one the history reads back.
full="$work/full"
lab_app_folder "$full" en
mkdir "$full/data"
mount -t tmpfs -o size=200k,mode=700 tmpfs "$full/data"
mounted=$full/data
start_host "$full"
show
for ((n = 0; n < 20; n++)); do
  deploy pw '"10.77.1.11:8000"'
  await '"status":"finish"' 1 30
  grep -q '"C":"stopped"' "$work/out.txt" && break
done
grep '"C":"stopped"' "$work/out.txt" | grep -q 'database or disk is full' || fail "the journal never said it stopped"
deploy pw '"10.77.1.11:8000"'
await '"C":"stopped".*"kind":"playlist"'
send '{"T":"inventory","C":"add","V":1,"P":{"ip":"10.77.1.12:80"}}'
await '"C":"add"'
jq -e '.P.status == "OK" or (.P.error | test("full"))' <<<"$LAST" >/dev/null || fail "the first error is not the one told: $LAST"
told=$(grep '"C":"state"' "$work/out.txt" | jq -c '[.P.id, .P.ip, .P.state]' | sort -u)
lab_stop_host
start_host "$full"
send '{"T":"history","C":"get","V":1,"P":{"limit":100}}'
await '"runs"'
kept=$(jq -c '.P.runs[] | .id as $id | .displays[] | select(.state != "pending" and .state != "interrupted")
  | [$id, .ip, .state]' <<<"$LAST" | sort -u)
[ "$told" = "$kept" ] || fail "told: $told; kept: $kept"
lab_stop_host
echo "engine lab: all checks passed"
