#!/usr/bin/env bash
# quillora-cli's HTTP server under load in a private network lab: while 20 other machines hold
# 300 idle connections (reopened as soon as they are closed) and 200 slow downloads, a display
# still fetches media and posts its notification, 20 of 20; then SIGTERM ends the host within
# 2 s with exit code 0. RUNS (default 1) repeats the whole host run.
# Usage: server_load_lab.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
src=$2
runs=${RUNS:-1}
# shellcheck source-path=SCRIPTDIR source=../lab/session.sh
source "$src/tests/lab/session.sh"
lab_check

lab_session load --subnets 1 --displays-per-subnet 21
fail() {
  echo "FAIL: $*" >&2
  tail -n 5 "$work/load.out" "$work/out.txt" >&2 || true
  exit 1
}
app="$work/app"
lab_app_folder "$app" en media lang/en
head -c 300000 /dev/urandom >"$app/web/media/clip.mp4"
head -c 50000000 /dev/zero >"$app/web/media/big.mp4"
lab_start_sim 1 good --address 10.77.1.10
lab_await_connect 5 10.77.1.10 || true

# Every loop is bounded by the run time given; each socket's wait by 2 s.
cat >"$work/load.py" <<'EOF'
import selectors, socket, sys, time
host, seconds, sources = sys.argv[1], float(sys.argv[2]), sys.argv[3].split(",")
end, sel, reopened = time.monotonic() + seconds, selectors.DefaultSelector(), 0
def open_one(kind, n):
    s = socket.socket()
    if kind == "slow": s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.bind((sources[n % len(sources)], 0)); s.settimeout(2)
    try:
        s.connect((host, 8089))
        if kind == "slow": s.sendall(b"GET /media/big.mp4 HTTP/1.1\r\nHost: h\r\n\r\n")
        s.setblocking(False); sel.register(s, selectors.EVENT_READ, (kind, n))
    except OSError: s.close()
for n in range(300): open_one("idle", n)
for n in range(200): open_one("slow", n)
print("ready", len(sel.get_map()), flush=True)
while time.monotonic() < end:
    for key, _ in sel.select(0.1):
        kind, n = key.data
        try: data = key.fileobj.recv(1024)
        except OSError: data = b""
        if kind == "idle" or not data:
            sel.unregister(key.fileobj); key.fileobj.close(); reopened += 1; open_one(kind, n)
    time.sleep(0.05)
print("held", len(sel.get_map()), "reopened", reopened, flush=True)
EOF

login='{"C":"deploy","T":"login","V":1,"P":{"user":"admin","pass":"12345","ip":["10.77.1.10:80"]}}'
notice='<NotifyFetchResult><TotalCount>1</TotalCount><SucceedCount>1</SucceedCount><FailedCount>0</FailedCount></NotifyFetchResult>'
dcurl() { bash "$lab" exec-display "$name" 1 curl -s --max-time 5 --interface 10.77.1.10 "$@"; }
base=http://10.77.1.1:8089
sum=$(md5sum <"$app/web/media/clip.mp4")
others=$(echo "$LAB_SUBNET_1_DISPLAY_ADDRS" | cut -d, -f2-)
for run in $(seq "$runs"); do
  : >"$work/out.txt"
  XDG_RUNTIME_DIR="$work" bash "$lab" exec-host "$name" "$build/quillora-cli" --folder "$app" \
    --wait 120 "$login" >"$work/out.txt" 2>"$work/err.txt" &
  cli=$!
  LAB_PIDS+=("$cli")
  for _ in $(seq 100); do grep -qF '"status":"OK"' "$work/out.txt" && break; sleep 0.1; done
  grep -qF '"status":"OK"' "$work/out.txt" || fail "run $run: no login"
  bash "$lab" exec-display "$name" 1 python3 "$work/load.py" 10.77.1.1 40 "$others" \
    >"$work/load.out" 2>&1 &
  load=$!
  LAB_PIDS+=("$load")
  for _ in $(seq 200); do grep -q '^ready' "$work/load.out" && break; sleep 0.1; done
  grep -q '^ready' "$work/load.out" || fail "run $run: load did not start"
  held=$(bash "$lab" exec-host "$name" ss -Htn state established '( sport = :8089 )' | wc -l)
  answered=0
  for _ in $(seq 20); do
    [ "$(dcurl "$base/media/clip.mp4" | md5sum)" = "$sum" ] &&
      [ "$(dcurl -o /dev/null -w '%{http_code}' --data-binary "$notice" \
        "$base/ISAPI/VideoAdvert/NotifyFetchResult")" = 200 ] && answered=$((answered + 1))
  done
  [ "$answered" = 20 ] || fail "run $run: $answered of 20 fetches and notifications answered"
  started=$(date +%s%N)
  kill -TERM "$cli"
  code=0
  wait "$cli" || code=$?
  took=$((($(date +%s%N) - started) / 1000000))
  kill "$load" 2>/dev/null || true
  wait "$load" 2>/dev/null || true
  echo "run $run: $(head -n 1 "$work/load.out") ($held held by the host): 20 of 20 answered;" \
    "SIGTERM to exit $took ms, code $code"
  [ "$code" = 0 ] && [ "$took" -le 2000 ] || fail "run $run: exit code $code after $took ms"
done
echo "server load lab: all checks passed"
