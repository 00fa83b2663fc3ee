#!/usr/bin/env bash
# Serves the page with its vendor libraries on 127.0.0.1, plays the harness scenarios in headless
# Chromium and writes one screenshot per scenario. Needs chromium and imagemagick.
# Usage: tests/web/screenshots.sh [OUTPUT_DIR]
set -euo pipefail
src="$(cd "$(dirname "$0")/../.." && pwd)"
out="${1:-/tmp/quillora-screenshots}"
work="$(mktemp -d)"
profile="$(mktemp -d)"
server=""
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null || true
  rm -rf "$work" "$profile"
}
trap cleanup EXIT

mkdir -p "$out"
cp -r "$src/web" "$work/web"
mkdir -p "$work/web/vendor" "$work/web/harness" "$work/web/media"
for lib in jquery jquery-ui bootstrap4 popper.js; do
  cp -rL "/usr/share/javascript/$lib" "$work/web/vendor/$lib"
done
cp -rL /usr/share/fonts-font-awesome "$work/web/vendor/font-awesome"
cp "$src/app/ui_script.js" "$src/tests/web/harness/webview-stub.js" "$work/web/harness/"
sed -i 's#<head>#<head>\n  <script src="harness/webview-stub.js"></script>#' "$work/web/index.html"
cp "$src/web/index.html" "$work/web/without-host.html"

# Sample media for thumbnails and the preview.
convert -size 640x360 gradient:'#1f4e8c'-'#59a5d8' -font DejaVu-Sans-Bold -fill white -pointsize 54 -gravity center \
  -annotate 0 'Winter sale' "$work/web/media/sample-sale.png"
convert -size 640x360 gradient:'#3b3b3b'-'#8c6d46' -font DejaVu-Sans-Bold -fill white -pointsize 40 -gravity center \
  -annotate 0 'Mon-Fri 8-20' "$work/web/media/sample-hours.jpg"
convert -size 640x360 gradient:'#6b2d2d'-'#d9825b' -font DejaVu-Sans-Bold -fill white -pointsize 48 -gravity center \
  -annotate 0 'Cafe menu' "$work/web/media/sample-menu.png"

port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
python3 -m http.server "$port" --bind 127.0.0.1 --directory "$work/web" >/dev/null 2>&1 &
server=$!
for _ in $(seq 50); do
  python3 -c "import urllib.request; urllib.request.urlopen('http://127.0.0.1:$port/index.html')" 2>/dev/null && break
  sleep 0.1
done

shoot() {  # NAME QUERY [PAGE]
  chromium --headless --no-sandbox --disable-gpu --disable-background-networking \
    --disable-component-update --disable-sync --no-first-run --hide-scrollbars --run-all-compositor-stages-before-draw \
    --user-data-dir="$profile" --window-size=1400,860 --virtual-time-budget=6000 \
    --screenshot="$out/$1.png" "http://127.0.0.1:$port/${3:-index.html}?$2" >/dev/null 2>&1
  echo "$out/$1.png"
}
shoot main 'scenario=main'
shoot main-de 'scenario=main&lang=de'
shoot deploy-dialog 'scenario=dialog'
shoot preview 'scenario=preview'
shoot device-editor 'scenario=editor'
shoot deploy-menu 'scenario=menu'
shoot without-host '' without-host.html
