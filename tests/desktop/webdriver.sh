# A small WebDriver client in bash, curl and jq for the desktop tests; source it. Every request
# and every wait is bounded in time. WD_URL is the driver; wd_new_session BINARY ARG... starts
# the program through it. A failed request returns 1 and wd_last_error says why: requests run
# in command substitutions, so the reason is kept in a file.
WD_URL=${WD_URL:-}
WD_SESSION=${WD_SESSION:-}
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

# SECONDS SCRIPT [ARGS-JSON]: repeats wd_exec until the value is neither false nor null.
wd_wait() {
  local value deadline=$((SECONDS + $1))
  while [ "$SECONDS" -lt "$deadline" ]; do
    if value=$(wd_exec "$2" "${3:-[]}") && [ "$value" != false ] && [ "$value" != null ]; then
      printf '%s\n' "$value"
      return 0
    fi
    sleep 0.2
  done
  echo "waited $1 s for: $2 (last: ${value:-$(wd_last_error)})" >"$WD_ERROR_FILE"
  return 1
}

# ELEMENT-PATH click, or ELEMENT-PATH type TEXT.
wd_act() {
  if [ "$2" = click ]; then
    wd_request POST "$1/click" '{}'
  else
    wd_request POST "$1/clear" '{}' && wd_request POST "$1/value" "$(jq -nc --arg text "$3" '{text: $text}')"
  fi >/dev/null
}

# CSS ACTION [TEXT]: acts on the element as the operator would, retried for 10 s while it is
# not yet interactable (dialogs fade in).
wd_element() {
  local element deadline=$((SECONDS + 10)) base="/session/$WD_SESSION/element"
  while [ "$SECONDS" -lt "$deadline" ]; do
    element=$(wd_request POST "$base" "$(jq -nc --arg css "$1" '{using: "css selector", value: $css}')" |
      jq -r '.["element-6066-11e4-a52e-4f735466cecf"]')
    if [ -n "$element" ] && wd_act "$base/$element" "$2" "${3:-}"; then
      return 0
    fi
    sleep 0.2
  done
  echo "$1: $(wd_last_error)" >"$WD_ERROR_FILE"
  return 1
}
wd_click() { wd_element "$1" click; }
wd_type() { wd_element "$1" type "$2"; }

wd_screenshot() {
  wd_request GET "/session/$WD_SESSION/screenshot" | jq -r . | base64 -d >"$1" && [ -s "$1" ]
}
