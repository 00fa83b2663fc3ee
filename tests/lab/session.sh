# shellcheck shell=bash
# One network lab for the length of a script (tests, benches, scripts/run.sh); source it. It
# sets lab (lab.sh beside this file); the sourcing script sets build (its build folder).
#   lab_check [MESSAGE]           no lab possible here: exit 77 (skipped), or 1 with MESSAGE
#   lab_session TAG [UP-OPTION...] name (TAG and the pid), work (a new folder), the lab up and
#                                 its LAB_* variables set
#   lab_app_folder DIR LANGUAGE [SUBDIR...]  DIR/web(/SUBDIR...) and a config.yaml on the
#                                 ports the lab scripts use
#   lab_start_sim SUBNET TAG [ARG...]  the simulator in the background in SUBNET, output in
#                                 $work/TAG.out and $work/TAG.err
#   lab_await_ready SECONDS TAG...     each simulator's READY line
#   lab_await_connect SECONDS ADDRESS...  a connection to port 80 from the host namespace
#   lab_start_host FOLDER [ARG...]  quillora-cli on FOLDER in the host namespace as coproc HOST
#                                 (HOST_PID), page requests on its stdin, stderr in $work/err.txt
#   lab_stop_host                 its stdin closed, its clean exit awaited
#   lab_await_message PATTERN [COUNT] [SECONDS]  with the host program as coproc HOST: reads its
#                                 page messages (each appended to $work/out.txt) until COUNT (1)
#                                 match the extended regex PATTERN, LAST the last match
#   send MESSAGE / await PATTERN [COUNT] [SECONDS]  one page request; a wait that fails the script
#   fail TEXT                     TEXT, the page messages and stderr seen, and exit 1
# The waits return 1 when one ran out. At exit: lab_on_exit (when the script defines it), TERM
# to the host program and LAB_PIDS, the lab down (which ends whatever still runs in it),
# LAB_PIDS reaped, work gone.

lab="$(dirname "${BASH_SOURCE[0]}")/lab.sh"
samples="$(cd "$(dirname "${BASH_SOURCE[0]}")/../data/media" && pwd)"
LAB_PIDS=()

# The message is optional: tests call it without one.
# shellcheck disable=SC2120
lab_check() { bash "$lab" check || { [ $# -eq 0 ] && exit 77; echo "$1" >&2; exit 1; }; }

lab_cleanup() {
  # A failing hook must not keep the lab up.
  if declare -F lab_on_exit >/dev/null; then lab_on_exit || true; fi
  if [ -n "${HOST_PID:-}" ]; then kill "$HOST_PID" 2>/dev/null || true; fi
  local pid
  for pid in "${LAB_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  bash "$lab" down "$name"
  if [ ${#LAB_PIDS[@]} -gt 0 ]; then wait "${LAB_PIDS[@]}" 2>/dev/null || true; fi
  rm -rf "$work"
}

lab_session() {
  local tag=$1 keys
  shift
  name="$tag$$"
  work=$(mktemp -d "/tmp/quillora-$tag-XXXXXX")
  trap lab_cleanup EXIT
  # lab.sh has said why on stderr; nothing below can run without the lab.
  keys=$(bash "$lab" up "$name" "$@") || exit 1
  eval "$keys"
}

lab_app_folder() {
  local dir=$1 language=$2 sub
  shift 2
  mkdir -p "$dir/web"
  for sub in "$@"; do mkdir -p "$dir/web/$sub"; done
  printf 'notification:\n  port: 8089\nsearch:\n  port: 37020\nlanguage: %s\n' "$language" \
    >"$dir/config.yaml"
}

lab_start_sim() {
  local subnet=$1 tag=$2
  shift 2
  # lab.sh and ip netns exec both exec: $! is the simulator itself.
  # shellcheck disable=SC2154 # build is the sourcing script's
  bash "$lab" exec-display "$name" "$subnet" "$build/quillora-display-sim" "$@" \
    >"$work/$tag.out" 2>"$work/$tag.err" &
  LAB_PIDS+=($!)
}

# Waits at most SECONDS ($1) for each ARG until CHECK ARG ($2) succeeds; 1 when one ran out.
lab_await() {
  local tries=$(($1 * 20)) check=$2 arg i status=0
  shift 2
  for arg in "$@"; do
    for ((i = 0; i <= tries; i++)); do
      "$check" "$arg" 2>/dev/null && continue 2
      sleep 0.05
    done
    status=1
  done
  return "$status"
}
lab_ready() { grep -q '^READY' "$work/$1.out"; }
lab_connects() { bash "$lab" exec-host "$name" bash -c "exec 3<>/dev/tcp/$1/80"; }
lab_await_ready() { lab_await "$1" lab_ready "${@:2}"; }
lab_await_connect() { lab_await "$1" lab_connects "${@:2}"; }

lab_await_message() {
  local pattern=$1 count=${2:-1} deadline=$((SECONDS + ${3:-20})) line seen=0
  while [ "$seen" -lt "$count" ]; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    IFS= read -r -t 5 line <&"${HOST[0]}" || continue
    echo "$line" >>"$work/out.txt"
    if [[ "$line" =~ $pattern ]]; then
      seen=$((seen + 1))
      LAST=$line
    fi
  done
}

fail() { echo "FAIL: $*" >&2 && cat "$work/out.txt" "$work/err.txt" >&2 2>/dev/null; exit 1; }
send() { echo "$1" >&"${HOST[1]}"; }
await() { lab_await_message "$@" || fail "timed out waiting for ${2:-1} x $1"; }

lab_start_host() {
  local folder=$1
  shift
  : >"$work/out.txt"
  coproc HOST { XDG_RUNTIME_DIR="$work" exec bash "$lab" exec-host "$name" "$build/quillora-cli" \
    --folder "$folder" "$@" - 2>>"$work/err.txt"; }
  HOST_PID=$HOST_PID
}
lab_stop_host() { exec {HOST[1]}>&- && wait "$HOST_PID" || fail "quillora-cli exited $?"; HOST_PID=; }
