#!/usr/bin/env bash
# The run journal end to end: one playlist deploy by group to five displays that each end
# differently, a Retry that reaches only those that did not end well, and the journal read
# back after the host was killed in the middle of a deploy, with the diagnostic log on.
# Usage: journal_lab.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
# shellcheck source-path=SCRIPTDIR source=../lab/session.sh
source "$src/tests/lab/session.sh"
lab_check

lab_on_exit() { [ -n "${HOST_PID:-}" ] && kill -9 "$HOST_PID" 2>/dev/null; }
lab_session journal --subnets 1 --displays-per-subnet 4
app="$work/app"
lab_app_folder "$app" en
# Both made beforehand, readable by all: what the program writes there must still be private.
mkdir -m 755 "$app/data"
install -m 644 /dev/null "$work/log.txt"
faults=()
pw='Pw-7f3a-never-on-disk'
echo "[[\"$samples/h264_aac.mp4\", \"$samples/image.png\"]]" >"$work/answers.json"
sim() { lab_start_sim 1 "$1" --address "$2" --password "$pw" --no-discovery --journal "$work/$1.jsonl" "${@:3}"; }
sim good 10.77.1.10
sim locked 10.77.1.11 --fault wrong-credentials
sim skip 10.77.1.12 --fault fetch-skip
sim partial 10.77.1.13 --fault fetch-fail-one
# 10.77.1.50 is in the subnet but nobody has it: its connection never opens.
lab_await_connect 5 10.77.1.10 10.77.1.11 10.77.1.12 10.77.1.13 || fail "simulators not up"
all='"10.77.1.10:80","10.77.1.11:80","10.77.1.12:80","10.77.1.13:80","10.77.1.50:80"'

start_host() { QUILLORA_LOG="$work/log.txt" lab_start_host "$app" --answers "$work/answers.json"; }
# Reads until each "IP-SUFFIX STATE" argument was a state message of run RUN ($1; 0: any), in
# any order, at most 60 s.
states() {
  local run=$1 deadline=$((SECONDS + 60)) line got
  shift
  local -A left=()
  for got in "$@"; do left[$got]=1; done
  while [ ${#left[@]} -gt 0 ]; do
    [ "$SECONDS" -lt "$deadline" ] || fail "timed out waiting for the states ${!left[*]}"
    IFS= read -r -t 5 line <&"${HOST[0]}" || continue
    echo "$line" >>"$work/out.txt"
    got=$(jq -r --argjson run "$run" 'select(.C == "state" and ($run == 0 or .P.id == $run))
      | "\(.P.ip | sub("^10\\.77\\.1\\."; "") | sub(":80$"; "")) \(.P.state)"' <<<"$line")
    [ -n "$got" ] || continue
    LAST=$line
    unset "left[$got]"
  done
}

start_host
for ip in 10 11 12 13 50; do
  send '{"T":"inventory","C":"add","V":1,"P":{"ip":"10.77.1.'$ip':80"}}'
  await '"ip":"10\.77\.1\.'$ip':80","status":"OK"'
done
send '{"T":"group","C":"save","V":1,"P":{"name":"Lobby","ip":['"$all"']}}'
await '"status":"OK".*"T":"group"|"T":"group".*"status":"OK"'
send '{"C":"add","T":"media","V":1,"P":""}'
await '"C":"add"'
first=$(jq -r '.P[0].path' <<<"$LAST")
second=$(jq -r '.P[1].path' <<<"$LAST")
send '{"C":"save","T":"playlist","V":1,"P":{"name":"show.json","playlist":[{"url":"'"$first"'","type":1,"title":"clip","id":1,"duration":20},{"url":"'"$second"'","type":1,"title":"still","id":2,"duration":10}]}}'
await '"status":"OK"},"T":"playlist"'
send '{"C":"deploy","T":"playlist","V":1,"P":{"user":"admin","pass":"'"$pw"'","group":"Lobby","file":"show.json"}}'
states 0 "10 confirmed" "11 failed" "12 reported" "13 incomplete" "50 failed"
run=$(jq -r '.P.id' <<<"$LAST")
send '{"T":"history","C":"get","V":1,"P":{"limit":1}}'
await '"runs"'
jq -e --argjson run "$run" '.P.runs[0] | .id == $run and .kind == "playlist" and .group == "Lobby"
  and ([.displays[] | "\(.ip) \(.state)"] | sort) == ["10.77.1.10:80 confirmed", "10.77.1.11:80 failed",
  "10.77.1.12:80 reported", "10.77.1.13:80 incomplete", "10.77.1.50:80 failed"]
  and ([.files[].sha256 | length] == [64, 64])' <<<"$LAST" >/dev/null || fail "history: $LAST"
# The unreachable display was tried three times in all, the others once.
grep -c '"status":"mgerror"},"T":"device"' "$work/out.txt" | grep -qx 1 || fail "the unreachable display was reported more than once"

# Two displays are mended; Retry goes to the failed and incomplete ones only.
kill "${LAB_PIDS[1]}" "${LAB_PIDS[3]}"
wait "${LAB_PIDS[1]}" "${LAB_PIDS[3]}" 2>/dev/null || true
sim locked2 10.77.1.11
sim partial2 10.77.1.13
lab_await_connect 5 10.77.1.11 10.77.1.13 || fail "mended simulators not up"
before_good=$(wc -l <"$work/good.jsonl")
before_skip=$(wc -l <"$work/skip.jsonl")
send '{"T":"history","C":"retry","V":1,"P":{"id":'"$run"',"user":"admin","pass":"'"$pw"'"}}'
await '"C":"retry"'
jq -e '.P.status == "OK" and (.P.ip | sort) == ["10.77.1.11:80","10.77.1.13:80","10.77.1.50:80"]' <<<"$LAST" >/dev/null ||
  fail "retry: $LAST"
retry=$(jq -r '.P.run' <<<"$LAST")
states "$retry" "11 confirmed" "13 confirmed"
[ "$(wc -l <"$work/good.jsonl")" = "$before_good" ] && [ "$(wc -l <"$work/skip.jsonl")" = "$before_skip" ] ||
  fail "the retry reached a display that had ended well"

# Killed in the middle of a deploy (the unreachable display is still being retried): every
# state the page was told is in the journal the next start reads.
send '{"C":"deploy","T":"playlist","V":1,"P":{"user":"admin","pass":"'"$pw"'","group":"Lobby","file":"show.json"}}'
states 0 "10 confirmed"
killed=$(jq -r '.P.id' <<<"$LAST")
send '{"T":"history","C":"retry","V":1,"P":{"id":'"$killed"',"user":"admin","pass":"'"$pw"'"}}'
await '"C":"retry"'
jq -e '.P.status == "ERROR" and (.P.error | test("still going"))' <<<"$LAST" >/dev/null ||
  faults+=("a retry of a run still going: $LAST")
kill -9 "$HOST_PID"
wait "$HOST_PID" 2>/dev/null || true
HOST_PID=
told=$(grep '"C":"state"' "$work/out.txt" | jq -c 'select(.P.id > '"$retry"') | [.P.id, .P.ip, .P.state]' | sort -u)
[ -n "$told" ] || fail "nothing was told before the kill"
start_host
send '{"T":"history","C":"get","V":1,"P":{"limit":5}}'
await '"runs"'
kept=$(jq -c '.P.runs[] | .id as $id | .displays[] | [$id, .ip, .state]' <<<"$LAST" | sort -u)
missing=$(comm -23 <(echo "$told") <(echo "$kept"))
[ -z "$missing" ] || fail "states lost by the kill: $missing"
jq -e --argjson retry "$retry" '.P.runs[] | select(.id == $retry) | .retryOf == '"$run"'' <<<"$LAST" >/dev/null ||
  fail "the retry run is not linked to its run"
jq -e --argjson killed "$killed" '[.P.runs[] | select(.id == $killed)][0] | .ended != null and
  ([.displays[] | select(.ip == "10.77.1.50:80")][0].state == "interrupted")' <<<"$LAST" >/dev/null ||
  faults+=("the killed run was not closed at the next start: $LAST")
send '{"T":"history","C":"retry","V":1,"P":{"id":'"$killed"',"user":"admin","pass":"'"$pw"'"}}'
await '"C":"retry"'
jq -e '.P.status == "OK" and (.P.ip | index("10.77.1.50:80")) and (.P.ip | index("10.77.1.10:80") | not)' \
  <<<"$LAST" >/dev/null || faults+=("the retry of the interrupted run: $LAST")
lab_stop_host
! grep -rqa -- "$pw" "$app" "$work/log.txt" || faults+=("a password reached a file")
grep -q '"pass":"\*\*\*"' "$work/log.txt" || faults+=("the log holds no masked request")
for file in "$work/log.txt" "$app/data/quillora.db"*; do
  [ "$(stat -c %a "$file")" = 600 ] || faults+=("$file is mode $(stat -c %a "$file")")
done
[ ${#faults[@]} -eq 0 ] || fail "$(printf '%s\n' "${faults[@]}")"
echo "journal lab: all checks passed"
