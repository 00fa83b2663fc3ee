#!/usr/bin/env bash
# Waves: a playlist deploy to 20 displays with at most 5 fetching at once. Each display's
# downloads take a few seconds (a per-display cap), so the waves overlap; what the displays
# themselves saw says that never more than 5 fetched at once, and all 20 end "confirmed".
# Usage: wave_lab.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
# shellcheck source-path=SCRIPTDIR source=../lab/session.sh
source "$src/tests/lab/session.sh"
lab_check
lab_session wave --subnets 1 --displays-per-subnet 20
app="$work/app"
lab_app_folder "$app" en
printf 'waveSize: 5\nsendCapPerDisplayMbps: 0.01\n' >>"$app/config.yaml"
echo "[[\"$samples/h264_aac.mp4\", \"$samples/image.png\"]]" >"$work/answers.json"
lab_start_sim 1 sim --address 10.77.1.10 --count 20 --no-discovery --journal "$work/sim.jsonl"
lab_await_connect 5 10.77.1.10 10.77.1.29 || fail "simulators not up"
lab_start_host "$app" --answers "$work/answers.json"
send '{"C":"add","T":"media","V":1,"P":""}'
await '"C":"add"'
send '{"C":"save","T":"playlist","V":1,"P":{"name":"show.json","playlist":[{"url":"'"$(jq -r '.P[0].path' <<<"$LAST")"'","type":1,"title":"clip","id":1,"duration":20},{"url":"'"$(jq -r '.P[1].path' <<<"$LAST")"'","type":1,"title":"still","id":2,"duration":10}]}}'
await '"status":"OK"},"T":"playlist"'
ips=$(seq 10 29 | sed 's/.*/"10.77.1.&:80"/' | paste -sd,)
send '{"C":"deploy","T":"playlist","V":1,"P":{"user":"admin","pass":"12345","file":"show.json","ip":['"$ips"']}}'
await '"C":"state".*"state":"(confirmed|failed|incomplete|reported)"' 20 120
confirmed=$(grep -c '"C":"state".*"state":"confirmed"' "$work/out.txt" || true)
waiting=$(grep -c '"status":"waiting".*"T":"device"' "$work/out.txt" || true)
[ "$confirmed" = 20 ] && [ "$waiting" = 15 ] || fail "$confirmed confirmed, $waiting told to wait"
# A display fetches from the fetch list it accepted to its second file.
most=$(jq -s 'reduce .[] as $e ({n: 0, most: 0, files: {}};
  if $e.event == "request" and ($e.target | test("FetchListConfig")) then .n += 1 | .most = ([.most, .n] | max)
  elif $e.event == "fetch" then .files[$e.display] += 1 | if .files[$e.display] == 2 then .n -= 1 else . end
  else . end) | .most' "$work/sim.jsonl")
[ "$most" = 5 ] || fail "at most $most displays fetched at once"
lab_stop_host
echo "wave lab: 20 confirmed, 15 waited, at most $most fetching at once"
