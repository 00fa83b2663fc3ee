#!/usr/bin/env bash
# Folder serving: quillora-bench-server (HttpServer) against nginx (one worker, sendfile on) on
# the same files, in one run: one 200 MB file and 200 files of 1 MiB, at 1, 16 and 64
# connections. Prints throughput, server CPU seconds per GiB served and peak RSS of both, and
# the ratio ours/nginx.
#
# Everything runs on the loopback interface of a network namespace made for the run and
# removed at exit; no traffic leaves it. Needs root, iproute2, nginx and wrk.
#
# usage: bench/folder_server.sh [PATH/TO/quillora-bench-server]
# environment: DURATION (seconds per measurement, default 5), CONNECTIONS (default "1 16 64"),
#   REPEATS (measurements per server and row, default 3; the median is shown),
#   SETS (default "big small"), BASELINE (another quillora-bench-server, for example one built
#   from an earlier commit, compared with instead of nginx; its columns are then headed "base")

set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
server_bin=${1:-$here/../build/quillora-bench-server}
duration=${DURATION:-5}
connection_counts=${CONNECTIONS:-"1 16 64"}
repeats=${REPEATS:-3}
sets=${SETS:-"big small"}
baseline=${BASELINE:-}
ref=nginx
[ -z "$baseline" ] || ref=base
nginx_port=8081
our_port=8082

for tool in ip wrk curl $([ -n "$baseline" ] || echo nginx); do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
[ -x "$server_bin" ] || { echo "not built: $server_bin" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "needs root (network namespace)" >&2; exit 1; }

ns=qbench-$$
work=$(mktemp -d /tmp/qbench.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  ip netns del "$ns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

ip netns add "$ns"
ip -n "$ns" link set lo up
in_ns() { ip netns exec "$ns" "$@"; }

echo "preparing files in $work ..." >&2
mkdir -p "$work/www/media/small" "$work/nginx/tmp"
head -c $((200 * 1000 * 1000)) /dev/urandom >"$work/www/media/big.bin"
head -c $((200 * 1024 * 1024)) /dev/urandom >"$work/small.all"
split -b $((1024 * 1024)) -d -a 3 --additional-suffix=.bin "$work/small.all" "$work/www/media/small/f"
rm "$work/small.all"
cat "$work/www/media/big.bin" "$work/www/media/small/"*.bin >/dev/null  # into the page cache

cat >"$work/nginx/nginx.conf" <<EOF
worker_processes 1;
master_process off;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 1024; }
http {
  include /etc/nginx/mime.types;
  default_type application/octet-stream;
  sendfile on;
  tcp_nopush on;
  access_log off;
  keepalive_requests 1000000;
  client_body_temp_path $work/nginx/tmp/body;
  proxy_temp_path $work/nginx/tmp/proxy;
  fastcgi_temp_path $work/nginx/tmp/fastcgi;
  uwsgi_temp_path $work/nginx/tmp/uwsgi;
  scgi_temp_path $work/nginx/tmp/scgi;
  server {
    listen 127.0.0.1:$nginx_port;
    root $work/www;
  }
}
EOF

# The files sit under media/, the one folder displays fetch from. wrk scripts: the small set
# cycles through its 200 paths; both report exact byte counts.
report='done = function(summary)
  local e = summary.errors
  io.write(string.format("BENCH bytes=%d us=%d requests=%d errors=%d\n", summary.bytes,
    summary.duration, summary.requests, e.connect + e.read + e.write + e.status + e.timeout))
end'
printf '%s\n' "$report" >"$work/big.lua"
cat >"$work/small.lua" <<EOF
local n = 0
request = function()
  n = n + 1
  return wrk.format("GET", string.format("/media/small/f%03d.bin", n % 200))
end
$report
EOF

wait_ready() {
  for _ in $(seq 100); do
    code=$(in_ns curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$1/media/small/f000.bin" || true)
    [ "$code" = 200 ] && return 0
    sleep 0.1
  done
  echo "server on port $1 did not come up" >&2
  return 1
}

# Started directly (not through a shell function) so that $! is the server itself: `ip netns
# exec` replaces itself with the program.
if [ -n "$baseline" ]; then
  ip netns exec "$ns" "$baseline" "$work/www" 127.0.0.1 "$nginx_port" </dev/null >/dev/null 2>&1 &
else
  ip netns exec "$ns" nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" </dev/null >/dev/null 2>&1 &
fi
nginx_pid=$!
pids+=("$nginx_pid")
ip netns exec "$ns" "$server_bin" "$work/www" 127.0.0.1 "$our_port" </dev/null >/dev/null 2>&1 &
our_pid=$!
pids+=("$our_pid")
wait_ready "$nginx_port"
wait_ready "$our_port"
[ -n "$baseline" ] || [ "$(cat "/proc/$nginx_pid/comm")" = nginx ] ||
  { echo "nginx pid not found" >&2; exit 1; }
[ "$(readlink "/proc/$our_pid/exe")" = "$(readlink -f "$server_bin")" ] ||
  { echo "server pid not found" >&2; exit 1; }

ticks=$(getconf CLK_TCK)
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
peak_kib() { awk '/^VmHWM:/ {print $2}' "/proc/$1/status"; }

# measure PID PORT SET CONNECTIONS -> "MiB/s cpu_s_per_GiB peak_MiB errors"
measure() {
  local pid=$1 port=$2 set=$3 conns=$4 path threads before after out
  path=/media/big.bin
  [ "$set" = small ] && path=/media/small/f000.bin
  threads=2
  [ "$conns" -lt 2 ] && threads=1
  echo 5 >"/proc/$pid/clear_refs"  # restarts the VmHWM peak for this measurement
  before=$(cpu_ticks "$pid")
  out=$(in_ns wrk -t"$threads" -c"$conns" -d"${duration}s" --timeout 60s -s "$work/$set.lua" \
    "http://127.0.0.1:$port$path")
  after=$(cpu_ticks "$pid")
  echo "$out" | awk -v cpu=$((after - before)) -v tck="$ticks" -v hwm="$(peak_kib "$pid")" '
    /^BENCH/ {
      for (i = 2; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
      gib = v["bytes"] / 2^30
      printf "%.1f %.3f %.1f %d\n", v["bytes"] / 2^20 / (v["us"] / 1e6),
        (gib > 0 ? cpu / tck / gib : 0), hwm / 1024, v["errors"]
    }'
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
maximum() { printf '%s\n' "$@" | sort -g | tail -1; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }

printf 'median of %s runs of %ss each, the two servers taking turns\n' "$repeats" "$duration"
printf '%-6s %5s | %9s %9s %6s | %9s %9s %6s | %9s %9s\n' set conns $ref ours ratio \
  $ref ours ratio $ref ours
printf '%-6s %5s | %9s %9s %6s | %9s %9s %6s | %9s %9s\n' "" "" "MiB/s" "MiB/s" "" \
  "CPU s/GiB" "CPU s/GiB" "" "VmHWM MiB" "VmHWM MiB"
for set in $sets; do
  for conns in $connection_counts; do
    n_tp=() n_cpu=() n_rss=() o_tp=() o_cpu=() o_rss=() errors=0
    for _ in $(seq "$repeats"); do
      read -r tp cpu rss err <<<"$(measure "$nginx_pid" "$nginx_port" "$set" "$conns")"
      n_tp+=("$tp") n_cpu+=("$cpu") n_rss+=("$rss") errors=$((errors + err))
      read -r tp cpu rss err <<<"$(measure "$our_pid" "$our_port" "$set" "$conns")"
      o_tp+=("$tp") o_cpu+=("$cpu") o_rss+=("$rss") errors=$((errors + err))
    done
    ntp=$(median "${n_tp[@]}") otp=$(median "${o_tp[@]}")
    ncpu=$(median "${n_cpu[@]}") ocpu=$(median "${o_cpu[@]}")
    printf '%-6s %5s | %9s %9s %6s | %9s %9s %6s | %9s %9s\n' "$set" "$conns" "$ntp" "$otp" \
      "$(ratio "$otp" "$ntp")" "$ncpu" "$ocpu" "$(ratio "$ocpu" "$ncpu")" \
      "$(maximum "${n_rss[@]}")" "$(maximum "${o_rss[@]}")"
    [ "$errors" = 0 ] || echo "  $errors failed requests in this row" >&2
  done
done
