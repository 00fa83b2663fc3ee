#!/usr/bin/env bash
# Builds Quillora and runs quillora-cli on a sample request: it saves a playlist and lists the
# playlist folder of a scratch application folder.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target quillora-cli app_folder
demo=$(mktemp -d /tmp/quillora-demo-XXXXXX)
cp build/config.yaml "$demo/"
cp -r build/web "$demo/"
echo "Application folder: $demo" >&2
build/quillora-cli --folder "$demo" \
  '{"T":"playlist","C":"save","V":1,"P":{"name":"demo.json","playlist":[{"url":"clip.mp4","type":1,"title":"Clip","id":1,"duration":10}]}}' \
  '{"T":"playlistFiles4Open","C":"get","V":1,"P":""}' \
  '{"T":"playlist","C":"open","V":1,"P":"demo.json"}'
