#!/usr/bin/env bash
# A schedule fires by itself: quillora-cli --serve in the lab's host namespace, a playlist
# scheduled for the coming minute to a group of three simulated displays, the login in an
# owner-only credentials file. The firing is a run of its own, linked to its schedule, every
# display "confirmed"; SIGTERM then ends the host cleanly.
# Usage: schedule_lab.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
# shellcheck source-path=SCRIPTDIR source=../lab/session.sh
source "$src/tests/lab/session.sh"
lab_check
lab_session sched --subnets 1 --displays-per-subnet 3
app="$work/app"
lab_app_folder "$app" en
install -m 600 <(echo '{"lobby":{"user":"admin","pass":"Pw-sched"}}') "$work/logins.json"
echo "credentialsFile: $work/logins.json" >>"$app/config.yaml"
echo "[[\"$samples/h264_aac.mp4\"]]" >"$work/answers.json"
lab_start_sim 1 sim --address 10.77.1.10 --count 3 --password Pw-sched --no-discovery
lab_await_connect 5 10.77.1.10 10.77.1.12 || fail "simulators not up"
lab_start_host "$app" --serve --answers "$work/answers.json"
ips='"10.77.1.10:80","10.77.1.11:80","10.77.1.12:80"'
for ip in 10 11 12; do
  send '{"T":"inventory","C":"add","V":1,"P":{"ip":"10.77.1.'$ip':80"}}'
  await '"ip":"10\.77\.1\.'$ip':80","status":"OK"'
done
send '{"T":"group","C":"save","V":1,"P":{"name":"Lobby","ip":['"$ips"']}}'
await '"T":"group"'
send '{"C":"add","T":"media","V":1,"P":""}'
await '"C":"add"'
send '{"C":"save","T":"playlist","V":1,"P":{"name":"morning.json","playlist":[{"url":"'"$(jq -r '.P.path' <<<"$LAST")"'","type":1,"title":"clip","id":1,"duration":20}]}}'
await '"status":"OK"},"T":"playlist"'
# The coming minute, unless it is only a few seconds away.
at=$(date -d "@$(( ($(date +%s) + 65) / 60 * 60 ))" +%Y-%m-%dT%H:%M)
send '{"T":"schedule","C":"save","V":1,"P":{"name":"Morning","login":"lobby","operation":{"C":"deploy","T":"playlist","P":{"file":"morning.json"}},"targets":{"group":"Lobby"},"when":{"once":"'"$at"'"}}}'
await '"T":"schedule"'
id=$(jq -er 'select(.P.status == "OK") | .P.schedule.id' <<<"$LAST") || fail "not saved: $LAST"
await '"C":"fired"' 1 90
run=$(jq -er --argjson id "$id" 'select(.P.id == $id and .P.status == "OK") | .P.run' <<<"$LAST") ||
  fail "the firing: $LAST"
await '"C":"state".*"state":"confirmed"' 3 60
send '{"T":"history","C":"get","V":1,"P":{"schedule":'"$id"'}}'
await '"runs"'
jq -e --argjson run "$run" --argjson id "$id" '.P.runs | length == 1 and .[0].id == $run and
  .[0].schedule == $id and .[0].group == "Lobby" and ([.[0].displays[].state] == ["confirmed","confirmed","confirmed"])' \
  <<<"$LAST" >/dev/null || fail "the run: $LAST"
! grep -rq 'Pw-sched' "$app/data" || fail "the password reached the store"
kill -TERM "$HOST_PID"
wait "$HOST_PID" || fail "quillora-cli --serve exited $? on SIGTERM"
HOST_PID=
echo "schedule lab: schedule $id fired at $at as run $run, three displays confirmed; stopped by SIGTERM"
