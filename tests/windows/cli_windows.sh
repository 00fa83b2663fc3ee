#!/usr/bin/env bash
# quillora-cli.exe under Wine against temporary application folders: a saved playlist is the
# same file, byte for byte, as the Linux build writes; a second instance exits 2, a folder
# without config.yaml exits 3; videos probed with the MediaInfo.dll beside the program get the
# Linux build's verdicts; without MediaInfo.dll a video is refused with the library's message and
# the program goes on.
# Usage: cli_windows.sh WINDOWS_BUILD SOURCE_DIR LINUX_BUILD
set -euo pipefail
win=$1 src=$2 linux=$3
exe="$win/quillora-cli.exe"
[ -x "$exe" ] || { echo "no $exe" >&2; exit 1; }
# Only loopback: a fresh network namespace when we may make one.
if [ -z "${QUILLORA_UNSHARED:-}" ] && [ "$(id -u)" -eq 0 ]; then
  exec unshare -n env QUILLORA_UNSHARED=1 bash "$0" "$@"
fi
[ -n "${QUILLORA_UNSHARED:-}" ] && ip link set lo up
work=$(mktemp -d /tmp/quillora-cli-windows-XXXXXX)
trap 'bash "$src/scripts/windows/wine-run.sh" --stop "$exe" || true; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
wine() { bash "$src/scripts/windows/wine-run.sh" "$exe" "$@"; }
folder() {
  mkdir -p "$1/web"
  printf 'notification:\n  port: 18089\nsearch:\n  port: 13702\nlanguage: auto\n' >"$1/config.yaml"
}

# Wine maps / to drive Z:, so Linux paths name the same folders on both sides.
save='{"T":"playlist","C":"save","V":1,"P":{"name":"Grüße 映像.json","playlist":[{"url":"m1.mp4","type":1,"title":"Ünïcødé 映像.mp4","id":12,"duration":30},{"url":"m2.png","type":1,"title":"b.png","id":4294967294,"duration":3.5}]}}'
folder "$work/w"
folder "$work/l"
wine --folder "$work/w" "$save" >"$work/w.out" 2>"$work/w.err" || fail "save: $(cat "$work/w.err")"
XDG_RUNTIME_DIR=$work "$linux/quillora-cli" --folder "$work/l" "$save" >"$work/l.out" 2>/dev/null
cmp "$work/w/web/conf/Grüße 映像.json" "$work/l/web/conf/Grüße 映像.json" ||
  fail "the playlist files differ"
cmp "$work/w.out" "$work/l.out" || fail "the page messages differ: $(cat "$work/w.out")"
[ "$(wc -l <"$work/w/web/conf/Grüße 映像.json")" -eq 0 ] || fail "not one line"

# The first instance holds the named mutex while it waits; the second is turned away.
folder "$work/first"
coproc FIRST { wine --folder "$work/first" --wait 6 \
  '{"C":"get","T":"playlistFiles4Open","V":2,"P":""}' 2>/dev/null; }
IFS= read -r -t 60 line <&"${FIRST[0]}" || fail "the first instance printed nothing"
status=0
wine --folder "$work/first" '{"C":"get","T":"playlistFiles4Open","V":2,"P":""}' \
  >"$work/second.out" 2>"$work/second.err" || status=$?
[ "$status" -eq 2 ] || fail "second instance: exit $status"
grep -q 'An other instance of this application is already running!' "$work/second.err" ||
  fail "second instance: $(cat "$work/second.err")"
wait "$FIRST_PID" || fail "the first instance failed"

mkdir -p "$work/bare/web"
status=0
wine --folder "$work/bare" "$save" >/dev/null 2>"$work/bare.err" || status=$?
[ "$status" -eq 3 ] || fail "missing config.yaml: exit $status"
grep -q 'config.yaml' "$work/bare.err" || fail "missing config.yaml: $(cat "$work/bare.err")"

# The probe with the MediaInfo.dll that the build puts beside the program: the page gets the same
# message as from the Linux build, whose stored names differ only in their time stamp.
[ -f "$win/MediaInfo.dll" ] || fail "no MediaInfo.dll beside the program"
add='{"C":"add","T":"media","V":1,"P":""}'
stored='s/"path":"[0-9a-f]\{32\}\./"path":"STORED./'
while read -r file verdict; do
  folder "$work/$file.w"
  folder "$work/$file.l"
  wine --folder "$work/$file.w" --choose "$src/tests/data/media/$file" "$add" \
    >"$work/$file.w.out" 2>"$work/$file.w.err" || fail "probe $file: $(cat "$work/$file.w.err")"
  XDG_RUNTIME_DIR=$work "$linux/quillora-cli" --folder "$work/$file.l" \
    --choose "$src/tests/data/media/$file" "$add" >"$work/$file.l.out" 2>/dev/null
  sed -i "$stored" "$work/$file.w.out" "$work/$file.l.out"
  cmp -s "$work/$file.w.out" "$work/$file.l.out" ||
    fail "probe $file: Windows $(cat "$work/$file.w.out"), Linux $(cat "$work/$file.l.out")"
  grep -qF "$verdict" "$work/$file.w.out" || fail "probe $file: $(cat "$work/$file.w.out")"
done <<'EOF'
h264_aac.mp4 "path":"STORED.mp4","title":"h264_aac.mp4"
hevc_hev1.mp4 "codec":"hev1","status":"BADCODEC"
h264_mp3.mp4 "codec":" mp3","status":"BADCODEC"
EOF

# Without MediaInfo.dll a video is refused with the library's message and the program goes on: the
# program copied alone, started from another folder than the build folder (Windows looks for the
# DLL in the current folder too).
mkdir -p "$work/alone"
cp "$exe" "$work/alone/"
folder "$work/probe"
(cd "$work" && QUILLORA_WINE_BASE=$win/wine bash "$src/scripts/windows/wine-run.sh" \
  "$work/alone/quillora-cli.exe" --folder "$work/probe" \
  --choose "$src/tests/data/media/h264_aac.mp4" "$add" \
  '{"C":"get","T":"playlistFiles4Open","V":2,"P":""}') >"$work/probe.out" 2>"$work/probe.err" ||
  fail "probe: $(cat "$work/probe.err")"
grep -q '"codec":"Unable to load MediaInfo.dll"' "$work/probe.out" ||
  fail "probe: $(cat "$work/probe.out")"
grep -q '"T":"playlistFiles4Open"' "$work/probe.out" || fail "the program did not go on"
[ -z "$(ls -A "$work/probe/web/media")" ] || fail "a refused video was stored"
echo "cli_windows: all checks passed"
