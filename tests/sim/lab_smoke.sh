#!/usr/bin/env bash
# Lab smoke test of quillora-display-sim: a lab with two subnets, one simulator per display
# namespace, and from the host namespace with curl: the two-step login (digest computed here),
# one request, a media fetch with its notification, and the journal checked. Everything runs
# inside the lab's namespaces. Exit 77 (skip) when no lab can be made here.
# Usage: lab_smoke.sh PATH/quillora-display-sim PATH/lab.sh
set -u
SIM=$(realpath "$1")
LAB=$(realpath "$2")

"$LAB" check || exit 77

NAME="simsmoke$$"
WORK=$(mktemp -d)
PIDS=()
passed=0
failed=0
cleanup() {
  local pid
  for pid in "${PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  "$LAB" down "$NAME"
  rm -rf "$WORK"
}
trap cleanup EXIT

check() {  # check DESCRIPTION COMMAND...
  local what="$1"
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $what" >&2
  fi
}
finish() {
  echo "sim_lab_smoke: $passed passed, $failed failed"
  [[ $failed -eq 0 ]]
  exit $?
}
hostcurl() { "$LAB" exec-host "$NAME" curl --noproxy '*' -sS -m 5 "$@"; }
xmlfield() { sed -n "s:.*<$2>\(.*\)</$2>.*:\1:p" <<<"$1"; }
wait_for() {  # wait_for FILE TEXT
  local i
  for i in $(seq 100); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

KEYS=$("$LAB" up "$NAME" --subnets 2 --displays-per-subnet 2) || { echo "lab up failed" >&2; exit 1; }
eval "$KEYS"
check "lab keys" test "$LAB_SUBNET_2_DISPLAY_ADDRS" = "10.77.2.10,10.77.2.11"
check "lab env" test "$("$LAB" env "$NAME")" = "$KEYS"

for s in 1 2; do
  first="LAB_SUBNET_${s}_FIRST_DISPLAY"
  "$LAB" exec-display "$NAME" "$s" "$SIM" --address "${!first}" --count 2 --idle-ms 1000 \
    --journal "$WORK/journal$s.log" >"$WORK/out$s.log" 2>&1 &
  PIDS+=($!)
done
for s in 1 2; do
  check "simulator $s ready" wait_for "$WORK/out$s.log" "READY 2"
done
[[ $failed -eq 0 ]] || finish

# The two-step login on the second display of subnet 2.
D=10.77.2.11
challenge=$(hostcurl -X POST -H 'Content-Length: 0' "http://$D/ISAPI/Security/Login")
check "challenge status" test "$(xmlfield "$challenge" StatusCode)" = 401
check "challenge text" test "$(xmlfield "$challenge" StatusString)" = Unauthenticated
SID=$(xmlfield "$challenge" SessionId)
check "session id" test -n "$SID"
DIGEST=$(printf '%s' "$SID:admin:12345:KOVRA" | md5sum | cut -d' ' -f1)
login=$(hostcurl -X POST -H 'Content-Type: application/xml' --data-binary \
  "<UserCheck><Username>admin</Username><Password>$DIGEST</Password><SessionId>$SID</SessionId></UserCheck>" \
  "http://$D/ISAPI/Security/Login")
check "login accepted" test "$(xmlfield "$login" StatusCode)" = 200
check "login OK" test "$(xmlfield "$login" StatusString)" = OK

answer=$(hostcurl -X PUT -H 'Content-Type: application/xml' --data-binary \
  '<?xml version="1.0"?><DeviceInfo><DeviceName>lobby</DeviceName><DeviceID>1</DeviceID><DeviceModel>m</DeviceModel><SoftwareVer>v</SoftwareVer><FactoryInfo></FactoryInfo></DeviceInfo>' \
  "http://$D/ISAPI/DeviceInfo?ID=$SID")
check "request URL" test "$(xmlfield "$answer" RequestURL)" = /ISAPI/DeviceInfo
check "request status" test "$(xmlfield "$answer" StatusCode)" = 200

wrong=$(hostcurl -X POST -H 'Content-Length: 0' "http://10.77.1.10/ISAPI/Security/Login")
check "subnet 1 display answers" test "$(xmlfield "$wrong" StatusCode)" = 401

J2="$WORK/journal2.log"
check "journal: three requests" test "$(grep -c '"event":"request"' "$J2")" = 3
check "journal: display address" test "$(grep -c "\"display\":\"$D:80\"" "$J2")" = 3
check "journal: peer is the host namespace" test "$(grep -c '"peer":"10.77.2.1:' "$J2")" = 3
check "journal: request with session id" grep -q "\"method\":\"PUT\".*\"target\":\"/ISAPI/DeviceInfo?ID=$SID\"" "$J2"
check "journal: raw head" grep -q '"raw_head":"PUT /ISAPI/DeviceInfo?ID=' "$J2"
check "journal: subnet 1" test "$(grep -c '"display":"10.77.1.10:80"' "$WORK/journal1.log")" = 1

# A media fetch from the host namespace's file server and the notification back to it.
if command -v python3 >/dev/null 2>&1; then
  mkdir -p "$WORK/www/media"
  head -c 200000 /dev/urandom >"$WORK/www/media/clip.mp4"
  (cd "$WORK/www" && exec "$LAB" exec-host "$NAME" python3 -m http.server 8089 --bind 10.77.2.1) \
    >"$WORK/http.log" 2>&1 &
  PIDS+=($!)
  for i in $(seq 50); do hostcurl -o /dev/null "http://10.77.2.1:8089/" 2>/dev/null && break; sleep 0.1; done
  body="<?xml version=\"1.0\"?><FetchListConfig><ListCount>2</ListCount><NotifyServerHost>10.77.2.1</NotifyServerHost><NotifyServerPort>8089</NotifyServerPort><FetchList_0><FileID>1</FileID><PlayType>1</PlayType><Duration>5</Duration><FetchURL>http://10.77.2.1:8089/media/clip.mp4</FetchURL></FetchList_0><FetchList_1><FileID>2</FileID><PlayType>1</PlayType><Duration>5</Duration><FetchURL>http://10.77.2.1:8089/media/none.mp4</FetchURL></FetchList_1></FetchListConfig>"
  answer=$(hostcurl -X PUT --data-binary "$body" "http://$D/ISAPI/VideoAdvert/FetchListConfig?ID=$SID")
  check "fetch list accepted" test "$(xmlfield "$answer" StatusCode)" = 200
  check "notification journalled" wait_for "$J2" '"event":"notify"'
  MD5=$(md5sum "$WORK/www/media/clip.mp4" | cut -d' ' -f1)
  check "clip downloaded" grep -q "\"bytes\":200000,.*\"md5\":\"$MD5\",\"ok\":true" "$J2"
  check "missing file failed" grep -q '"ok":false,.*"status":404' "$J2"
  check "notification counts" grep -q 'TotalCount>2</TotalCount><SucceedCount>1</SucceedCount><FailedCount>1<' "$J2"
  check "notification from the display" grep -q "^10.77.2.11 .*POST /ISAPI/VideoAdvert/NotifyFetchResult" "$WORK/http.log"
fi

# SIGTERM ends the simulators cleanly.
for pid in "${PIDS[@]:0:2}"; do
  kill -TERM "$pid"
  wait "$pid"
  check "simulator exit code" test $? -eq 0
done
PIDS=("${PIDS[@]:2}")

"$LAB" down "$NAME"
check "lab gone" test -z "$("$LAB" list | grep -x "$NAME")"
check "down is idempotent" "$LAB" down "$NAME"
finish
