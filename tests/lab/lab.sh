#!/usr/bin/env bash
# Quillora network lab: private network namespaces in which the host program and simulated
# displays talk to each other. Nothing is ever run in the caller's own namespace.
#   lab.sh check       exit 0 when a lab can be made here (root, "ip netns"); else the reason
#                      on stderr and exit 77 (the ctest skip code)
#   lab.sh up NAME [--subnets K] [--displays-per-subnet N]
#                      NAME: letters, digits, "_", "-", at most 24, first a letter or digit.
#                      A host namespace qlab-NAME-host and K (1..200) display namespaces
#                      qlab-NAME-s<s>, each joined to the host one by a veth link: host side
#                      "sub<s>" 10.77.<s>.1/24, display side "eth0" with N (1..245) addresses
#                      10.77.<s>.10 .. 10.77.<s>.(9+N). A lab of that name is torn down first;
#                      a failed step removes everything made and exits 1. While any lab is
#                      up, the caller's namespace routes 10.77.0.0/16 to a blackhole.
#                      Prints KEY=VALUE lines for eval (lists comma-separated): LAB_NAME,
#                      LAB_HOST_NS, LAB_SUBNETS, LAB_HOST_ADDRS, LAB_DISPLAY_ADDRS and, per
#                      subnet s, LAB_SUBNET_<s>_NS and LAB_SUBNET_<s>_DISPLAY_ADDRS
#   lab.sh down NAME   TERM (KILL after 2 s) to every process in the lab, namespaces deleted;
#                      quiet and exit 0 whether or not the lab exists, so it fits an EXIT trap
#   lab.sh exec-host NAME CMD [ARG...]           CMD in the host namespace (its exit code)
#   lab.sh exec-display NAME SUBNET CMD [ARG...] CMD in the display namespace of SUBNET
#   lab.sh list        the names of the labs that are up, one a line
# Labs of different names coexist (the same addresses in each, isolated). The route's lock is
# in $QUILLORA_LAB_STATE (default /run/quillora-lab). exec-* refuse to run anything when the
# target namespace is the caller's own. Exit 2: usage error.

set -u

STATE_DIR="${QUILLORA_LAB_STATE:-/run/quillora-lab}"
PREFIX="qlab"
RANGE="10.77.0.0/16"

die() { echo "lab.sh: $*" >&2; exit "${EXIT_CODE:-1}"; }
usage() { EXIT_CODE=2 die "$*"; }

check_name() {
  [[ "${1:-}" =~ ^[A-Za-z0-9][A-Za-z0-9_-]{0,23}$ ]] || usage "bad lab name: '${1:-}'"
}

host_ns() { echo "$PREFIX-$1-host"; }
subnet_ns() { echo "$PREFIX-$1-s$2"; }

# Reason why no lab can be made here, or nothing.
unusable_reason() {
  if [[ $(id -u) -ne 0 ]]; then echo "not root"; return; fi
  if ! command -v ip >/dev/null 2>&1; then echo "ip (iproute2) is not installed"; return; fi
  if ! ip netns list >/dev/null 2>&1; then echo "ip netns is not available"; return; fi
  local probe="$PREFIX-probe-$$"
  if ! ip netns add "$probe" >/dev/null 2>&1; then echo "cannot create a network namespace"; return; fi
  ip netns del "$probe" >/dev/null 2>&1
}

ns_exists() { [[ -e "/run/netns/$1" ]]; }

# True when namespace $1 is the caller's own (for example a name attached to it by mistake).
# Unknown counts as own: nothing is run or stopped then.
ns_is_own() {
  local target own
  target=$(stat -L -c %i "/run/netns/$1" 2>/dev/null) || return 0
  own=$(stat -L -c %i /proc/self/ns/net 2>/dev/null) || return 0
  [[ "$target" == "$own" ]]
}

# Namespaces of lab NAME that exist now.
lab_namespaces() {
  ip netns list 2>/dev/null | awk '{print $1}' | grep -E "^$PREFIX-$1-(host|s[0-9]+)\$" || true
}

# shellcheck disable=SC2086 # one argument per pid
kill_ns_processes() {
  local pids i
  pids=$(ip netns pids "$1" 2>/dev/null) || return 0
  for ((i = 0; i < 20 && ${#pids} > 0; i++)); do
    ((i > 0)) || kill -TERM $pids 2>/dev/null
    sleep 0.1
    pids=$(ip netns pids "$1" 2>/dev/null)
  done
  [[ -z "$pids" ]] || kill -KILL $pids 2>/dev/null
  return 0
}

# While a lab is up, the caller's namespace drops the lab's addresses: a client started there by
# mistake is stopped on this machine instead of leaving it by the default route. Labs of other
# names come and go at the same time, hence the lock.
guard_route() {
  mkdir -p "$STATE_DIR" || return 1
  (
    flock 9
    if [[ $1 == add ]]; then
      ip route replace blackhole "$RANGE"
    elif [[ -z "$(cmd_list)" ]]; then
      ip route del blackhole "$RANGE" 2>/dev/null || true
    fi
  ) 9>"$STATE_DIR/route.lock"
}

cmd_down() {
  [[ $# -eq 1 ]] || usage "usage: lab.sh down NAME"
  check_name "$1"
  local ns
  # Display namespaces first: their processes may talk to the host namespace.
  for ns in $(lab_namespaces "$1" | sort -r); do
    # Never stop processes of the caller's own namespace; only its name is removed.
    ns_is_own "$ns" || kill_ns_processes "$ns"
    ip netns del "$ns" 2>/dev/null
  done
  guard_route del
  return 0
}

print_keys() {
  local name="$1" subnets="$2" per="$3" s i hosts="" all="" list
  for ((s = 1; s <= subnets; s++)); do
    list=""
    for ((i = 0; i < per; i++)); do list+="${list:+,}10.77.$s.$((10 + i))"; done
    hosts+="${hosts:+,}10.77.$s.1"
    all+="${all:+,}$list"
    echo "LAB_SUBNET_${s}_NS=$(subnet_ns "$name" "$s")"
    echo "LAB_SUBNET_${s}_DISPLAY_ADDRS=$list"
  done
  echo "LAB_NAME=$name"
  echo "LAB_HOST_NS=$(host_ns "$name")"
  echo "LAB_SUBNETS=$subnets"
  echo "LAB_HOST_ADDRS=$hosts"
  echo "LAB_DISPLAY_ADDRS=$all"
}

build_lab() {
  local name="$1" subnets="$2" per="$3" s i hns sns
  hns=$(host_ns "$name")
  ip netns add "$hns" || return 1
  ip -n "$hns" link set lo up || return 1
  for ((s = 1; s <= subnets; s++)); do
    sns=$(subnet_ns "$name" "$s")
    ip netns add "$sns" || return 1
    ip -n "$sns" link set lo up || return 1
    # Both ends are made inside the lab's namespaces: no name is used in the caller's one.
    ip -n "$hns" link add "sub$s" type veth peer name eth0 netns "$sns" || return 1
    ip -n "$hns" addr add "10.77.$s.1/24" dev "sub$s" || return 1
    for ((i = 0; i < per; i++)); do
      echo "addr add 10.77.$s.$((10 + i))/24 dev eth0"
    done | ip -n "$sns" -batch - || return 1
    ip -n "$sns" link set eth0 up || return 1
    ip -n "$hns" link set "sub$s" up || return 1
  done
  # The links report "up" a moment after they are set up; wait so callers can connect at once.
  local tries
  for ((tries = 0; tries < 50; tries++)); do
    [[ $(ip -n "$hns" -br link show type veth 2>/dev/null | awk '$2 != "UP"' | wc -l) -eq 0 ]] && return 0
    sleep 0.1
  done
  echo "lab.sh: links of lab $name did not come up" >&2
  return 1
}

cmd_up() {
  [[ $# -ge 1 ]] || usage "usage: lab.sh up NAME [--subnets K] [--displays-per-subnet N]"
  local name="$1" subnets=1 per=1
  check_name "$name"
  shift
  while [[ $# -gt 0 ]]; do
    case "$1" in
      --subnets) [[ $# -ge 2 ]] || usage "missing value for --subnets"; subnets="$2"; shift 2 ;;
      --displays-per-subnet) [[ $# -ge 2 ]] || usage "missing value for --displays-per-subnet"; per="$2"; shift 2 ;;
      *) usage "unknown option: $1" ;;
    esac
  done
  [[ "$subnets" =~ ^[0-9]+$ ]] && ((subnets >= 1 && subnets <= 200)) || usage "--subnets must be 1..200"
  [[ "$per" =~ ^[0-9]+$ ]] && ((per >= 1 && per <= 245)) || usage "--displays-per-subnet must be 1..245"
  local reason
  reason=$(unusable_reason)
  [[ -z "$reason" ]] || die "cannot make a lab: $reason"

  cmd_down "$name"
  if ! build_lab "$name" "$subnets" "$per" || ! guard_route add; then
    cmd_down "$name"
    die "could not make lab $name"
  fi
  print_keys "$name" "$subnets" "$per"
}

# Runs "$@" in namespace $1, never in the caller's own namespace.
exec_in() {
  local ns="$1"
  shift
  ns_exists "$ns" || die "namespace $ns does not exist (is the lab up?)"
  ! ns_is_own "$ns" || die "refusing to run in the caller's own network namespace ($ns)"
  exec ip netns exec "$ns" "$@"
}

cmd_exec_host() {
  [[ $# -ge 2 ]] || usage "usage: lab.sh exec-host NAME CMD [ARG...]"
  check_name "$1"
  exec_in "$(host_ns "$1")" "${@:2}"
}

cmd_exec_display() {
  [[ $# -ge 3 ]] || usage "usage: lab.sh exec-display NAME SUBNET CMD [ARG...]"
  check_name "$1"
  [[ "$2" =~ ^[1-9][0-9]*$ ]] || usage "bad subnet number: '$2'"
  exec_in "$(subnet_ns "$1" "$2")" "${@:3}"
}

cmd_list() {
  ip netns list 2>/dev/null | awk '{print $1}' | sed -n "s/^$PREFIX-\(.*\)-host\$/\1/p"
}

main() {
  [[ $# -ge 1 ]] || usage "usage: lab.sh check|up|down|exec-host|exec-display|list ..."
  local cmd="$1" reason
  shift
  case "$cmd" in
    check) reason=$(unusable_reason); [[ -z "$reason" ]] || EXIT_CODE=77 die "no lab possible: $reason" ;;
    up) cmd_up "$@" ;;
    down) cmd_down "$@" ;;
    exec-host) cmd_exec_host "$@" ;;
    exec-display) cmd_exec_display "$@" ;;
    list) cmd_list ;;
    -h | --help | help) sed -n '2,/^$/p' "$0" | sed 's/^# \{0,1\}//' ;;
    *) usage "unknown command: $cmd" ;;
  esac
}

main "$@"
