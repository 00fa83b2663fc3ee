#!/usr/bin/env bash
# What the host's lab tests take on trust: a simulated display downloads every FetchURL it is
# given and notifies the real counts from its own address, a failed download included; and the
# lab itself keeps lab addresses from leaving the machine and goes away without a trace.
# Usage: lab_smoke.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
src=$2
# shellcheck source-path=SCRIPTDIR source=../lab/session.sh
source "$src/tests/lab/session.sh"
lab_check
command -v python3 >/dev/null || { echo "SKIP: python3 is not installed" >&2; exit 77; }

lab_session simsmoke --subnets 1 --displays-per-subnet 2
fail() { echo "FAIL: $*" >&2; cat "$work"/*.log >&2 || true; exit 1; }
# A route lookup sends nothing; with the lab up it must find no way off the machine. The display
# is the second address of its namespace, so that a download from the wrong address shows.
! ip route get 10.77.1.11 >/dev/null 2>&1 || fail "lab addresses are routed off the machine"

lab_start_sim 1 sim --address 10.77.1.11 --journal "$work/journal.jsonl"
mkdir -p "$work/www/media"
head -c 200000 /dev/urandom >"$work/www/media/clip.mp4"
bash "$lab" exec-host "$name" python3 -m http.server 80 --bind 10.77.1.1 --directory "$work/www" \
  >"$work/http.log" 2>&1 &
LAB_PIDS+=($!)
lab_await_ready 5 sim && lab_await_connect 5 10.77.1.1 || fail "simulator or file server not ready"
hostcurl() { bash "$lab" exec-host "$name" curl --noproxy '*' -sS -m 5 "$@"; }

field() { sed -n "s:.*<$2>\([^<]*\)</$2>.*:\1:p" <<<"$1"; }
sid=$(field "$(hostcurl -X POST -H 'Content-Length: 0' http://10.77.1.11/ISAPI/Security/Login)" SessionId)
digest=$(printf '%s' "$sid:admin:12345:KOVRA" | md5sum | cut -d' ' -f1)
hostcurl -o /dev/null -X POST --data-binary "<UserCheck><Username>admin</Username><Password>$digest</Password><SessionId>$sid</SessionId></UserCheck>" \
  http://10.77.1.11/ISAPI/Security/Login
item() { echo "<FetchList_$1><FileID>$1</FileID><PlayType>1</PlayType><Duration>5</Duration><FetchURL>http://10.77.1.1/media/$2</FetchURL></FetchList_$1>"; }
body="<FetchListConfig><ListCount>2</ListCount><NotifyServerHost>10.77.1.1</NotifyServerHost><NotifyServerPort>80</NotifyServerPort>$(item 0 clip.mp4)$(item 1 none.mp4)</FetchListConfig>"
answer=$(hostcurl -X PUT --data-binary "$body" "http://10.77.1.11/ISAPI/VideoAdvert/FetchListConfig?ID=$sid")
[ "$(field "$answer" StatusCode)" = 200 ] || fail "fetch list answered $answer"
for _ in $(seq 100); do grep -q '"event":"notify"' "$work/journal.jsonl" && break; sleep 0.1; done
md5=$(md5sum <"$work/www/media/clip.mp4" | cut -d' ' -f1)
jq -se --arg md5 "$md5" '[.[] | select(.event == "fetch")] | length == 2
  and (.[0] | .bytes == 200000 and .md5 == $md5 and .ok) and (.[1] | .status == 404 and (.ok | not))' \
  "$work/journal.jsonl" >/dev/null || fail "downloads"
grep -q 'TotalCount>2</TotalCount><SucceedCount>1</SucceedCount><FailedCount>1<' "$work/journal.jsonl" ||
  fail "notified counts"
grep -q '^10.77.1.11 .*"POST /ISAPI/VideoAdvert/NotifyFetchResult' "$work/http.log" ||
  fail "no notification from the display's address"

kill "${LAB_PIDS[0]}"
wait "${LAB_PIDS[0]}" || fail "the simulator's exit code on TERM is $?"
bash "$lab" down "$name"
[ -z "$(ip netns list | grep "^qlab-$name-")" ] || fail "namespaces left after down"
bash "$lab" down "$name" || fail "a second down fails"
echo "sim lab smoke: fetch, notify and clean-up OK"
