#!/usr/bin/env bash
# Half-sent requests cannot lock a display out: ten other addresses hold 32 connections each
# that send only the start of a request and open again at once when closed, while the display
# that a running deploy waits for fetches its media 20 times.
# Usage: slow_client_lab.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
# shellcheck source-path=SCRIPTDIR source=../lab/session.sh
source "$src/tests/lab/session.sh"
lab_check

# 10.77.1.10 the display, .11 to .20 the flood.
lab_session slowcl --subnets 1 --displays-per-subnet 11
app="$work/app"
lab_app_folder "$app" en
echo "[[\"$samples/h264_aac.mp4\"]]" >"$work/answers.json"
# It answers the host slowly, so its deploy is still running while it fetches below.
lab_start_sim 1 display --address 10.77.1.10 --no-discovery --fault slow=20000 \
  --journal "$work/display.jsonl"
lab_await_connect 5 10.77.1.10 || fail "simulator not up"

lab_start_host "$app" --answers "$work/answers.json"
send '{"C":"add","T":"media","V":1,"P":""}'
await '"C":"add"'
media=$(jq -r '[.P] | flatten | .[0].path' <<<"$LAST")
send '{"C":"save","T":"playlist","V":1,"P":{"name":"show.json","playlist":[{"url":"'"$media"'","type":1,"title":"clip","id":1,"duration":20}]}}'
await '"status":"OK"},"T":"playlist"'
send '{"C":"deploy","T":"playlist","V":1,"P":{"user":"admin","pass":"12345","file":"show.json","ip":["10.77.1.10:80"]}}'
sleep 1

clients="$src/tests/integration/half_requests.py"
flooders=$(seq -f '10.77.1.%g' 11 20 | paste -sd' ')
# shellcheck disable=SC2086 # one argument per address
bash "$lab" exec-display "$name" 1 python3 "$clients" flood 10.77.1.1 8089 20 $flooders \
  >"$work/flood.txt" &
LAB_PIDS+=($!)
flood=$!
sleep 3
url="http://10.77.1.1:8089/media/$(jq -rn --arg name "$(basename "$media")" '$name | @uri')"
started=$SECONDS
# shellcheck disable=SC2016 # expanded by the inner shell
bash "$lab" exec-display "$name" 1 bash -c 'for _ in $(seq 20); do
  curl -s -o /dev/null -w "%{http_code}\n" --max-time 5 --interface 10.77.1.10 "$1"; sleep 0.25
done' _ "$url" >"$work/fetch.txt"
fetched=$((SECONDS - started))
wait "$flood" || fail "the flood failed"
answered=$(grep -c -E '^(200|206)$' "$work/fetch.txt" || true)
echo "display: $answered of 20 downloads answered in ${fetched}s; statuses: $(sort "$work/fetch.txt" | uniq -c | paste -sd' ')"
echo "flood: $(cat "$work/flood.txt") connections opened"
# The display was awaited all along: its run had not ended.
while IFS= read -r -t 0.5 line <&"${HOST[0]}"; do echo "$line" >>"$work/out.txt"; done
! grep -q -E '"C":"state".*"state":"(confirmed|failed|incomplete|reported)"' "$work/out.txt" ||
  fail "the deploy ended before the display's downloads"
[ "$answered" -eq 20 ] || fail "only $answered of 20 downloads answered"
echo "slow client lab: all checks passed"
