#!/usr/bin/env bash
# Start-up of the desktop program, warm: the time from starting the process to the end of the
# UI script's injection, and the memory of its process tree (the program, WebKit's web process
# and network process) once the page has settled.
#
# The reference, run alternately in the same script, is the same program on a changed
# index.html: it shows its built-in error page, so it costs the bare program and WebKit without
# the page's libraries, its script and the loopback listener. The ratios page/reference say
# what the page adds.
#
# Runs under Xvfb in a network namespace of its own (loopback and a veth pair of its own); nothing
# reaches any other network. Needs root, iproute2 and Xvfb.
#
# usage: bench/desktop_startup.sh [BUILD_DIR] [RUNS]   (RUNS per kind after one warm-up each,
#   default 5; the median is shown)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$src/build}")
runs=${2:-5}

for tool in ip Xvfb; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
[ -x "$build/quillora" ] || { echo "not built: $build/quillora" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "needs root (network namespace)" >&2; exit 1; }

ns="qbench-desk$$"
work=$(mktemp -d /tmp/quillora-startup-XXXXXX)
xvfb_pid=""
cleanup() {
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  ip netns del "$ns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
ip netns add "$ns"
ip -n "$ns" link set lo up
# The program listens for the displays on a local address: a veth pair with both ends in the
# namespace gives it one, and whatever is sent there stays inside.
ip -n "$ns" link add q0 type veth peer name q1
ip -n "$ns" addr add 10.78.0.1/24 dev q0
ip -n "$ns" link set q0 up
ip -n "$ns" link set q1 up

# X clients reach the server through an abstract socket, which belongs to the namespace.
ip netns exec "$ns" Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 1 100); do
  [ -s "$work/display" ] && break
  sleep 0.1
done
[ -s "$work/display" ] || { echo "Xvfb did not start" >&2; exit 1; }
mkdir -m 700 "$work/run"
export DISPLAY=":$(tr -d '\n' <"$work/display")" XDG_RUNTIME_DIR="$work/run"
export GSETTINGS_BACKEND=memory NO_AT_BRIDGE=1

make_folder() { # DIR
  mkdir -p "$1"
  cp -r "$build/web" "$1/web"
  printf 'notification:\n  port: 8089\nsearch:\n  port: 37020\nlanguage: en\n' >"$1/config.yaml"
}
make_folder "$work/page"
make_folder "$work/reference"
sed -i '0,/<title>/s//<title>X/' "$work/reference/web/index.html"

# The process and all its descendants.
tree() { # PID
  local child
  echo "$1"
  for child in $(pgrep -P "$1"); do tree "$child"; done
}

# kB of FIELD summed over the tree of PID, read from FILE (status or smaps_rollup).
tree_kb() { # PID FILE FIELD
  local pid sum=0 kb
  for pid in $(tree "$1"); do
    kb=$(awk -v f="$3:" '$1 == f { print $2 }' "/proc/$pid/$2" 2>/dev/null || true)
    sum=$((sum + ${kb:-0}))
  done
  echo "$sum"
}

# One start on folder KIND until the log shows PATTERN; prints "MS RSS_KB PSS_KB BREAKDOWN".
run_once() { # KIND PATTERN
  local log="$work/$1.log" start pid line stamp end breakdown="" p
  : >"$log"
  start=$(date +%s%3N)
  QUILLORA_LOG="$log" ip netns exec "$ns" "$build/quillora" --folder "$work/$1" 2>>"$work/stderr.log" &
  pid=$!
  for _ in $(seq 1 600); do
    line=$(grep -m1 -E "$2" "$log" || true)
    [ -n "$line" ] && break
    sleep 0.05
  done
  [ -n "$line" ] || { echo "$1: no \"$2\" within 30 s" >&2; tail -n 5 "$work/stderr.log" "$log" >&2; kill "$pid"; exit 1; }
  stamp=${line#[}
  stamp=${stamp%%]*}
  end=$((${stamp%.*} * 1000 + 10#${stamp#*.}))
  # Settled: the page's late work (thumbnails, translations) is done by then.
  sleep 2
  for p in $(tree "$pid"); do
    breakdown+="$(cat "/proc/$p/comm" 2>/dev/null)=$(($(awk '$1 == "VmRSS:" { print $2 }' "/proc/$p/status" 2>/dev/null || echo 0) / 1024)) "
  done
  echo "$((end - start)) $(tree_kb "$pid" status VmRSS) $(tree_kb "$pid" smaps_rollup Pss) $breakdown"
  kill -TERM "$pid"
  for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

page_pattern='ui script injection finished'
reference_pattern='error page shown'
run_once page "$page_pattern" >/dev/null
run_once reference "$reference_pattern" >/dev/null
: >"$work/page.txt"
: >"$work/reference.txt"
for i in $(seq 1 "$runs"); do
  run_once page "$page_pattern" >>"$work/page.txt"
  run_once reference "$reference_pattern" >>"$work/reference.txt"
done

median() { # FILE COLUMN
  awk -v c="$2" '{ print $c }' "$1" | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
report() { # KIND WHAT
  printf '%-10s %-32s median %6s ms (%s..%s), tree RSS %4d MiB, PSS %4d MiB\n' "$1" "$2" \
    "$(median "$work/$1.txt" 1)" "$(sort -n "$work/$1.txt" | head -1 | cut -d' ' -f1)" \
    "$(sort -n "$work/$1.txt" | tail -1 | cut -d' ' -f1)" \
    "$(($(median "$work/$1.txt" 2 | cut -d. -f1) / 1024))" "$(($(median "$work/$1.txt" 3 | cut -d. -f1) / 1024))"
}
echo "runs: $runs of each, after one warm-up; load average: $(cut -d' ' -f1-3 /proc/loadavg)"
report page "start to end of injection"
report reference "start to error page shown"
echo "page, last run, RSS MiB by process: $(tail -1 "$work/page.txt" | cut -d' ' -f4-)"
awk -v pt="$(median "$work/page.txt" 1)" -v rt="$(median "$work/reference.txt" 1)" \
  -v pr="$(median "$work/page.txt" 2)" -v rr="$(median "$work/reference.txt" 2)" \
  -v pp="$(median "$work/page.txt" 3)" -v rp="$(median "$work/reference.txt" 3)" \
  'BEGIN { printf "ratio page/reference: time %.2f, RSS %.2f, PSS %.2f\n", pt / rt, pr / rr, pp / rp }'
