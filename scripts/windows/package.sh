#!/usr/bin/env bash
# Makes the Windows deliveries from a cross-built application folder:
#   quillora-VERSION-win64.zip   the folder as Quillora/, to unpack anywhere
#   quillora-setup-VERSION.exe   a per-user installer (NSIS): no administrator rights
# Usage: scripts/windows/package.sh BUILD_DIR [--version VERSION] [--out DIR]
# VERSION defaults to project(... VERSION) in CMakeLists.txt, DIR to BUILD_DIR/dist.
#
# Only a fixed list of files ships: the build folder also holds test programs, CMake's files,
# Wine prefixes and the cross-built libraries, and the program's runtime folders when it ran there.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
usage() {
  echo "usage: package.sh BUILD_DIR [--version VERSION] [--out DIR]" >&2
  exit 2
}
[ $# -ge 1 ] || usage
BUILD_DIR=$(cd "$1" && pwd)
shift
VERSION=$(sed -nE 's/^project\([A-Za-z]+ VERSION ([0-9.]+).*/\1/p' "$ROOT/CMakeLists.txt")
OUT=$BUILD_DIR/dist
while [ $# -gt 0 ]; do
  case $1 in
  --version) VERSION=${2:-} && shift 2 ;;
  --out) OUT=${2:-} && shift 2 ;;
  *) usage ;;
  esac
done
# Windows keeps a file version as four numbers.
[[ $VERSION =~ ^[0-9]+(\.[0-9]+){0,3}$ ]] || {
  echo "package.sh: version '$VERSION' is not one to four numbers" >&2
  exit 2
}
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)

REQUIRED=(quillora-cli.exe config.yaml web)
OPTIONAL=(quillora.exe WebView2Loader.dll MediaInfo.dll)
# Written by the program where it runs; an operator's work, never the product's.
RUNTIME=(web/conf web/media web/firmware)
# Our own programs lose their debug sections and symbols; the DLLs ship as they came (the
# WebView2 loader is signed).
STRIP=(quillora.exe quillora-cli.exe)

start=$(date +%s)
stage=$(mktemp -d /tmp/quillora-package-XXXXXX)
trap 'rm -rf "$stage"' EXIT
app=$stage/Quillora
mkdir -p "$app"
for f in "${REQUIRED[@]}"; do
  [ -e "$BUILD_DIR/$f" ] || {
    echo "package.sh: $BUILD_DIR/$f is missing" >&2
    exit 1
  }
  cp -RL "$BUILD_DIR/$f" "$app/"
done
for f in "${OPTIONAL[@]}"; do
  if [ -e "$BUILD_DIR/$f" ]; then
    cp -L "$BUILD_DIR/$f" "$app/"
  else
    echo "package.sh: no $f in $BUILD_DIR, it is left out"
  fi
done
for d in "${RUNTIME[@]}"; do rm -rf "${app:?}/$d"; done
# The build's stamp that the page's libraries were copied.
rm -f "$app/web/vendor/.copied"
# The installer names every file in a quoted string: no quotes or line breaks in names.
odd=$(find "$app" -name '*["`]*' -o -name "*"$'\n'"*")
[ -z "$odd" ] || {
  echo "package.sh: cannot name these in the installer: $odd" >&2
  exit 1
}
for f in "${STRIP[@]}"; do
  [ ! -e "$app/$f" ] || x86_64-w64-mingw32-strip "$app/$f"
done

# zip adds to an archive that exists: a new one each time.
zip_file=$OUT/quillora-$VERSION-win64.zip
rm -f "$zip_file"
(cd "$stage" && zip -q -r -X -9 "$zip_file" Quillora)

# The installer's file lists, one per direction: what it writes, and what its uninstaller takes
# away (the same files, then the folders when they are left empty). config.yaml is in neither:
# the script writes it only where none exists, and an uninstall leaves it.
# "$" doubled; a path on Windows also with "\" for "/".
nsis_path() {
  local s=${2//\$/\$\$}
  [ "$1" = host ] || s=${s//\//\\}
  echo "$s"
}
files=$(cd "$app" && find . -type f ! -path ./config.yaml | sed 's|^\./||' | LC_ALL=C sort)
dirs=$(cd "$app" && find . -mindepth 1 -type d | sed 's|^\./||' | LC_ALL=C sort)
{
  current=""
  while IFS= read -r f; do
    dir=$(dirname "$f")
    if [ "$dir" != "$current" ]; then
      if [ "$dir" = . ]; then
        echo 'SetOutPath "$INSTDIR"'
      else
        echo "SetOutPath \"\$INSTDIR\\$(nsis_path target "$dir")\""
      fi
      current=$dir
    fi
    echo "File \"$(nsis_path host "$app/$f")\""
  done <<<"$files"
} >"$stage/install-files.nsh"
{
  while IFS= read -r f; do echo "Delete \"\$INSTDIR\\$(nsis_path target "$f")\""; done <<<"$files"
  # Deepest first; RMDir without /r leaves a folder that still holds anything.
  LC_ALL=C sort -r <<<"$dirs" | while IFS= read -r d; do
    [ -n "$d" ] || continue
    echo "RMDir \"\$INSTDIR\\$(nsis_path target "$d")\""
  done
} >"$stage/uninstall-files.nsh"

IFS=. read -r -a parts <<<"$VERSION"
while [ ${#parts[@]} -lt 4 ]; do parts+=(0); done
defines=(-DVERSION="$VERSION" -DVI_VERSION="$(IFS=.; echo "${parts[*]}")"
  -DSTAGE="$app" -DINSTALL_FILES="$stage/install-files.nsh"
  -DUNINSTALL_FILES="$stage/uninstall-files.nsh"
  -DESTIMATED_SIZE="$(du -sk --apparent-size "$app" | cut -f1)")
[ ! -e "$app/quillora.exe" ] || defines+=(-DHAVE_GUI)
setup_file=$OUT/quillora-setup-$VERSION.exe
makensis -V2 -INPUTCHARSET UTF8 "${defines[@]}" -DOUTFILE="$setup_file" \
  "$ROOT/packaging/windows/quillora.nsi"

echo "== Windows packages in $(($(date +%s) - start)) s:"
ls -l "$zip_file" "$setup_file"
