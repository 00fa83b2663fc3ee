#!/usr/bin/env bash
# Runs a Windows program under wine64, headless, and exits with the program's exit code.
# Usage: scripts/windows/wine-run.sh PROGRAM.exe [ARG...]
#
# The Wine prefix is $WINEPREFIX when the caller set one, else one per network namespace under
# $QUILLORA_WINE_BASE (default: a "wine" folder beside PROGRAM). Wine's sockets are made by the
# prefix's wineserver, in the namespace where that server started: a program started in a lab
# namespace while a server for its prefix runs elsewhere binds and connects in the other
# namespace, yet sees the lab's adapters. A prefix per namespace gives each its own server.
# Programs started in the same namespace share the server, and with it named mutexes. The server
# exits by itself 30 s after its last program; `wine-run.sh --stop PROGRAM.exe` ends it at once.
set -euo pipefail

WINE64=${QUILLORA_WINE64:-/usr/lib/wine/wine64}
[ -x "$WINE64" ] || WINE64=$(command -v wine64 || command -v wine || true)
[ -n "$WINE64" ] || {
  echo "wine-run.sh: wine64 is not installed" >&2
  exit 127
}
WINESERVER=$(dirname "$WINE64")/wineserver
[ -x "$WINESERVER" ] || WINESERVER=$(command -v wineserver || echo wineserver)

stop=0
if [ "${1:-}" = "--stop" ]; then
  stop=1
  shift
fi
[ $# -ge 1 ] || {
  echo "usage: wine-run.sh [--stop] PROGRAM.exe [ARG...]" >&2
  exit 2
}

if [ -z "${WINEPREFIX:-}" ]; then
  base=${QUILLORA_WINE_BASE:-$(cd "$(dirname "$1")" && pwd)/wine}
  WINEPREFIX=$base/net-$(stat -L -c %i /proc/self/ns/net)
fi
export WINEPREFIX
# No debug channels, no Mono or Gecko installer prompts, no windows.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
unset DISPLAY WAYLAND_DISPLAY

if [ "$stop" = 1 ]; then
  [ ! -d "$WINEPREFIX" ] || "$WINESERVER" -k 2>/dev/null || true
  exit 0
fi

# Each prefix holds some 700 MB of Wine's DLLs: those of namespaces that are gone (every lab run
# makes new ones) are removed when a new one is made. A namespace is gone when no process is in
# it and no name holds it.
prune_gone_namespaces() {
  local live dir ino
  live=$({
    stat -L -c %i /run/netns/* 2>/dev/null
    for ns in /proc/[0-9]*/ns/net; do readlink "$ns" 2>/dev/null; done | tr -dc '0-9\n'
  } | sort -u)
  for dir in "$1"/net-*; do
    [ -d "$dir" ] || continue
    ino=${dir##*/net-}
    grep -qx "$ino" <<<"$live" || rm -rf "$dir" "$dir.lock"
  done
}

# A new prefix takes some seconds to fill; two programs started at once must not both fill it.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  [ -n "${base:-}" ] && prune_gone_namespaces "$base"
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      "$WINE64" wineboot --init >/dev/null 2>&1 || true
      # Wine's null display driver, so that programs with windows run headless too; the server
      # writes it to the prefix and ends before the first program starts with it.
      "$WINE64" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 || true
      "$WINESERVER" -w 2>/dev/null || true
    fi
  ) 9>"$WINEPREFIX.lock"
fi
# A server that outlives each program: a test suite starts hundreds of programs, each in a tenth of
# a second instead of one. It ends 30 s after the last one. The server and Wine's own background
# programs (services, devices), started with it, must not hold the caller's output open, or ctest
# waits for them after every test.
if "$WINESERVER" -p30 </dev/null >/dev/null 2>&1; then
  "$WINE64" wineboot </dev/null >/dev/null 2>&1 || true
fi
exec "$WINE64" "$@"
