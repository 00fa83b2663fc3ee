#!/usr/bin/env bash
# 20 displays fetch a 6 MB file at once (every other one a range) from a host capped at 40
# Mbit/s: its link sends within 10 % of that in every 5 s, and every download ends whole and fair.
# Usage: send_cap_lab.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
# shellcheck source-path=SCRIPTDIR source=../lab/session.sh
source "$src/tests/lab/session.sh"
lab_check
lab_session sendcap --subnets 1 --displays-per-subnet 20
fail() { echo "FAIL: $*" >&2 && cat "$work/fetch.txt" "$work/err.txt" >&2; exit 1; }
lab_app_folder "$work/app" en media
printf 'sendCapMbps: 40\nsendCapPerDisplayMbps: 10\n' >>"$work/app/config.yaml"
head -c 6000000 /dev/urandom >"$work/app/web/media/big.bin"
XDG_RUNTIME_DIR="$work" bash "$lab" exec-host "$name" "$build/quillora-cli" --folder "$work/app" \
  --wait 90 >/dev/null 2>"$work/err.txt" &
LAB_PIDS+=($!)
url=http://10.77.1.1:8089/media/big.bin
bash "$lab" exec-display "$name" 1 curl -sfI --retry 20 --retry-connrefused --retry-delay 1 "$url" \
  >/dev/null || fail "the host does not serve"
# shellcheck disable=SC2016 # expanded by the inner shell
bash "$lab" exec-display "$name" 1 bash -c 'for i in $(seq 10 29); do
    range=(); [ $((i % 2)) = 1 ] && range=(-r 1000000-)
    curl -s -o /dev/null --max-time 50 --interface "10.77.1.$i" "${range[@]}" \
      -w "%{http_code} %{size_download} %{time_total}\n" "$1" >>"$2" &
  done; wait' fetch "$url" "$work/fetch.txt" &
clients=$!
while kill -0 "$clients" 2>/dev/null; do  # each curl ends within 50 s
  echo "$(date +%s.%N) $(ip -n "$LAB_HOST_NS" -s -j link show sub1 | jq '.[0].stats64.tx.bytes')"
  sleep 1
done >"$work/tx.txt"
wait "$clients"
# Windows of 5 samples while every download still runs: 36 to 44 Mbit/s each.
rates=$(awk '{ t[NR] = $1; b[NR] = $2 } END { for (i = 1; i + 5 < NR; i += 5) {
  r = (b[i+5] - b[i]) * 8 / 1e6 / (t[i+5] - t[i]); printf "%.1f ", r; n++; bad += r < 36 || r > 44 }
  exit !(n && !bad) }' "$work/tx.txt") || fail "Mbit/s in each 5 s: $rates"
echo "Mbit/s in each 5 s: $rates"
awk -v size=6000000 '$2 == ($1 == 200 ? size : size - 1e6) { n++ } !min || $3 < min { min = $3 }
  $3 > max { max = $3 } END { exit !(n == 20 && max < 1.5 * min) }' "$work/fetch.txt" ||
  fail "not every download whole, or one took far longer than the others"
echo "send cap lab: all checks passed"
