#!/usr/bin/env bash
# A playlist deploy to many simulated displays, timed from the request to the last "finish"
# message, with the store on and with it switched off (QUILLORA_NO_STORE=1) in alternate runs;
# then the same bytes fetched by curl from the same host's folder server with the host idle, so
# that the deploy can be set against the raw transfer.
# Usage: bench/deploy_store.sh [BUILD_DIR] [DISPLAYS]   (root; runs in its own network lab)
# Environment: RUNS (deploys per mode, default 5), MEDIA_MB (size of each of the 3 files,
#   default 3), SIM_THREADS (event-loop threads per simulator, default 2), SIM_ARGS (more
#   simulator options)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build}
displays=${2:-250}
runs=${RUNS:-5}
media_mb=${MEDIA_MB:-3}
sim_threads=${SIM_THREADS:-2}
# shellcheck source-path=SCRIPTDIR source=../tests/lab/session.sh
source "$src/tests/lab/session.sh"
lab_check "needs root and ip netns"
[ -x "$build/quillora-cli" ] && [ -x "$build/quillora-display-sim" ] ||
  { echo "not built in $build: quillora-cli, quillora-display-sim" >&2; exit 1; }
for tool in jq curl; do command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }; done

subnets=$(((displays + 199) / 200))
per=$(((displays + subnets - 1) / subnets))
# The host's server takes 300 connections at once and answers 503 past that: each display
# fetches as many files at once as keeps all of them under it, the raw transfer likewise.
parallel=$((280 / displays))
parallel=$((parallel < 1 ? 1 : parallel > 3 ? 3 : parallel))
lab_on_exit() { [ -n "${HOST_PID:-}" ] && kill "$HOST_PID" 2>/dev/null; }
lab_session store --subnets "$subnets" --displays-per-subnet "$per"
app=$work/app
lab_app_folder "$app" auto
mkdir -p "$work/rt"

# Valid MP4 files of the size wanted: a small sample followed by a "free" box of random bytes.
files=()
pad=$((media_mb * 1000 * 1000))
for i in 1 2 3; do
  {
    cat "$src/tests/data/media/h264_aac.mp4"
    printf '%08x' $((pad + 8)) | xxd -r -p
    printf free
    head -c "$pad" /dev/urandom
  } >"$work/clip$i.mp4"
  files+=("\"$work/clip$i.mp4\"")
done
echo "[[$(IFS=,; echo "${files[*]}")]]" >"$work/answers.json"

lasts=()
for s in $(seq 1 "$subnets"); do
  # shellcheck disable=SC2086 # SIM_ARGS is words
  lab_start_sim "$s" "sim$s" --address "10.77.$s.10" --count "$per" --idle-ms 10000 \
    --hash off --threads "$sim_threads" --no-discovery --parallel-downloads "$parallel" \
    --journal "$work/j$s.jsonl" --journal-body-limit 0 ${SIM_ARGS:-}
  lasts+=("10.77.$s.$((10 + per - 1))")
done
lab_await_ready 20 $(seq -f 'sim%g' 1 "$subnets") || { echo "simulators not ready" >&2; exit 1; }
lab_await_connect 10 "${lasts[@]}" || true

ips=""
addrs=()  # "SUBNET LAST-BYTE" of each display
for s in $(seq 1 "$subnets"); do
  for i in $(seq 10 $((10 + per - 1))); do
    [ "${#addrs[@]}" -lt "$displays" ] || break
    ips+="\"10.77.$s.$i:80\","
    addrs+=("$s $i")
  done
done

# The host reads messages on standard input; ENV... are set for it.
host_start() { # ENV...
  coproc HOST { env "$@" XDG_RUNTIME_DIR="$work/rt" bash "$lab" exec-host "$name" \
    "$build/quillora-cli" --folder "$app" --answers "$work/answers.json" - 2>>"$work/err.txt"; }
}
host_stop() {
  exec {HOST[1]}>&-
  wait "$HOST_PID" || true
  HOST_PID=
}
send() { echo "$1" >&"${HOST[1]}"; }
await() { lab_await_message "${1}" "${2:-1}" "${3:-30}"; }
fail() { echo "FAIL: $*" >&2; tail -n 5 "$work/out.txt" "$work/err.txt" >&2 || true; exit 1; }

host_start
send '{"C":"add","T":"media","V":1,"P":""}'
await '"C":"add"' || fail "media not added"
mapfile -t stored < <(jq -r '.P[].path' <<<"$LAST")
[ "${#stored[@]}" -eq 3 ] || fail "media added: $LAST"
items=""
for i in 0 1 2; do
  items+='{"url":"'"${stored[$i]}"'","type":1,"title":"clip'$i'","id":'$((i + 1))',"duration":10},'
done
send '{"C":"save","T":"playlist","V":1,"P":{"name":"bench.json","playlist":['"${items%,}"']}}'
await '"status":"OK"},"T":"playlist"' || fail "playlist not saved"
host_stop

deploy='{"C":"deploy","T":"playlist","V":1,"P":{"user":"admin","pass":"12345","ip":['"${ips%,}"'],"file":"bench.json"}}'
# Milliseconds from the deploy request to the last "finish"; ENV... are set for the host.
run_deploy() { # ENV...
  local start now
  host_start "$@"
  send '{"C":"open","T":"playlist","V":1,"P":"bench.json"}'
  await '"C":"open"' || fail "host not ready"
  start=$(date +%s%N)
  send "$deploy"
  await '"status":"finish"' "$displays" 300 || fail "not every display finished"
  now=$(date +%s%N)
  host_stop
  whole=$(grep -c '"failed":"0",.*"status":"finish","success":"3","total":"3"' "$work/out.txt" || true)
  : >"$work/out.txt"
  [ "$whole" -eq "$displays" ] || fail "only $whole of $displays displays fetched all 3 files"
  echo $(((now - start) / 1000000))
}

on=()
off=()
for r in $(seq 1 "$runs"); do
  ms=$(run_deploy)
  on+=("$ms")
  ms=$(run_deploy QUILLORA_NO_STORE=1)
  off+=("$ms")
  echo "run $r: store on ${on[-1]} ms, off ${off[-1]} ms" >&2
done
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
on_ms=$(median "${on[@]}")
off_ms=$(median "${off[@]}")

# The raw transfer: every display address fetches the 3 files, as many at once as in the deploy,
# from its subnet's host address while the host does nothing else; one curl per subnet, inside
# that subnet's namespace.
host_start
send '{"C":"open","T":"playlist","V":1,"P":"bench.json"}'
await '"C":"open"' || fail "host not ready"
for s in $(seq 1 "$subnets"); do
  printf 'parallel\nparallel-max = %d\nsilent\n' $((parallel * per)) >"$work/curl$s.conf"
done
for a in "${addrs[@]}"; do
  read -r s i <<<"$a"
  for f in "${stored[@]}"; do
    printf 'interface = 10.77.%d.%d\nurl = "http://10.77.%d.1:8089/media/%s"\noutput = /dev/null\n' \
      "$s" "$i" "$s" "$(jq -rn --arg f "$f" '$f | @uri')"
    printf 'noproxy = "*"\nmax-time = 120\nwrite-out = "%%{http_code} %%{size_download} %%{errormsg}\\n"\nnext\n'
  done >>"$work/curl$s.conf"
done
for s in $(seq 1 "$subnets"); do sed -i '$d' "$work/curl$s.conf"; done  # no "next" at the end
start=$(date +%s%N)
pids=()
for s in $(seq 1 "$subnets"); do
  bash "$lab" exec-display "$name" "$s" curl -K "$work/curl$s.conf" >"$work/curl$s.out" 2>"$work/curl$s.err" &
  pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid" || true; done
now=$(date +%s%N)
raw_ms=$(((now - start) / 1000000))

# The same downloads by the simulated displays themselves, ordered straight from the host
# namespace (curl, logged in first) while the host sits idle: the deploy without the host's part.
# Each config holds one request per display; a trailing "next" would be a request without URL.
hostcurl() { # NAME: $work/NAME.conf in the host namespace
  sed -i '$d' "$work/$1.conf"
  bash "$lab" exec-host "$name" curl -K "$work/$1.conf" >/dev/null 2>&1 || true
}
for c in challenge login order; do printf 'parallel\nparallel-max = 300\nsilent\n' >"$work/$c.conf"; done
for a in "${addrs[@]}"; do
  read -r s i <<<"$a"
  printf 'url = "http://10.77.%s.%s/ISAPI/Security/Login"\nrequest = POST\nheader = "Content-Length: 0"\noutput = "%s"\nnext\n' \
    "$s" "$i" "$work/sid-$s.$i" >>"$work/challenge.conf"
done
hostcurl challenge
for s in $(seq 1 "$subnets"); do
  {
    printf '<FetchListConfig><ListCount>3</ListCount><NotifyServerHost>10.77.%s.1</NotifyServerHost><NotifyServerPort>8089</NotifyServerPort>' "$s"
    for k in 0 1 2; do
      printf '<FetchList_%s><FileID>%s</FileID><PlayType>1</PlayType><Duration>10</Duration><FetchURL>http://10.77.%s.1:8089/media/%s</FetchURL></FetchList_%s>' \
        "$k" "$((k + 1))" "$s" "${stored[$k]}" "$k"
    done
    printf '</FetchListConfig>'
  } >"$work/order$s.xml"
done
for a in "${addrs[@]}"; do
  read -r s i <<<"$a"
  sid=$(sed -n 's:.*<SessionId>\([^<]*\)</SessionId>.*:\1:p' "$work/sid-$s.$i")
  digest=$(printf '%s' "$sid:admin:12345:KOVRA" | md5sum | cut -d' ' -f1)
  printf 'url = "http://10.77.%s.%s/ISAPI/Security/Login"\ndata-binary = "<UserCheck><Username>admin</Username><Password>%s</Password><SessionId>%s</SessionId></UserCheck>"\noutput = /dev/null\nnext\n' \
    "$s" "$i" "$digest" "$sid" >>"$work/login.conf"
  printf 'url = "http://10.77.%s.%s/ISAPI/VideoAdvert/FetchListConfig?ID=%s"\nrequest = PUT\ndata-binary = "@%s"\noutput = /dev/null\nnext\n' \
    "$s" "$i" "$sid" "$work/order$s.xml" >>"$work/order.conf"
done
hostcurl login
# Journal lines written from now on; the last display's notification ends the measurement.
timeout 300 tail -q -n 0 -f "$work"/j*.jsonl | grep -m "$displays" '"event":"notify"' >"$work/notified.txt" &
watcher=$!
sleep 0.2
start=$(date +%s%N)
hostcurl order
wait "$watcher" || true
now=$(date +%s%N)
host_stop
sim_ms=$(((now - start) / 1000000))
[ "$(grep -c "<SucceedCount>3<" "$work/notified.txt")" -eq "$displays" ] ||
  fail "the simulators alone fetched all of the files on $(grep -c "<SucceedCount>3<" "$work/notified.txt") displays"
moved=$(cat "$work"/curl*.out | awk '{ b += $2 } END { printf "%.0f\n", b }')
want=$((displays * $(cat "$app"/web/media/"${stored[0]}" "$app"/web/media/"${stored[1]}" "$app"/web/media/"${stored[2]}" | wc -c)))
[ "$moved" -eq "$want" ] || fail "curl moved $moved of $want bytes: $(sort "$work"/curl*.out | uniq -c | head -n 3)"

echo "displays=$displays files=3x${media_mb}MB runs=$runs sim_threads=$sim_threads parallel_downloads=$parallel"
echo "deploy median: store on ${on_ms} ms (${on[*]}), store off ${off_ms} ms (${off[*]})"
awk -v a="$on_ms" -v b="$off_ms" 'BEGIN { r = a / b; printf "ratio on/off=%.3f  target <= 1.05: %s\n", r, (r <= 1.05) ? "yes" : "no" }'
awk -v r="$raw_ms" -v a="$on_ms" -v b="$off_ms" -v m="$moved" \
  'BEGIN { printf "raw transfer of the same %.0f MB (curl): %d ms; deploy/raw: on %.2f, off %.2f\n", m / 1e6, r, a / r, b / r }'
awk -v r="$sim_ms" -v a="$on_ms" -v b="$off_ms" \
  'BEGIN { printf "the simulators fetching alone, host idle: %d ms; deploy/that: on %.2f, off %.2f\n", r, a / r, b / r }'
