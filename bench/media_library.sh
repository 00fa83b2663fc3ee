#!/usr/bin/env bash
# The media library's two whole-folder passes, each against a plain Python reference that reads
# every playlist once, in the same run:
# - exit: quillora-cli starts and exits (the clean-up at exit) in a folder whose one playlist
#   names MEDIA media files (default 10000); target: under 3 s;
# - listing: the "get playlistFiles" request over PLAYLISTS playlists (default 10000), timed as
#   a run with the request less a run without it; target: at most twice the reference.
# Each figure is the median of REPEATS runs (default 3).
#
# quillora-cli runs in a network namespace of its own (unshare -n, so root), which holds a
# loopback interface only: its network start fails and nothing leaves the machine.
#
# usage: bench/media_library.sh [PATH/TO/quillora-cli]

set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cli=${1:-$here/../build/quillora-cli}
media=${MEDIA:-10000}
playlists=${PLAYLISTS:-10000}
repeats=${REPEATS:-3}

[ -x "$cli" ] || { echo "not built: $cli" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "needs root (network namespace)" >&2; exit 1; }

work=$(mktemp -d /tmp/quillora-bench-library-XXXXXX)
trap 'rm -rf "$work"' EXIT
export XDG_RUNTIME_DIR=$work/runtime
mkdir -p "$XDG_RUNTIME_DIR"

# make_folder DIR MEDIA_IN_ONE_PLAYLIST PLAYLISTS_OF_ONE_ITEM
make_folder() {
  python3 - "$@" <<'EOF'
import json, os, sys
root, media, lists = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for sub in ("web/conf", "web/media", "web/firmware"):
    os.makedirs(os.path.join(root, sub), exist_ok=True)
with open(os.path.join(root, "config.yaml"), "w") as f:
    f.write("notification:\n  port: 18089\nsearch:\n  port: 13702\nlanguage: auto\n")
def item(url):
    return {"duration": 10, "id": 1, "title": url, "type": 1, "url": url}
if media:
    names = ["m%05d.mp4" % i for i in range(media)]
    for n in names:
        open(os.path.join(root, "web/media", n), "w").close()
    with open(os.path.join(root, "web/conf/big.json"), "w") as f:
        json.dump({"playlist": [item(n) for n in names]}, f)
for i in range(lists):
    with open(os.path.join(root, "web/conf/p%05d.json" % i), "w") as f:
        json.dump({"playlist": [item("p%05d.mp4" % i)]}, f)
EOF
}

# The reference: every playlist read and parsed once, the empty ones pruned, the names listed,
# the media no playlist names found.
reference() {
  python3 - "$1" <<'EOF'
import json, os, sys, time
root = sys.argv[1]
start = time.monotonic()
conf = os.path.join(root, "web/conf")
used, names = set(), []
for name in sorted(os.listdir(conf)):
    with open(os.path.join(conf, name)) as f:
        content = json.load(f)
    items = content.get("playlist")
    if not items:
        os.remove(os.path.join(conf, name))
        continue
    names.append(name)
    used.update(i["url"] for i in items if isinstance(i, dict) and isinstance(i.get("url"), str))
unused = [m for m in os.listdir(os.path.join(root, "web/media")) if m not in used]
print("%.3f" % (time.monotonic() - start))
EOF
}

# seconds of one quillora-cli run in FOLDER with the given requests
run_cli() {
  local folder=$1
  shift
  local start end
  start=$(date +%s.%N)
  unshare -n "$cli" --folder "$folder" "$@" >/dev/null 2>"$work/stderr.txt"
  end=$(date +%s.%N)
  echo "$end - $start" | bc
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

make_folder "$work/exit" "$media" 0
make_folder "$work/list" 0 "$playlists"
list='{"C":"get","T":"playlistFiles4Open","V":1,"P":""}'

exit_cli=$(for _ in $(seq "$repeats"); do run_cli "$work/exit"; done | median)
exit_ref=$(for _ in $(seq "$repeats"); do reference "$work/exit"; done | median)
[ "$(ls "$work/exit/web/media" | wc -l)" -eq "$media" ] || { echo "media were lost" >&2; exit 1; }

with=$(for _ in $(seq "$repeats"); do run_cli "$work/list" "$list"; done | median)
without=$(for _ in $(seq "$repeats"); do run_cli "$work/list"; done | median)
list_cli=$(echo "$with - $without" | bc)
list_ref=$(for _ in $(seq "$repeats"); do reference "$work/list"; done | median)
unshare -n "$cli" --folder "$work/list" "$list" 2>/dev/null | python3 -c \
  "import json,sys; n=len(json.loads(sys.stdin.readline())['P']); sys.exit(n != $playlists)" ||
  { echo "the listing is not complete" >&2; exit 1; }

printf '%-44s %10s %12s %8s\n' "measurement" "ours (s)" "reference (s)" "ratio"
printf '%-44s %10.3f %12.3f %8.1f\n' "exit, $media media in one playlist" "$exit_cli" "$exit_ref" \
  "$(echo "$exit_cli / $exit_ref" | bc -l)"
printf '%-44s %10.3f %12.3f %8.1f\n' "listing of $playlists playlists" "$list_cli" "$list_ref" \
  "$(echo "$list_cli / $list_ref" | bc -l)"
