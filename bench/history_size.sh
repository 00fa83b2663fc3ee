#!/usr/bin/env bash
# A large deploy journal: RUNS runs of 10 displays, 3 steps each, written straight into the
# store with the sqlite3 shell (not through deploys), then
# - the start of quillora-cli without requests, cold (page cache dropped, root only) and warm,
#   against a start with the store switched off; goal: under 0.5 s warm;
# - "history get" with limit 50, from 200 requests in one process less a process without any;
#   goal: under 20 ms a request;
# - the export of the whole journal to CSV: the program's peak resident memory against a start
#   without requests; goal: under 50 MB;
# - pruning to the newest half of the runs, with the space given back.
# Figures, not a timed test. Every program runs in a network namespace of its own (no traffic).
# Usage: bench/history_size.sh [BUILD_DIR]   Environment: RUNS (default 100000)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build}
runs=${RUNS:-100000}
cli=$build/quillora-cli
prune=$build/bench_history_prune
[ -x "$cli" ] && [ -x "$prune" ] || { echo "not built in $build: quillora-cli, bench_history_prune" >&2; exit 1; }
for tool in sqlite3 /usr/bin/time unshare; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
[ "$(id -u)" = 0 ] || { echo "needs root (unshare -n)" >&2; exit 1; }

work=$(mktemp -d /tmp/quillora-history-size.XXXXXX)
trap 'rm -rf "$work"' EXIT
app=$work/app
mkdir -p "$app/web"
printf 'notification:\n  port: 8089\nsearch:\n  port: 37020\nlanguage: auto\n' >"$app/config.yaml"

run_cli() { unshare -n "$cli" --folder "$app" "$@"; }
now_ms() { echo $(($(date +%s%N) / 1000000)); }
# Milliseconds of one run of the command.
timed() {
  local start
  start=$(now_ms)
  "$@" >/dev/null 2>>"$work/stderr"
  echo $(($(now_ms) - start))
}
# The best of three, so that a busy moment of the machine does not count.
best_of_3() {
  local best=999999 t
  for _ in 1 2 3; do
    t=$(timed "$@")
    ((t < best)) && best=$t
  done
  echo "$best"
}

run_cli >/dev/null 2>&1  # makes the store with its schema
now=$(date +%s%3N)
# 250 s apart: the newest run is now, the oldest some 290 days ago, within a year's limit.
start_seed=$(now_ms)
sqlite3 "$app/data/quillora.db" >/dev/null <<SQL
PRAGMA synchronous=OFF;
BEGIN;
WITH RECURSIVE r(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM r WHERE i < $runs)
INSERT INTO runs (id, kind, started, ended, playlist, group_name, retry_of, request)
SELECT i, 'playlist', $now - ($runs - i) * 250000, $now - ($runs - i) * 250000 + 900,
  'lobby.json', 'hall', 0,
  '{"C":"deploy","P":{"ip":["10.0.0.1:80","10.0.0.2:80"],"name":"lobby.json"},"T":"playlist","V":1}'
FROM r;
INSERT INTO run_files (run, position, name, size, sha256)
SELECT id, 0, 'clip.mp4', 123456789, printf('%064d', id) FROM runs;
WITH RECURSIVE d(j) AS (SELECT 1 UNION ALL SELECT j + 1 FROM d WHERE j < 10)
INSERT INTO run_displays (run, ip, state, updated, detail)
SELECT id, '10.0.0.' || j || ':80', 'confirmed', started + 800,
  '{"FileName":"clip.mp4","status":"finish","step":"playlist","success":1,"total":1}'
FROM runs, d ORDER BY id, j;
WITH s(seq, step, status) AS (VALUES (1, 'login', 'OK'), (2, 'playlist', 'OK'),
                                     (3, 'notification', 'finish'))
INSERT INTO steps (run, ip, seq, at, step, status, detail)
SELECT d.run, d.ip, s.seq, d.updated - 300 + s.seq * 100, s.step, s.status,
  CASE s.seq WHEN 3 THEN '{"FileName":"clip.mp4","success":1,"total":1}' ELSE '{}' END
FROM run_displays d, s ORDER BY d.run, d.ip, s.seq;
COMMIT;
PRAGMA wal_checkpoint(TRUNCATE);
SQL
seeded=$(($(now_ms) - start_seed))
size_mb=$(($(stat -c %s "$app/data/quillora.db") / 1000000))
echo "seeded: $runs runs x 10 displays x 3 steps in $seeded ms; store $size_mb MB"

# The first start gives back what the seeding left free; the starts measured are later ones.
run_cli >/dev/null 2>&1
if sync && echo 3 >/proc/sys/vm/drop_caches 2>/dev/null; then
  cold=$(timed run_cli)
  echo "start, cold: $cold ms"
else
  echo "start, cold: not measured (the page cache cannot be dropped here); warm figures only"
fi
warm=$(best_of_3 run_cli)
bare=$(QUILLORA_NO_STORE=1 best_of_3 run_cli)
echo "start, warm: $warm ms (goal < 500); with the store off: $bare ms"

get='{"T":"history","C":"get","V":1,"P":{"limit":50}}'
gets=200
for _ in $(seq "$gets"); do echo "$get"; done >"$work/gets"
run_cli - <"$work/gets" >"$work/gets.out" 2>>"$work/stderr"
[ "$(grep -c '"runs":\[{' "$work/gets.out")" = "$gets" ] || { echo "history get failed" >&2; exit 1; }
no_gets() { run_cli - </dev/null; }
all_gets() { run_cli - <"$work/gets"; }
empty=$(best_of_3 no_gets)
many=$(best_of_3 all_gets)
echo "history get, limit 50: $(awk -v a="$many" -v b="$empty" -v n="$gets" 'BEGIN { printf "%.2f", (a - b) / n }')" \
  "ms a request (goal < 20) ($many ms for $gets in one process, $empty ms without any)"

export_kb() {
  /usr/bin/time -f %M -o "$work/rss" unshare -n "$cli" --folder "$app" "$@" >"$work/export.out" \
    2>>"$work/stderr"
  cat "$work/rss"
}
idle_kb=$(export_kb)
start_export=$(now_ms)
export_rss=$(export_kb --choose "$work/all.csv" '{"T":"history","C":"export","V":1,"P":{}}')
exported=$(($(now_ms) - start_export))
grep -q '"status":"OK"' "$work/export.out" || { echo "export failed: $(cat "$work/export.out")" >&2; exit 1; }
echo "export, whole history: $(($(stat -c %s "$work/all.csv") / 1000000)) MB CSV," \
  "$(($(wc -l <"$work/all.csv") - 1)) rows in $exported ms; peak RSS $((export_rss / 1024)) MB" \
  "(goal < 50), $((idle_kb / 1024)) MB for a start without requests"

"$prune" "$app" $((runs / 2))
