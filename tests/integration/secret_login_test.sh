#!/usr/bin/env bash
# A schedule's display login goes to the Secret Service and only there: quillora-cli in a
# network namespace of its own, with a session bus and an unlocked keyring made for the test.
# Saved with the login, edited without it, removed: the keyring has it, then has it no more.
# Usage: secret_login_test.sh BUILD_DIR (run under dbus-run-session by itself)
set -euo pipefail
build=$1
if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ]; then
  for tool in unshare dbus-run-session gnome-keyring-daemon secret-tool; do
    command -v "$tool" >/dev/null || { echo "skipped: no $tool"; exit 77; }
  done
  unshare -n true 2>/dev/null || { echo "skipped: no network namespaces"; exit 77; }
  exec unshare -n dbus-run-session -- bash "$0" "$@"
fi
work=$(mktemp -d /tmp/quillora-secret-XXXXXX)
trap 'rm -rf "$work"' EXIT
export HOME=$work XDG_RUNTIME_DIR=$work
ip link set lo up
eval "$(printf unlock | gnome-keyring-daemon --unlock --components=secrets)"
mkdir "$work/app" && printf 'notification:\n  port: 8089\nsearch:\n  port: 37020\nlanguage: en\n' >"$work/app/config.yaml"
fail() { echo "FAIL: $*" >&2; exit 1; }
cli() { "$build/quillora-cli" --folder "$work/app" "$1" 2>>"$work/err.txt"; }
schedule='"name":"Kept","login":"kept","targets":{"ip":["127.0.0.1:9"]},"operation":{"C":"set","T":"screen","P":{"cmd":"1"}},"when":{"weekly":{"days":["mon"],"time":"06:00"}}'
cli '{"T":"schedule","C":"save","V":1,"P":{'"$schedule"',"user":"admin","pass":"Pw-kept-7"}}' | grep -q '"status":"OK"' ||
  fail "not saved: $(cat "$work/err.txt")"
[ "$(secret-tool lookup login kept)" = '{"pass":"Pw-kept-7","user":"admin"}' ] || fail "the keyring does not hold the login"
cli '{"T":"schedule","C":"save","V":1,"P":{"id":1,'"$schedule"'}}' | grep -q '"status":"OK"' ||
  fail "an edit without the login was refused"
! grep -rq Pw-kept-7 "$work/app" || fail "the password reached the application folder"
cli '{"T":"schedule","C":"remove","V":1,"P":{"id":1}}' | grep -q '"status":"OK"' || fail "not removed"
[ -z "$(secret-tool lookup login kept)" ] || fail "the login outlived its schedule"
echo "secret login: kept by the keyring, found again, forgotten with its schedule"
