#!/usr/bin/env bash
# quillora.exe under Wine, headless, in a network lab's host namespace with two simulated displays
# in two subnets. With the stand-in WebView2 loader (tools/webview2_standin), which records every
# call of the program and plays a page: the view is set up in order, the UI script is injected as
# the Linux desktop injects it and the replies equal the Linux build's, a changed page gives the
# error page, only https leaves the page, the language reaches it, the view follows the window and
# the window keeps its minimum size, a deploy's answers reach the page from the network thread, and
# closing the window while messages arrive ends cleanly (20 of 20). With the real loader and no
# runtime: the program says so, or starts the installer beside it, and keeps running. A second
# instance is turned away.
# Usage: desktop_windows.sh WINDOWS_BUILD SOURCE_DIR LINUX_BUILD (KEEP_WORK=DIR keeps the logs)
set -euo pipefail
win=$1 src=$2 build=$3
standin="$win/webview2-standin/WebView2Loader.dll"
for file in "$win/quillora.exe" "$win/WebView2Loader.dll" "$standin" "$win/dismiss_boxes.exe" \
  "$win/fake_installer.exe" "$build/quillora-cli" "$build/quillora-display-sim"; do
  [ -e "$file" ] || { echo "no $file" >&2; exit 1; }
done
# shellcheck source-path=SCRIPTDIR source=../lab/session.sh
source "$src/tests/lab/session.sh"
lab_check

wine_run="$src/scripts/windows/wine-run.sh"
# One Wine prefix for every program of this test: a second instance must meet the first's mutex.
export QUILLORA_WINE_BASE="$win/wine"
lab_on_exit() { bash "$lab" exec-host "$name" bash "$wine_run" --stop "$win/quillora.exe" 2>/dev/null; }
lab_session windesk --subnets 2 --displays-per-subnet 1
[ -n "${KEEP_WORK:-}" ] && trap 'cp -r "$work" "$KEEP_WORK"; lab_cleanup' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
for s in 1 2; do lab_start_sim "$s" "sim$s" --address "10.77.$s.10"; done
lab_await_ready 10 sim1 sim2 || fail "the simulators did not start"

in_lab() { bash "$lab" exec-host "$name" "$@"; }
wine() { in_lab bash "$wine_run" "$@"; }
# app DIR LANGUAGE LOADER: an application folder with the program, the page and LOADER.
app() {
  lab_app_folder "$1" "$2" media
  cp -r "$win/web/." "$1/web/"
  cp "$win/quillora.exe" "$3" "$1/"
  cp "$src/tests/data/media/image.png" "$1/web/media/still.png"
  cp "$src/tests/data/media/h264_aac.mp4" "$1/web/media/clip.mp4"
}
# gui TAG DIR [VAR=VALUE...]: DIR/quillora.exe in the background (GUI_PID), its working folder
# elsewhere; the stand-in plays $work/TAG.page and logs to $work/TAG.log.
gui() {
  local tag=$1 dir=$2
  shift 2
  : >"$work/$tag.log"
  (cd "$work" && exec env "$@" QUILLORA_STANDIN_LOG="$work/$tag.log" \
    QUILLORA_STANDIN_PAGE="$work/$tag.page" QUILLORA_LOG="$work/$tag.diag" \
    bash "$lab" exec-host "$name" bash "$wine_run" "$dir/quillora.exe" \
    >"$work/$tag.out" 2>"$work/$tag.err") &
  GUI_PID=$!
}
# ends SECONDS: STATUS is the exit code of the program started last, or 124 when it did not end.
ends() {
  local i
  for ((i = 0; i < $1 * 10; i++)); do
    kill -0 "$GUI_PID" 2>/dev/null || break
    sleep 0.1
  done
  STATUS=0
  if kill -0 "$GUI_PID" 2>/dev/null; then
    kill "$GUI_PID"
    STATUS=124
  fi
  local code=0
  wait "$GUI_PID" || code=$?
  [ "$STATUS" = 124 ] || STATUS=$code
}
# Closes the program's window as the user would, again until it has gone (at most 10 tries).
close_all() {
  local i
  for ((i = 0; i < 10; i++)); do
    wine taskkill /im quillora.exe >/dev/null 2>&1 || true
    for ((t = 0; t < 20; t++)); do
      kill -0 "$GUI_PID" 2>/dev/null || return 0
      sleep 0.1
    done
  done
}
# has TAG JQ-FILTER: the filter selects a line of TAG's call log.
has() { [ -n "$(jq -c "$2" "$work/$1.log" 2>/dev/null)" ]; }
# logged TAG JQ-FILTER SECONDS: waits until it does.
logged() {
  local i
  for ((i = 0; i < $3 * 10; i++)); do
    has "$1" "$2" && return 0
    sleep 0.1
  done
  return 1
}
calls() { jq -c 'select(.call) | [.call] + (.args // [])' "$work/$1.log"; }
# The box texts the user was shown, one a line, each answered with OK.
boxes() { wine "$win/dismiss_boxes.exe" "$1" "$2" >"$work/boxes.txt" || true; }
winpath() { local p=${1//\//\\}; echo "Z:$p"; }

# ---- The page: set-up, injection, replies, navigations, size ---------------------------------
requests=(
  '{"T":"playlist","C":"save","V":1,"P":{"name":"show.json","playlist":[{"url":"still.png","type":1,"title":"still","id":12,"duration":10}]}}'
  '{"T":"playlistFiles4Open","C":"get","V":2,"P":""}'
  '{"T":"inventory","C":"get","V":1,"P":""}'
)
app "$work/a" en "$standin"
{
  for request in "${requests[@]}"; do printf 'post %s\nawait "C" 20\n' "$request"; done
  printf '%s\n' 'navigate http://10.77.1.10/' 'navigate file:///C:/windows/win.ini' \
    'navigate data:text/html,x' 'resize 500 300' 'resize 1000 700' 'close'
} >"$work/a.page"
gui a "$work/a"
ends 90
[ "$STATUS" = 0 ] || fail "the page session ended with $STATUS: $(cat "$work/a.err")"
has a 'select(.page == "error")' && fail "the page: $(jq -c 'select(.page == "error")' "$work/a.log")"
has a 'select(.page == "done")' || fail "the page did not play to its end"

web=$(winpath "$work/a/web")
expected=$(jq -cn --arg web "$web" '
  ["GetAvailableCoreWebView2BrowserVersionString", null],
  ["CreateCoreWebView2EnvironmentWithOptions", null, null, null, true],
  ["CreateCoreWebView2Controller", true, true],
  ["get_CoreWebView2"], ["get_Settings"],
  ["put_IsScriptEnabled", true], ["put_AreDefaultScriptDialogsEnabled", true],
  ["put_IsWebMessageEnabled", true], ["put_AreDefaultContextMenusEnabled", false],
  ["put_IsStatusBarEnabled", false]')
calls a >"$work/a.calls"
sed -n '1,10p' "$work/a.calls" | diff <(echo "$expected") - >&2 || fail "the view was set up otherwise"
sed -n '11,16p' "$work/a.calls" | jq -c '.[0:1] + (if .[0] == "SetVirtualHostNameToFolderMapping" or .[0] == "Navigate" then .[1:] else [] end)' |
  diff <(jq -cn --arg web "$web" '["put_Bounds"], ["SetVirtualHostNameToFolderMapping", "Quillbench", $web, 0],
    ["Navigate", "https://Quillbench/index.html"], ["add_NavigationStarting"],
    ["add_WebMessageReceived"], ["add_NavigationCompleted"]') - >&2 ||
  fail "the page was not mapped from its absolute folder and loaded in order"

# The injection: the script in 20 pieces, then the three scripts that hand messages to doMessage.
closing='window.chrome.webview.addEventListener("message", (event) =>doMessage(event.data));'
jq -r --arg closing "$closing" 'select(.call == "PostWebMessageAsString" or (.call == "ExecuteScript" and .args[0] == $closing)) |
  if .call == "ExecuteScript" then "END" else (.args[0] | @json) end' "$work/a.log" |
  awk '/^END$/ { over = 1 } !over' | jq -j . >"$work/pieces.js"
[ "$(jq -r --arg closing "$closing" 'select(.call == "PostWebMessageAsString") | .call' "$work/a.log" | wc -l)" -ge 20 ] ||
  fail "fewer than 20 posts"
cmp "$work/pieces.js" "$src/app/ui_script.js" || fail "the pieces do not add up to the UI script"
pieces=$(jq -r --arg closing "$closing" 'select(.call == "PostWebMessageAsString" or (.call == "ExecuteScript" and .args[0] == $closing)) | .call' "$work/a.log" | awk '/ExecuteScript/ { over = 1 } !over' | grep -c PostWebMessageAsString)
[ "$pieces" = 20 ] || fail "the script came in $pieces pieces"
jq -r 'select(.call == "ExecuteScript") | .args[0]' "$work/a.log" | grep -v '^loadTranslation' | sed -n '1,3p' |
  diff <(printf '%s\n' 'window.chrome.webview.removeEventListener("message", init);' "$closing" 'setupDropDownMenu();') - >&2 ||
  fail "the injection did not end with its three scripts"
jq -r 'select(.call == "ExecuteScript") | .args[0]' "$work/a.log" | grep -qx "loadTranslation('en');" ||
  fail "the page was not given its language"

# Every reply equals what the Linux build gives the page for the same requests.
lab_app_folder "$work/linux" en media
cp "$work/a/web/media/still.png" "$work/linux/web/media/"
XDG_RUNTIME_DIR=$work "$build/quillora-cli" --folder "$work/linux" "${requests[@]}" >"$work/linux.out" 2>/dev/null
jq -r --arg closing "$closing" 'select(.call == "PostWebMessageAsString" or (.call == "ExecuteScript" and .args[0] == $closing)) |
  if .call == "ExecuteScript" then "END" else .args[0] end' "$work/a.log" | sed '1,/^END$/d' >"$work/a.replies"
diff "$work/linux.out" "$work/a.replies" >&2 || fail "the replies differ from the Linux build's"

for uri in http://10.77.1.10/ file:///C:/windows/win.ini data:text/html,x; do
  has a "select(.page == \"navigation\" and .uri == \"$uri\" and .cancelled)" ||
    fail "$uri was not cancelled"
done
read -r width height < <(jq -r 'select(.page == "window") | .outer | "\(.[0]) \(.[1])"' "$work/a.log" | sed -n 1p)
[ "${width:-0}" -ge 640 ] && [ "${height:-0}" -ge 480 ] || fail "the window shrank to ${width}x$height"
read -r width height < <(jq -r 'select(.call == "put_Bounds") | .args[0] | "\(.[2] - .[0]) \(.[3] - .[1])"' "$work/a.log" | tail -n 1)
[ "$width" -gt 900 ] && [ "$width" -le 1000 ] && [ "$height" -gt 600 ] && [ "$height" -le 700 ] ||
  fail "the view is ${width}x$height in a 1000x700 window"
echo "ok - view set up, 20 pieces, replies as on Linux, navigations filtered, size kept"

# ---- A changed page gives the error page -------------------------------------------------
app "$work/b" en "$standin"
echo ' ' >>"$work/b/web/index.html"
: >"$work/b.page"
gui b "$work/b"
logged b 'select(.call == "NavigateToString")' 60 || fail "no error page"
close_all
ends 30 && [ "$STATUS" = 0 ] || fail "the error-page session did not end cleanly"
has b 'select(.call == "NavigateToString" and (.args[0] | contains("Error! Please contact software provider")))' ||
  fail "not the error page"
calls b | grep -E '"(Navigate|SetVirtualHostNameToFolderMapping|add_[A-Za-z]+)"' >&2 &&
  fail "the changed page was mapped, loaded or listened to"
echo "ok - a changed page gives the error page"

# ---- "auto" under a German locale ---------------------------------------------------------
mkdir -p "$work/locale"
localedef -i de_DE -f UTF-8 "$work/locale/de_DE.UTF-8" 2>/dev/null || fail "localedef de_DE.UTF-8"
app "$work/c" auto "$standin"
echo close >"$work/c.page"
gui c "$work/c" LOCPATH="$work/locale" LANG=de_DE.UTF-8 LC_ALL=
ends 60 && [ "$STATUS" = 0 ] || fail "the German session did not end cleanly"
jq -r 'select(.call == "ExecuteScript") | .args[0]' "$work/c.log" | grep -qx "loadTranslation('de-DE');" ||
  fail "auto under de_DE: $(jq -c 'select(.call == "ExecuteScript")' "$work/c.log" | tail -n 1)"
echo "ok - auto gives the user's locale"

# ---- No runtime: the real loader ----------------------------------------------------------
app "$work/d" en "$win/WebView2Loader.dll"
gui d "$work/d"
boxes 60 1
grep -q 'WebView2 Runtime, which shows Quillora.s page, is not installed' "$work/boxes.txt" ||
  fail "no runtime: $(cat "$work/boxes.txt")"
sleep 2
kill -0 "$GUI_PID" 2>/dev/null || fail "the program ended after the missing-runtime message"
close_all
ends 30 && [ "$STATUS" = 0 ] || fail "the program without a runtime did not end cleanly"
[ "$(wc -l <"$work/boxes.txt")" = 1 ] || fail "more than one message: $(cat "$work/boxes.txt")"

app "$work/e" en "$win/WebView2Loader.dll"
cp "$win/fake_installer.exe" "$work/e/MicrosoftEdgeWebview2Setup.exe"
gui e "$work/e"
boxes 60 1
for ((i = 0; i < 100; i++)); do [ -s "$work/e/installer-args.txt" ] && break; sleep 0.1; done
grep -q '/install' "$work/e/installer-args.txt" 2>/dev/null || fail "the installer was not started with /install"
grep -q 'is being installed' "$work/boxes.txt" || fail "installer: $(cat "$work/boxes.txt")"
kill -0 "$GUI_PID" 2>/dev/null || fail "the program ended after starting the installer"
close_all
ends 30 && [ "$STATUS" = 0 ] || fail "the program that started the installer did not end cleanly"
echo "ok - without a runtime the program says so or starts the installer, and keeps running"

# ---- A second instance ----------------------------------------------------------------------
app "$work/f" en "$standin"
: >"$work/f.page"
gui f "$work/f"
first=$GUI_PID
logged f 'select(.page == "loaded")' 60 || fail "the first instance did not load its page"
gui g "$work/f"
boxes 60 1
grep -q 'An other instance of this application is already running!' "$work/boxes.txt" ||
  fail "second instance: $(cat "$work/boxes.txt")"
ends 30 && [ "$STATUS" = 2 ] || fail "the second instance did not exit 2"
GUI_PID=$first
close_all
ends 30 && [ "$STATUS" = 0 ] || fail "the first instance did not end cleanly"
echo "ok - a second instance exits 2 after its message"

# ---- A deploy from the window, and closing it while messages arrive --------------------------
save='{"T":"playlist","C":"save","V":1,"P":{"name":"show.json","playlist":[{"url":"clip.mp4","type":1,"title":"clip","id":11,"duration":20},{"url":"still.png","type":1,"title":"still","id":12,"duration":10}]}}'
deploy='{"T":"playlist","C":"deploy","V":1,"P":{"user":"admin","pass":"12345","ip":["10.77.1.10:80","10.77.2.10:80"],"file":"show.json"}}'
app "$work/h" en "$standin"
printf 'post %s\npost %s\n' "$save" "$deploy" >"$work/h.page"
gui h "$work/h"
finished='select(.call == "PostWebMessageAsString") | .args[0] | fromjson? | select(.P.status? == "finish" and .P.success? == "2")'
for ((i = 0; i < 900; i++)); do
  [ "$(jq -c "$finished" "$work/h.log" 2>/dev/null | wc -l)" -ge 2 ] && break
  sleep 0.1
done
[ "$(jq -c "$finished" "$work/h.log" | wc -l)" -ge 2 ] || fail "the page did not hear both displays finish"
close_all
ends 30 && [ "$STATUS" = 0 ] || fail "the deploy session did not end cleanly"
echo "ok - both displays' fetch results reached the page"

clean=0
for run in $(seq 1 20); do
  printf 'post %s\npost %s\npost {"T":"device","C":"search","V":1,"P":""}\nsleep %d\nclose\n' \
    "$save" "$deploy" $((run * 53 % 1200)) >"$work/close$run.page"
  gui "close$run" "$work/h"
  ends 60
  if [ "$STATUS" = 0 ]; then clean=$((clean + 1)); else echo "run $run: exit $STATUS" >&2; fi
done
[ "$clean" = 20 ] || fail "closed while messages arrived: $clean of 20 ended cleanly"
echo "ok - closed while messages arrived: 20 of 20 ended with exit code 0"
