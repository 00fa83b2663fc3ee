#!/usr/bin/env bash
# quillora-cli against simulated displays in a private network lab: login outcomes and requests,
# the folder server and the notification paths as a display sees them; then, while 20 other
# machines hold 300 idle connections (reopened once closed) and 200 slow downloads, a display
# still fetches media and notifies, 20 of 20, and SIGTERM ends the host in 2 s with exit code 0.
# Usage: device_link_lab.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
src=$2
# shellcheck source-path=SCRIPTDIR source=../lab/session.sh
source "$src/tests/lab/session.sh"
lab_check

lab_session link --subnets 2 --displays-per-subnet 23

fail() {
  printf 'FAIL: %s\n--- page messages\n' "$*" >&2
  cat "$work/out.txt" >&2 || true
  exit 1
}
expect_line() { grep -qxF -- "$1" "$work/out.txt" || fail "no line $1"; }

# The application folder: config, a media file and a folder outside web/ that must stay unseen.
app="$work/app"
lab_app_folder "$app" en media lang/en conf
head -c 300000 /dev/urandom >"$app/web/media/clip.mp4"
head -c 50000000 /dev/zero >"$app/web/media/big.mp4"
echo '{"title":"<script>"}' >"$app/web/conf/list.json"
echo "secret" >"$work/secret.txt"

lab_start_sim 1 good --address 10.77.1.10 --journal "$work/good.jsonl"
lab_start_sim 1 wrong --address 10.77.1.11 --journal "$work/wrong.jsonl" --fault wrong-credentials
lab_start_sim 1 code --address 10.77.1.12 --journal "$work/code.jsonl" --fault http-status=401
lab_start_sim 2 xml --address 10.77.2.10 --journal "$work/xml.jsonl" --fault malformed-xml
# Each simulator is up once its port answers.
lab_await_connect 5 10.77.1.10 10.77.1.11 10.77.1.12 10.77.2.10 || true

login='{"C":"deploy","T":"login","V":1,"P":{"user":"admin","pass":"12345","ip":["10.77.1.10:80","10.77.1.11:80","10.77.1.12:80","10.77.2.10:80","10.77.2.11:80"]}}'
# The host runs until it is told to stop, at most 60 s.
XDG_RUNTIME_DIR="$work" bash "$lab" exec-host "$name" "$build/quillora-cli" --folder "$app" \
  --wait 60 "$login" >"$work/out.txt" 2>"$work/err.txt" &
cli=$!

seen() { grep -qF -- "$1" "$work/out.txt"; }
# Nobody has 10.77.2.11: its connection is tried three times (again after 5 s and 20 s).
lab_await 40 seen '"ip":"10.77.2.11:80","status":"mgclose"' \
  '"ip":"10.77.2.10:80","status":"ERROR"},"T":"parse"' '"status":"Unsupported code: 401"' \
  '"ip":"10.77.1.11:80","status":"ERROR"},"T":"login"' '"T":"login"' ||
  fail "a display's outcome did not come"
grep -qE '^\{"C":"deploy","P":\{"ip":"10\.77\.1\.10:80","pass":"12345","privilege":"[^"]*","sessionid":"[^"]+","status":"OK","user":"admin"\},"T":"login","V":1\}$' \
  "$work/out.txt" || fail "login OK message"
expect_line '{"C":"deploy","P":{"ip":"10.77.1.12:80","status":"Unsupported code: 401"},"T":"device","V":1}'
expect_line '{"C":"deploy","P":{"ip":"10.77.2.10:80","status":"ERROR"},"T":"parse","V":1}'

# The two login requests, byte for byte where it matters.
[ "$(jq -s '[.[] | select(.event=="request")] | length' "$work/good.jsonl")" = 2 ] ||
  fail "a login-only task sends exactly two requests"
jq -se --arg head $'POST /ISAPI/Security/Login HTTP/1.1\r\nHost: 10.77.1.10:80\r\nConnection: keep-alive\r\nContent-Length: 0\r\n\r\n' \
  '[.[] | select(.event=="request")][0].raw_head == $head' "$work/good.jsonl" >/dev/null ||
  fail "first login step"
second=$(jq -rs '[.[] | select(.event=="request")][1]' "$work/good.jsonl")
echo "$second" | jq -e '.headers.Host == "10.77.1.10:80" and
  (.body | test("^<UserCheck><Username>admin</Username><Password>[0-9a-f]{32}</Password><SessionId>[^<]+</SessionId></UserCheck>$"))' \
  >/dev/null || fail "second login step: $second"

# The folder server, as a display sees it.
dcurl() { bash "$lab" exec-display "$name" 1 curl -s --max-time 5 --interface 10.77.1.10 "$@"; }
base=http://10.77.1.1:8089
[ "$(dcurl "$base/media/clip.mp4" | md5sum)" = "$(md5sum <"$app/web/media/clip.mp4")" ] ||
  fail "GET /media/clip.mp4"
[ "$(dcurl -o "$work/part" -w '%{http_code}' -r 1000-1999 "$base/media/clip.mp4")" = 206 ] &&
  cmp -s "$work/part" <(tail -c +1001 "$app/web/media/clip.mp4" | head -c 1000) || fail "Range GET"
# Nothing but media and firmware files: no listings, no playlists, no page.
for path in / /media/ /conf/ /conf/list.json /media/missing.mp4 /index.html; do
  [ "$(dcurl -o /dev/null -w '%{http_code}' "$base$path")" = 404 ] || fail "$path is not 404"
done
for path in /../secret.txt /media/../../secret.txt /%2e%2e/secret.txt /media/%2e%2e/%2e%2e/secret.txt \
  /media/..%2f..%2fsecret.txt /..%5csecret.txt /media/%00/../../secret.txt; do
  body=$(dcurl --path-as-is "$base$path")
  [[ "$body" != *secret* ]] || fail "$path left web/"
done
# The listeners are on the host's own addresses, never on loopback.
if bash "$lab" exec-host "$name" curl -s --max-time 2 -o /dev/null http://127.0.0.1:8089/media/clip.mp4; then
  fail "the folder server answered on loopback"
fi

# Fetch notifications for a run that asked for no fetch: answered 200 with an empty body, and
# never reported to the page as if a deploy had been made.
notify() { # PATH BODY
  dcurl -o "$work/notify-body" -w '%{http_code}' -X POST -H 'Content-Type: application/xml' \
    --data-binary "$2" "$base$1"
}
for path in /ISAPI/VideoAdvert/NotifyFetchResult /ISAPI/System/NotifyFetchFirmware; do
  code=$(notify "$path" '<NotifyFetchResult><TotalCount>3</TotalCount><SucceedCount>2</SucceedCount></NotifyFetchResult>')
  [ "$code" = 200 ] && [ ! -s "$work/notify-body" ] || fail "$path answered $code"
done
sleep 0.5
! grep -qE '"status":"finish"|"T":"firmware"' "$work/out.txt" || fail "a login run reported a fetch"

# Under load. Every loop is bounded by the run time given; each socket's wait by 2 s.
cat >"$work/load.py" <<'PY'
import selectors, socket, sys, time
host, seconds, sources = sys.argv[1], float(sys.argv[2]), sys.argv[3].split(",")
end, sel = time.monotonic() + seconds, selectors.DefaultSelector()
def open_one(slow, n):
    s = socket.socket()
    if slow: s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.bind((sources[n % len(sources)], 0)); s.settimeout(2)
    try:
        s.connect((host, 8089))
        if slow: s.sendall(b"GET /media/big.mp4 HTTP/1.1\r\nHost: h\r\n\r\n")
        s.setblocking(False); sel.register(s, selectors.EVENT_READ, (slow, n))
    except OSError: s.close()
for n in range(500): open_one(n >= 300, n)
print("ready", len(sel.get_map()), flush=True)
while time.monotonic() < end:
    for key, _ in sel.select(0.1):
        slow, n = key.data
        try: data = key.fileobj.recv(1024)
        except OSError: data = b""
        if not slow or not data:
            sel.unregister(key.fileobj); key.fileobj.close(); open_one(slow, n)
    time.sleep(0.05)
PY
others=$(echo "$LAB_SUBNET_1_DISPLAY_ADDRS" | cut -d, -f4-)
bash "$lab" exec-display "$name" 1 python3 "$work/load.py" 10.77.1.1 40 "$others" \
  >"$work/load.out" 2>&1 &
LAB_PIDS+=($!)
for _ in $(seq 200); do grep -q '^ready' "$work/load.out" && break; sleep 0.1; done
grep -q '^ready' "$work/load.out" || fail "the load did not start"
held=$(bash "$lab" exec-host "$name" ss -Htn state established '( sport = :8089 )' | wc -l)
sum=$(md5sum <"$app/web/media/clip.mp4")
answered=0
for _ in $(seq 20); do
  [ "$(dcurl "$base/media/clip.mp4" | md5sum)" = "$sum" ] &&
    [ "$(notify /ISAPI/VideoAdvert/NotifyFetchResult '<NotifyFetchResult/>')" = 200 ] &&
    answered=$((answered + 1))
done
[ "$answered" = 20 ] || fail "$answered of 20 fetches and notifications answered under load"
started=$(date +%s%N)
kill -TERM "$cli"
code=0
wait "$cli" || code=$?
took=$((($(date +%s%N) - started) / 1000000))
echo "under load ($(head -n 1 "$work/load.out"), $held held by the host): 20 of 20 answered;" \
  "SIGTERM to exit $took ms, code $code"
[ "$code" = 0 ] && [ "$took" -le 2000 ] || fail "exit code $code after $took ms"
echo "device link lab: all checks passed"
