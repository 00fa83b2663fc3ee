#!/usr/bin/env bash
# What the host's lab tests take on trust: a simulated display downloads every FetchURL it is
# given, one after another or several at once, and notifies the real counts from its own address,
# a failed download included; the fetch faults claim what they should; and the
# lab itself keeps lab addresses from leaving the machine and goes away without a trace.
# Usage: lab_smoke.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
src=$2
# shellcheck source-path=SCRIPTDIR source=../lab/session.sh
source "$src/tests/lab/session.sh"
lab_check
command -v python3 >/dev/null || { echo "SKIP: python3 is not installed" >&2; exit 77; }

lab_session simsmoke --subnets 1 --displays-per-subnet 5
fail() { echo "FAIL: $*" >&2; cat "$work"/*.log >&2 || true; exit 1; }
# A route lookup sends nothing; with the lab up it must find no way off the machine. The displays
# are not the first address of their namespace, so that a download from the wrong address shows.
! ip route get 10.77.1.11 >/dev/null 2>&1 || fail "lab addresses are routed off the machine"

# Each display gets the same four FetchURLs, the second of which is missing on the server:
# address, options, the counts it must notify, the files it must download, whether it hashes.
cases=(
  "11|--threads 3|4 3 1|clip.mp4 none.mp4 b.png c.png|hashed"
  "12|--parallel-downloads 1 --hash off|4 3 1|clip.mp4 none.mp4 b.png c.png|"
  "13|--fault fetch-skip|4 4 0||"
  "14|--fault fetch-fail-one --parallel-downloads 2|4 2 2|clip.mp4 none.mp4 b.png|hashed"
)
for c in "${cases[@]}"; do
  IFS='|' read -r ip options _ <<<"$c"
  # shellcheck disable=SC2086 # the options are words
  lab_start_sim 1 "sim$ip" --address "10.77.1.$ip" --journal "$work/$ip.jsonl" $options
done
mkdir -p "$work/www/media"
head -c 200000 /dev/urandom >"$work/www/media/clip.mp4"
head -c 70000 /dev/urandom >"$work/www/media/b.png"
head -c 1 /dev/urandom >"$work/www/media/c.png"
bash "$lab" exec-host "$name" python3 -m http.server 80 --bind 10.77.1.1 --directory "$work/www" \
  >"$work/http.log" 2>&1 &
LAB_PIDS+=($!)
lab_await_ready 5 sim11 sim12 sim13 sim14 && lab_await_connect 5 10.77.1.1 ||
  fail "simulator or file server not ready"
hostcurl() { bash "$lab" exec-host "$name" curl --noproxy '*' -sS -m 5 "$@"; }

field() { sed -n "s:.*<$2>\([^<]*\)</$2>.*:\1:p" <<<"$1"; }
item() { echo "<FetchList_$1><FileID>$1</FileID><PlayType>1</PlayType><Duration>5</Duration><FetchURL>http://10.77.1.1/media/$2</FetchURL></FetchList_$1>"; }
body="<FetchListConfig><ListCount>4</ListCount><NotifyServerHost>10.77.1.1</NotifyServerHost><NotifyServerPort>80</NotifyServerPort>$(item 0 clip.mp4)$(item 1 none.mp4)$(item 2 b.png)$(item 3 c.png)</FetchListConfig>"
for c in "${cases[@]}"; do
  IFS='|' read -r ip _ counts files hashing <<<"$c"
  display=http://10.77.1.$ip
  sid=$(field "$(hostcurl -X POST -H 'Content-Length: 0' "$display/ISAPI/Security/Login")" SessionId)
  digest=$(printf '%s' "$sid:admin:12345:KOVRA" | md5sum | cut -d' ' -f1)
  hostcurl -o /dev/null -X POST --data-binary "<UserCheck><Username>admin</Username><Password>$digest</Password><SessionId>$sid</SessionId></UserCheck>" \
    "$display/ISAPI/Security/Login"
  answer=$(hostcurl -X PUT --data-binary "$body" "$display/ISAPI/VideoAdvert/FetchListConfig?ID=$sid")
  [ "$(field "$answer" StatusCode)" = 200 ] || fail "$ip: fetch list answered $answer"
  journal=$work/$ip.jsonl
  for _ in $(seq 100); do grep -q '"event":"notify"' "$journal" && break; sleep 0.1; done
  read -r total succeeded failed <<<"$counts"
  grep -q "TotalCount>$total</TotalCount><SucceedCount>$succeeded</SucceedCount><FailedCount>$failed<" \
    "$journal" || fail "$ip: notified counts are not $counts"
  grep -q "^10.77.1.$ip .*\"POST /ISAPI/VideoAdvert/NotifyFetchResult" "$work/http.log" ||
    fail "$ip: no notification from the display's own address"
  # Every planned file once, each with its size and a digest when hashing and only then, the
  # missing one failed; the notification after the last of them.
  want=$(for f in $files; do
    if [ -f "$work/www/media/$f" ]; then
      sum=-
      [ -z "$hashing" ] || sum=$(md5sum <"$work/www/media/$f" | cut -d' ' -f1)
      echo "$f $(stat -c %s "$work/www/media/$f") $sum"
    else
      echo "$f failed"
    fi
  done | sort)
  got=$(jq -r 'select(.event == "fetch") | (.url | sub(".*/"; "")) as $f |
    if .ok then "\($f) \(.bytes) \(.md5 // "-")" else "\($f) failed" end' "$journal" | sort)
  [ "$got" = "$want" ] || fail "$ip: downloads $got, expected $want"
  jq -se '(map(.event) | index("notify")) > (map(.event) | rindex("fetch") // 0)' "$journal" >/dev/null ||
    fail "$ip: notified before the downloads ended"
done

kill "${LAB_PIDS[0]}"
wait "${LAB_PIDS[0]}" || fail "the simulator's exit code on TERM is $?"
bash "$lab" down "$name"
[ -z "$(ip netns list | grep "^qlab-$name-")" ] || fail "namespaces left after down"
bash "$lab" down "$name" || fail "a second down fails"
echo "sim lab smoke: fetch, notify and clean-up OK"
