#!/usr/bin/env bash
# The desktop program end to end: quillora under Xvfb in the lab's host namespace, driven
# through WebKitWebDriver, against simulated displays in two subnets; first on the shipped
# page, then on a changed one. The script makes the lab and runs itself again inside it.
# Screenshots of the states it checks are kept in BUILD_DIR/desktop-screenshots/.
# Usage: desktop_lab.sh BUILD_DIR SOURCE_DIR. Exit 77 (skipped) without root, network
# namespaces, Xvfb, WebKitWebDriver, curl or jq.
set -euo pipefail
build=$1 src=$2 shots="$1/desktop-screenshots"
if [ -z "${DESKTOP_LAB_WORK:-}" ]; then
  # shellcheck source-path=SCRIPTDIR source=../lab/session.sh
  source "$src/tests/lab/session.sh"
  lab_check
  for tool in Xvfb WebKitWebDriver curl jq base64; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed" >&2; exit 77; }
  done
  for program in quillora quillora-display-sim; do
    [ -x "$build/$program" ] || { echo "FAIL: $build/$program is not built" >&2; exit 1; }
  done
  lab_session desktop --subnets 2 --displays-per-subnet 2
  # 10.77.1.10 and .11 share one simulator; 10.77.2.10 and .11 have one each, so that one of
  # them can be taken off the network while the others stay.
  lab_start_sim 1 sim1 --address 10.77.1.10 --journal "$work/sim1.jsonl" --count 2
  lab_start_sim 2 sim2a --address 10.77.2.10 --journal "$work/sim2a.jsonl"
  lab_start_sim 2 sim2b --address 10.77.2.11 --journal "$work/sim2b.jsonl"
  lab_await_ready 10 sim1 sim2a sim2b || { echo "FAIL: a simulator did not start" >&2; cat "$work"/*.err >&2; exit 1; }
  mkdir -p "$work/app" "$shots" && rm -f "$shots"/*.png
  cp -r "$build/web" "$work/app/web"
  rm -rf "$work/app/web/conf" "$work/app/web/media" "$work/app/web/firmware"
  lab_app_folder "$work/app" auto firmware
  DESKTOP_LAB_WORK=$work SIM_UNPLUG_PID=${LAB_PIDS[-1]} bash "$lab" exec-host "$name" bash "$0" "$@"
  exit
fi
work=$DESKTOP_LAB_WORK
# --- a small WebDriver client in bash, curl and jq; every request and every wait is bounded.
# A failed request returns 1 and wd_last_error says why: requests run in command substitutions,
# so the reason is kept in a file.
WD_URL="" WD_SESSION=""
WD_ERROR_FILE=$(mktemp /tmp/webdriver-error-XXXXXX)

wd_last_error() { cat "$WD_ERROR_FILE" 2>/dev/null; }

# METHOD PATH [JSON]: prints the response's "value" as compact JSON.
wd_request() {
  local response args=(-sS -m "${WD_REQUEST_SECONDS:-60}" -X "$1")
  [ -n "${3:-}" ] && args+=(-H 'Content-Type: application/json' --data-binary "$3")
  if ! response=$(curl "${args[@]}" "$WD_URL$2" 2>&1) || ! jq -e . >/dev/null 2>&1 <<<"$response"; then
    echo "$1 $2: $response" >"$WD_ERROR_FILE"
    return 1
  fi
  if jq -e '.value | objects | has("error")' >/dev/null <<<"$response"; then
    echo "$1 $2: $(jq -r '.value.error + ": " + .value.message' <<<"$response")" >"$WD_ERROR_FILE"
    return 1
  fi
  : >"$WD_ERROR_FILE"
  jq -c '.value' <<<"$response"
}

wd_new_session() {
  local caps binary=$1
  shift
  caps=$(jq -nc --arg binary "$binary" --argjson args "$(printf '%s\n' "$@" | jq -R . | jq -sc .)" \
    '{capabilities: {alwaysMatch: {"webkitgtk:browserOptions": {binary: $binary, args: $args},
      timeouts: {pageLoad: 10000, script: 10000, implicit: 0}}}}')
  WD_SESSION=$(wd_request POST /session "$caps" | jq -r '.sessionId')
  [ -n "$WD_SESSION" ] && [ "$WD_SESSION" != null ]
}

wd_delete_session() {
  local session=$WD_SESSION
  WD_SESSION=""
  [ -z "$session" ] || wd_request DELETE "/session/$session" >/dev/null
}

# SCRIPT [ARGS-JSON]: runs SCRIPT (a function body) in the page and prints its value.
wd_exec() {
  wd_request POST "/session/$WD_SESSION/execute/sync" \
    "$(jq -nc --arg script "$1" --argjson args "${2:-[]}" '{script: $script, args: $args}')"
}

# SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds, at most SECONDS.
within() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}

# SECONDS SCRIPT [ARGS-JSON]: repeats wd_exec until the value is neither false nor null; prints it.
wd_true() { value=$(wd_exec "$@") && [ "$value" != false ] && [ "$value" != null ]; }
wd_wait() {
  local seconds=$1
  shift
  within "$seconds" wd_true "$@" && printf '%s\n' "$value" && return
  echo "waited $seconds s for: $1 (last: ${value:-$(wd_last_error)})" >"$WD_ERROR_FILE" && return 1
}

# CSS click, or CSS type TEXT, as the operator would; retried while the element is not yet
# interactable (dialogs fade in).
wd_act() {
  local element base="/session/$WD_SESSION/element"
  element=$(wd_request POST "$base" "$(jq -nc --arg css "$1" '{using: "css selector", value: $css}')" |
    jq -r '.["element-6066-11e4-a52e-4f735466cecf"]')
  if [ -z "$element" ]; then
    return 1
  elif [ "$2" = click ]; then
    wd_request POST "$base/$element/click" '{}'
  else
    wd_request POST "$base/$element/clear" '{}' && wd_request POST "$base/$element/value" "$(jq -nc --arg text "$3" '{text: $text}')"
  fi >/dev/null
}
wd_click() { within 10 wd_act "$1" click; }
wd_type() { within 10 wd_act "$1" type "$2"; }

wd_screenshot() {
  wd_request GET "/session/$WD_SESSION/screenshot" | jq -r . | base64 -d >"$1" && [ -s "$1" ]
}
passed=0

trap '{ wd_delete_session; stop_driver; kill "${xvfb_pid:-}"; rm -f "$WD_ERROR_FILE"; } >/dev/null 2>&1 || true' EXIT

fail() {
  echo "FAIL: $* ${WD_SESSION:+(webdriver: $(wd_last_error))}" >&2
  if [ -n "$WD_SESSION" ]; then
    echo "--- host messages the page received" >&2
    wd_exec 'return (window.__testHostMessages || []).join("\n")' 2>/dev/null | jq -r . >&2 || true
    wd_screenshot "$shots/failure.png" 2>/dev/null || true
  fi
  tail -n 40 "$work/quillora.log" "$work/driver.log" >&2 2>/dev/null || true
  echo "desktop: $passed passed, 1 failed"
  exit 1
}
ok() { passed=$((passed + 1)) && echo "ok $passed - $*"; }
shot() { wd_screenshot "$shots/$1.png" || fail "screenshot $1"; }

gone() { ! kill -0 "$1" 2>/dev/null; }
logged() { grep -Eq "$1" "$work/quillora.log" 2>/dev/null; }

# Each program gets a driver of its own on a port of its own (the last one may linger), so
# that nothing of an earlier session or a failed start is left in it.
driver_port=4443
start_driver() {
  stop_driver
  driver_port=$((driver_port + 1))
  # The program inherits the driver's environment: its user prefers British English.
  LANG=en_GB.UTF-8 WebKitWebDriver --port="$driver_port" >>"$work/driver.log" 2>&1 &
  driver_pid=$!
  WD_URL=http://127.0.0.1:$driver_port
  within 10 wd_request GET /status >/dev/null || fail "WebKitWebDriver did not start"
}

# Stops the driver and the program it started: the next program needs the single-instance lock.
stop_driver() {
  local pid pids
  [ -n "${driver_pid:-}" ] || return 0
  pids="$(pgrep -P "$driver_pid" -x quillora || true) $driver_pid"
  for pid in $pids; do kill "$pid" 2>/dev/null || true; done
  for pid in $pids; do within 10 gone "$pid" || true; done
  wait "$driver_pid" 2>/dev/null || true
  driver_pid=""
}

# Starts the program on application folder DIR. Further tries cover a start too slow for the
# driver (an instrumented build on a busy machine).
start_program() {
  for try in 1 2 3; do
    start_driver
    if WD_REQUEST_SECONDS=45 wd_new_session "$build/quillora" --automation --folder "$1"; then
      program_pid=$(pgrep -n -P "$driver_pid" -x quillora) || fail "no quillora process under the driver"
      return 0
    fi
    echo "# new session $try on $1 failed: $(wd_last_error)" >&2
  done
  fail "new session on $1"
}

# Ends the session; the driver closes the window and the program must end by itself.
stop_program() {
  wd_delete_session || fail "delete session"
  within 10 gone "$program_pid" || fail "the program is still running 10 s after the session ended"
  # The driver passes on the program's stderr: an instrumented build reports there.
  if grep -Eq 'Sanitizer|runtime error:' "$work/driver.log"; then
    sed -n '/Sanitizer\|runtime error:/,/^SUMMARY/p' "$work/driver.log" >&2
    fail "the sanitizers reported errors"
  fi
}

# SECONDS FAILURE SCRIPT [ARGS-JSON]: fails with FAILURE unless SCRIPT comes true in time.
see() { wd_wait "$1" "$3" "${4:-[]}" >/dev/null || fail "$2"; }

# --- display server and environment -------------------------------------------------------
mkdir -m 700 -p "$work/run"
Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
within 10 test -s "$work/display" || fail "Xvfb did not start"
export DISPLAY=":$(tr -d '\n' <"$work/display")"
export GSETTINGS_BACKEND=memory XDG_RUNTIME_DIR="$work/run" QUILLORA_LOG="$work/quillora.log"
export QUILLORA_DIALOG_ANSWERS="$work/answers.json"
# No accessibility bus here. The libraries have no frame pointers: only full stacks show whose
# a leak is; an instrumented build is told about the libraries' own findings.
export NO_AT_BRIDGE=1 ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}fast_unwind_on_malloc=0"
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$src/tests/desktop/lsan.supp"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}suppressions=$src/tests/desktop/ubsan.supp"
unset LC_ALL LC_MESSAGES
samples="$src/tests/data/media"
jq -n --arg a "$samples/h264_aac.mp4" --arg b "$samples/image.png" '[[$a, $b]]' >"$QUILLORA_DIALOG_ANSWERS"
app="$work/app"
# Firmware copies never outlive the program: this one is gone after a clean shutdown.
echo stale >"$app/web/firmware/stale.epak"

# --- the page loads and takes the UI script -----------------------------------------------
start_program "$app"
within 30 logged 'ui script injection finished' || fail "the injection did not finish"
logged 'ui script injection finished after 20 pieces' || fail "$(grep 'injection finished' "$work/quillora.log")"
# The first and the last piece of the UI script, every style sheet and library of the page.
see 10 "the UI script or the page's libraries are not all in the page" 'return [window.addToPlaylist,
    window.copyright, $.ui, $.fn.modal, window.Popper].every(Boolean)
    && document.styleSheets.length === document.querySelectorAll("link[rel=stylesheet]").length
    && [...document.styleSheets].every((sheet) => sheet.cssRules.length > 0)'
ok "the page loaded with its libraries and the injection ended after 20 pieces"
within 10 logged "loadTranslation\('en-GB'\)" || fail "the page was not given the user's locale"
ok "the page was given the user's locale (en-GB)"
# Every host message from here on is kept for the diagnostics of a failure.
wd_exec 'window.__testHostMessages = [];
  window.chrome.webview.addEventListener("message", (e) => window.__testHostMessages.push(e.data));' \
  >/dev/null || fail "listening to host messages"
see 10 "the page did not finish starting" 'return document.getElementById("uiLoading") === null'
shot 01-loaded

# --- start-up failures: the message box's text (also on stderr), then the exit code -------
# CODE TEXT SHOT ARG...: runs the program with ARG..., closes the box with SIGTERM.
expect_startup_failure() {
  local code=$1 text=$2 shot_name=$3 pid status=0
  shift 3
  "$build/quillora" "$@" 2>"$work/startup.err" &
  pid=$!
  within 10 grep -qF "$text" "$work/startup.err" || { kill "$pid"; fail "no message \"$text\""; }
  sleep 0.5
  import -window root "$shots/$shot_name.png" 2>/dev/null || true
  kill -TERM "$pid"
  wait "$pid" || status=$?
  [ "$status" = "$code" ] || fail "exit code $status instead of $code for \"$text\""
}
expect_startup_failure 2 "An other instance of this application is already running!" 09-other-instance --folder "$app"
mkdir -p "$work/broken" && mkdir -m 700 "$work/run-broken"
printf 'notification:\n  port: [8089\n' >"$work/broken/config.yaml"
XDG_RUNTIME_DIR="$work/run-broken" expect_startup_failure 3 "config.yaml" 10-broken-config --folder "$work/broken"
for usage in --bogus --folder; do
  status=0
  "$build/quillora" "$usage" 2>"$work/usage.err" || status=$?
  [ "$status" = 1 ] && grep -q "usage: quillora" "$work/usage.err" || fail "$usage gave $status"
done
ok "a second instance and a broken config.yaml show their message box and exit with 2 and 3; a usage error exits with 1"

# --- the navigation filter ----------------------------------------------------------------
# WebKit itself keeps a web page from opening files and data: the host's filter refuses the
# display's plain HTTP address, and new windows.
page_url=$(wd_request GET "/session/$WD_SESSION/url") || fail "reading the address"
wd_exec 'location.href = "http://10.77.1.10/"; const link = document.createElement("a");
  link.href = "https://10.77.1.10/"; link.target = "_blank"; document.body.appendChild(link);
  link.click(); link.remove();' >/dev/null || fail "navigating to a display"
within 5 logged "navigation refused: http://10.77.1.10/" || fail "the filter did not refuse http://10.77.1.10/"
sleep 1
[ "$(wd_request GET "/session/$WD_SESSION/url")" = "$page_url" ] || fail "the view left its page"
[ "$(wd_request GET "/session/$WD_SESSION/window/handles" | jq length)" = 1 ] || fail "a second window was opened"
ok "plain HTTP and new-window navigations are refused"

# --- a playlist composed from sample media, saved and reopened ----------------------------
new_playlist() {
  wd_click '#btnNewPlaylist' || fail "New"
  see 10 "the save dialog did not open" 'return $("#savePlaylistCard").hasClass("show")'
}
new_playlist
wd_type '#inputPlaylistFileName' 'Lobby' || fail "typing the playlist name"
wd_click '#savePlaylistConfirm' || fail "Save"
see 10 "the new playlist is not open" 'return $("#currentPlaylistName").text() === "Lobby"
    && !$("#addMedia").hasClass("d-none") && !$("#savePlaylistCard").hasClass("show")'
wd_click '#addMedia' || fail "Add media"
see 15 "the media were not added" 'return $("#playlist > li").length === 2'
within 10 jq -e '[.playlist[].title] == ["h264_aac.mp4", "image.png"]' "$app/web/conf/Lobby.json" >/dev/null 2>&1 ||
  fail "Lobby.json does not hold both media: $(cat "$app/web/conf/Lobby.json" 2>&1)"
for url in $(jq -r '.playlist[].url' "$app/web/conf/Lobby.json"); do
  [ -f "$app/web/media/$url" ] || fail "media/$url was not copied"
done
shot 02-playlist
ok "a playlist of two sample media was composed and saved"

new_playlist
wd_click '#savePlaylistCard [data-dismiss="modal"]' || fail "closing the save dialog"
see 10 "the editor was not emptied" 'return $("#playlist > li").length === 0 && $("#currentPlaylistName").text() === ""
    && !$("#savePlaylistCard").hasClass("show") && !$("body").hasClass("modal-open")'
wd_click '#btnOpenPlaylist' || fail "Open"
wd_click '#openPlaylistSelect option[value="Lobby.json"]' || fail "choosing Lobby.json"
wd_click '#openPlaylistConfirm' || fail "confirming Open"
see 10 "Lobby was not reopened" 'return $("#currentPlaylistName").text() === "Lobby" && $("#playlist > li").length === 2
    && !$("body").hasClass("modal-open")'
ok "the saved playlist was reopened"

# The preview plays the video: WebKit has the decoders it needs.
wd_click '#playlist > li:first-child .media-title' || fail "opening the preview"
wd_wait 20 'const video = $("#previewMedia video")[0];
  return $("#preview").hasClass("show") && video !== undefined && video.error === null
    && video.readyState >= 2 && video.videoWidth > 0 && video.currentTime > 0' >/dev/null ||
  fail "the video does not play in the preview: $(wd_exec 'const v = $("#previewMedia video")[0];
    return v ? `error ${v.error ? v.error.code : "none"}, readyState ${v.readyState}` : "no video"')"
shot 11-preview
wd_click '#preview [data-dismiss="modal"]' || fail "closing the preview"
see 10 "the preview did not close" 'return $("#previewMedia video").length === 0 && !$("body").hasClass("modal-open")'
ok "the preview plays the video"

# --- displays listed in the order of their addresses --------------------------------------
wd_click '#btnSearchDevice' || fail "Search"
see 20 "the search did not list 4 displays" 'return $("#devicelist > li").length === 4'
order=$(wd_exec 'return $("#devicelist > li").map((i, li) => $(li).attr("data-ip")).get().join()') ||
  fail "reading the display list"
[ "$order" = '"10.77.1.10,10.77.1.11,10.77.2.10,10.77.2.11"' ] || fail "displays not ordered by address: $order"
shot 03-displays
ok "a search lists the four displays ordered by address"

# --- a deploy to two displays, a refused login and an unreachable display -----------------
# IP PHASE: waits at most 60 s for the progress row of IP in PHASE and prints its text.
row_in() {
  wd_wait 60 'const status = $("#deployProgressList > li").filter((i, row) =>
      $(row).find(".deploy-row-address").text().startsWith(arguments[0] + ":"))
    .find(".deploy-row-status." + arguments[1]);
    return status.length === 1 ? status.text().trim() : null;' "$(jq -nc --arg ip "$1" --arg p "$2" '[$ip, $p]')"
}
# Fills in the credentials of the open dialog and starts.
log_in() {
  see 10 "the login dialog did not open" 'return $("#deployPlaylistCard").hasClass("show")'
  wd_type '#username' admin && wd_type '#password' "$1" && wd_click '#deployConfirm' || fail "logging in"
}
for ip in 10.77.1.10 10.77.2.10; do
  wd_click "#devicelist li[data-ip=\"$ip\"] input.device-check" || fail "selecting $ip"
done
wd_click '#deployMenuButton' || fail "the deploy menu"
wd_click '#deployMenu .dropdown-item[data-mode="adDeploy"]' || fail "Deploy playlist"
log_in 12345
for ip in 10.77.1.10 10.77.2.10; do
  status=$(row_in "$ip" phase-done) || fail "$ip did not finish"
  grep -qi finished <<<"$status" || fail "$ip shows $status"
done
for journal in sim1 sim2a; do
  count=$(jq -s '[.[] | select(.event == "fetch" and .ok)] | length' "$work/$journal.jsonl")
  [ "$count" = 2 ] || fail "$journal fetched $count files, not 2"
done
see 10 "the end of the deploy is not shown" 'return $("#deploySpinner").hasClass("d-none")
  && $("#notices .notice-text").text().includes("Deploy playlist: done on 2 display(s).")'
shot 04-deployed
ok "the playlist was deployed to two displays, both show finished and so does the summary"

# IP PASSWORD: a login test from the editor of display IP.
test_login() {
  see 10 "the last operation is still running" 'return deployList.length === 0'
  wd_click "#devicelist li[data-ip=\"$1\"] .device-name" || fail "opening $1"
  see 10 "the editor of $1 did not open" 'return $("#deviceEditor").hasClass("show")
    && $("#IPAddr").val() === arguments[0]' "$(jq -nc --arg ip "$1" '[$ip]')"
  wd_click '#deviceLoginButton' || fail "Test login"
  log_in "$2"
}
test_login 10.77.1.11 wrong-password
status=$(row_in 10.77.1.11 phase-failed) || fail "no refused login shown"
grep -qi "login" <<<"$status" || fail "10.77.1.11 shows $status"
shot 05-login-refused
kill "$SIM_UNPLUG_PID"
within 5 gone "$SIM_UNPLUG_PID" || true
test_login 10.77.2.11 12345
status2=$(row_in 10.77.2.11 phase-failed) || fail "no unreachable display shown"
grep -qi "reach" <<<"$status2" || fail "10.77.2.11 shows $status2"
shot 06-unreachable
ok "a refused login ($status) and an unreachable display ($status2) are shown as such"

# --- the window keeps its minimum size ----------------------------------------------------
wd_request POST "/session/$WD_SESSION/window/rect" '{"width": 300, "height": 200}' >/dev/null || fail "resizing the window"
rect=$(wd_request GET "/session/$WD_SESSION/window/rect") || fail "reading the window size"
jq -e '.width >= 640 and .height >= 480' >/dev/null <<<"$rect" || fail "the window shrank to $rect"
shot 07-minimum-size
ok "the window does not shrink below 640 x 480 ($(jq -r '"\(.width) x \(.height)"' <<<"$rect"))"

# --- a document of another site cannot make the host act ----------------------------------
# Nothing answers https there: the view shows WebKit's error document for that address.
wd_exec 'location.href = "https://10.77.1.10/";' >/dev/null || fail "navigating to https"
see 15 "the view did not go to https://10.77.1.10/" 'return document.body?.innerText.includes("10.77.1.10")'
wd_exec 'window.webkit.messageHandlers.quillora.postMessage(JSON.stringify(
    {T: "playlist", C: "save", V: 1, P: {name: "Intruder.json", playlist: []}}));' >/dev/null ||
  fail "posting from the https document"
within 10 logged 'page message from https://10.77.1.10/ dropped' || fail "the message was not dropped"
[ ! -e "$app/web/conf/Intruder.json" ] || fail "the https document made the host save a playlist"
ok "a document of another site cannot make the host act"

stop_program
[ ! -e "$app/web/firmware/stale.epak" ] || fail "the clean-up at exit did not run"
ok "closing ends the program with its clean-up at exit"

# --- a changed page is not shown ----------------------------------------------------------
changed="$work/changed"
mkdir -p "$changed"
cp -r "$app/web" "$app/config.yaml" "$changed/"
sed -i '0,/<title>/s//<title>X/' "$changed/web/index.html"
cmp -s "$app/web/index.html" "$changed/web/index.html" && fail "index.html was not changed"
start_program "$changed"
see 15 "the error page is not shown" 'return document.body?.innerText.includes("Error! Please contact software provider")'
logged "page integrity check failed" || fail "no integrity failure logged"
shot 08-error-page
ok "a changed index.html shows the error page"
stop_program
echo "desktop: $passed passed, 0 failed"
