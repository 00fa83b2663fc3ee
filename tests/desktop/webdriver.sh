# A small WebDriver client in bash, curl and jq for the desktop tests; source it. Every request
# and every wait is bounded in time.
#
#   WD_URL=http://127.0.0.1:PORT     the driver, set by the caller
#   wd_new_session BINARY ARG...     starts the program through the driver (sets WD_SESSION)
#   wd_delete_session                ends it; the driver then closes the program
#   wd_exec SCRIPT [ARGS-JSON]       runs SCRIPT (a function body) in the page; prints its value
#   wd_wait SECONDS SCRIPT [ARGS]    repeats wd_exec until the value is neither false nor null
#   wd_click CSS / wd_type CSS TEXT  as the operator would, retried while the element is not
#                                    yet interactable (dialogs fade in)
#   wd_screenshot FILE               PNG of the view
# A failed request returns 1; wd_last_error prints why. Requests mostly run in command
# substitutions, so the reason is kept in a file rather than a variable.

WD_URL=${WD_URL:-}
WD_SESSION=${WD_SESSION:-}
WD_ERROR_FILE=$(mktemp /tmp/webdriver-error-XXXXXX)
readonly WD_ELEMENT_KEY="element-6066-11e4-a52e-4f735466cecf"

wd_set_error() {
  printf '%s\n' "$*" >"$WD_ERROR_FILE"
}

wd_last_error() {
  cat "$WD_ERROR_FILE" 2>/dev/null
}

# METHOD PATH [JSON]: prints the response's "value" as compact JSON.
wd_request() {
  local method=$1 path=$2 body=${3:-} response
  local args=(-sS -m "${WD_REQUEST_SECONDS:-60}" -X "$method")
  : >"$WD_ERROR_FILE"
  [ -n "$body" ] && args+=(-H 'Content-Type: application/json' --data-binary "$body")
  if ! response=$(curl "${args[@]}" "$WD_URL$path" 2>&1); then
    wd_set_error "$method $path: curl: $response"
    return 1
  fi
  if ! jq -e . >/dev/null 2>&1 <<<"$response"; then
    wd_set_error "$method $path: not JSON: $response"
    return 1
  fi
  if jq -e '.value | objects | has("error")' >/dev/null <<<"$response"; then
    wd_set_error "$method $path: $(jq -r '.value.error + ": " + .value.message' <<<"$response")"
    return 1
  fi
  jq -c '.value' <<<"$response"
}

wd_new_session() {
  local binary=$1
  shift
  local args caps
  args=$(printf '%s\n' "$@" | jq -R . | jq -sc .)
  caps=$(jq -nc --arg binary "$binary" --argjson args "$args" '{capabilities: {alwaysMatch: {
      "webkitgtk:browserOptions": {binary: $binary, args: $args},
      timeouts: {pageLoad: 10000, script: 10000, implicit: 0}}}}')
  local value
  value=$(wd_request POST /session "$caps") || return 1
  WD_SESSION=$(jq -r '.sessionId' <<<"$value")
  [ -n "$WD_SESSION" ] && [ "$WD_SESSION" != null ]
}

wd_delete_session() {
  [ -n "$WD_SESSION" ] || return 0
  local session=$WD_SESSION
  WD_SESSION=""
  wd_request DELETE "/session/$session" >/dev/null
}

wd_exec() {
  local body
  body=$(jq -nc --arg script "$1" --argjson args "${2:-[]}" '{script: $script, args: $args}')
  wd_request POST "/session/$WD_SESSION/execute/sync" "$body"
}

wd_wait() {
  local seconds=$1 script=$2 args=${3:-[]} value deadline=$((SECONDS + $1))
  while [ "$SECONDS" -lt "$deadline" ]; do
    if value=$(wd_exec "$script" "$args") && [ "$value" != false ] && [ "$value" != null ]; then
      printf '%s\n' "$value"
      return 0
    fi
    sleep 0.2
  done
  wd_set_error "waited ${seconds}s for: $script (last: ${value:-$(wd_last_error)})"
  return 1
}

# CSS: prints the element's reference.
wd_find() {
  local value
  value=$(wd_request POST "/session/$WD_SESSION/element" \
    "$(jq -nc --arg css "$1" '{using: "css selector", value: $css}')") || return 1
  jq -r --arg key "$WD_ELEMENT_KEY" '.[$key]' <<<"$value"
}

# Runs ACTION (a function taking an element reference) until it succeeds, at most 10 s.
wd_retry_on_element() {
  local css=$1 action=$2 element deadline=$((SECONDS + 10))
  shift 2
  while [ "$SECONDS" -lt "$deadline" ]; do
    if element=$(wd_find "$css") && "$action" "$element" "$@"; then
      return 0
    fi
    sleep 0.2
  done
  wd_set_error "$css: $(wd_last_error)"
  return 1
}

wd_click_element() {
  wd_request POST "/session/$WD_SESSION/element/$1/click" '{}' >/dev/null
}

wd_type_element() {
  wd_request POST "/session/$WD_SESSION/element/$1/clear" '{}' >/dev/null &&
    wd_request POST "/session/$WD_SESSION/element/$1/value" \
      "$(jq -nc --arg text "$2" '{text: $text}')" >/dev/null
}

wd_click() {
  wd_retry_on_element "$1" wd_click_element
}

wd_type() {
  wd_retry_on_element "$1" wd_type_element "$2"
}

wd_screenshot() {
  local value
  value=$(wd_request GET "/session/$WD_SESSION/screenshot") || return 1
  jq -r . <<<"$value" | base64 -d >"$1"
}

wd_window_rect() {
  if [ $# -eq 0 ]; then
    wd_request GET "/session/$WD_SESSION/window/rect"
  else
    wd_request POST "/session/$WD_SESSION/window/rect" "$1"
  fi
}
