#!/usr/bin/env bash
# The Windows deliveries under Wine, in a fresh prefix: the zip holds exactly the shipped files;
# the installer installs silently for the user alone and registers its uninstaller; the program
# runs from there; a newer installer over it keeps the operator's work (playlists, media, data,
# config.yaml) and takes away files the newer version no longer ships; a running program is
# neither installed over nor uninstalled; a folder the user cannot write is refused; the
# registered silent uninstall removes the program's files and its registration and keeps the
# operator's work.
# Usage: installer_windows.sh WINDOWS_BUILD SOURCE_DIR [LINUX_BUILD (unused)]
set -euo pipefail
win=$(cd "$1" && pwd) src=$2
for tool in makensis zip unzip; do
  command -v "$tool" >/dev/null || {
    echo "SKIP: no $tool"
    exit 77
  }
done
[ -x "$win/quillora-cli.exe" ] || {
  echo "no $win/quillora-cli.exe" >&2
  exit 1
}
# Only loopback: a fresh network namespace when we may make one, and a mount namespace for a
# read-only folder.
if [ -z "${QUILLORA_UNSHARED:-}" ] && [ "$(id -u)" -eq 0 ]; then
  exec unshare -n -m env QUILLORA_UNSHARED=1 bash "$0" "$@"
fi
[ -n "${QUILLORA_UNSHARED:-}" ] && ip link set lo up

work=$(mktemp -d /tmp/quillora-installer-XXXXXX)
export WINEPREFIX=$win/wine/installer-test
rm -rf "$WINEPREFIX" "$WINEPREFIX.lock"
wine() { bash "$src/scripts/windows/wine-run.sh" "$@"; }
cleanup() {
  wine --stop "$win/quillora-cli.exe" || true
  umount -q "$work/readonly/Quillora" 2>/dev/null || true
  chmod -R u+w "$work"
  rm -rf "$work" "$WINEPREFIX" "$WINEPREFIX.lock"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillora'
reg_value() {
  wine reg query "$key" /v "$1" 2>/dev/null | tr -d '\r' | sed -nE "s/^ +$1 +REG_[A-Z_]+ +//p"
}
registered() { wine reg query "$key" >/dev/null 2>&1; }
# The files a build folder ships, as the zip and the installer must hold them.
shipped() {
  (cd "$1" && {
    for f in quillora.exe quillora-cli.exe WebView2Loader.dll MediaInfo.dll config.yaml; do
      [ ! -f "$f" ] || echo "$f"
    done
    find web -type f ! -path 'web/conf/*' ! -path 'web/media/*' ! -path 'web/firmware/*' \
      ! -name .copied
  } | LC_ALL=C sort)
}
zip_files() { unzip -Z1 "$1" | grep -v '/$' | LC_ALL=C sort; }
files_in() { (cd "$1" && find . -type f | sed 's|^\./||' | LC_ALL=C sort); }
shortcut() { find "$WINEPREFIX/drive_c/users" -name Quillora.lnk -path '*Start Menu/Programs/*'; }

version=$(sed -nE 's/^project\([A-Za-z]+ VERSION ([0-9.]+).*/\1/p' "$src/CMakeLists.txt")
IFS=. read -r major minor patch <<<"$version"
next=$major.$minor.$((patch + 1))

# The current build, and a newer one from a copy of its folder that lacks one page file, has the
# desktop program, and holds everything a build or a run leaves that must never ship.
bash "$src/scripts/windows/package.sh" "$win" --out "$work/v1" >"$work/v1.log" 2>&1 ||
  fail "package: $(cat "$work/v1.log")"
app2=$work/build2
mkdir -p "$app2"
for f in quillora.exe quillora-cli.exe WebView2Loader.dll MediaInfo.dll config.yaml web; do
  [ ! -e "$win/$f" ] || cp -R "$win/$f" "$app2/"
done
stale=$(cd "$app2" && find web/js -type f | LC_ALL=C sort | head -n 1)
rm "$app2/$stale"
[ -f "$app2/quillora.exe" ] || cp "$app2/quillora-cli.exe" "$app2/quillora.exe"
for f in unit_tests.exe CMakeCache.txt libquillora_core.a wine/net-1/system.reg deps/lib/libx.a \
  tests/helper.exe webview2-standin/WebView2Loader.dll web/conf/left.json web/media/left.png \
  web/firmware/fw.bin web/vendor/.copied data/quillora.db; do
  mkdir -p "$(dirname "$app2/$f")"
  echo test >"$app2/$f"
done
bash "$src/scripts/windows/package.sh" "$app2" --version "$next" --out "$work/v2" \
  >"$work/v2.log" 2>&1 || fail "package $next: $(cat "$work/v2.log")"
setup1=$work/v1/quillora-setup-$version.exe setup2=$work/v2/quillora-setup-$next.exe

# The zips: Quillora/ holding the shipped files, byte for byte apart from our stripped programs.
for build in "$win:$work/v1/quillora-$version-win64.zip" "$app2:$work/v2/quillora-$next-win64.zip"; do
  folder=${build%%:*} zip_file=${build#*:}
  [ -f "$zip_file" ] || fail "no $zip_file"
  diff <(zip_files "$zip_file") <(shipped "$folder" | sed 's|^|Quillora/|') ||
    fail "$zip_file does not hold exactly the shipped files"
done
unzip -q "$work/v1/quillora-$version-win64.zip" -d "$work/zip1"
unzip -q "$work/v2/quillora-$next-win64.zip" -d "$work/zip2"
while IFS= read -r f; do
  [[ $f == *.exe ]] || cmp -s "$win/$f" "$work/zip1/Quillora/$f" || fail "$f differs in the zip"
done < <(shipped "$win")

# A silent install for this user alone, with its uninstaller registered.
wine "$setup1" /S || fail "install: exit $?"
registered || fail "install: no uninstall entry"
location=$(reg_value InstallLocation)
dir=$(wine winepath -u "$location" | tr -d '\r')
dir=${dir%/}
[[ $dir == */AppData/Local/Programs/Quillora ]] || fail "installed into $location"
for check in "DisplayName=Quillora" "DisplayVersion=$version" "NoModify=0x1" "NoRepair=0x1" \
  "UninstallString=\"$location\\Uninstall.exe\"" \
  "QuietUninstallString=\"$location\\Uninstall.exe\" /S"; do
  [ "$(reg_value "${check%%=*}")" = "${check#*=}" ] ||
    fail "${check%%=*} is '$(reg_value "${check%%=*}")', not '${check#*=}'"
done
size=$(($(reg_value EstimatedSize))) shipped_kib=$(du -sk --apparent-size "$work/zip1/Quillora" | cut -f1)
[ "$size" -ge $((shipped_kib * 9 / 10)) ] && [ "$size" -le $((shipped_kib * 11 / 10)) ] ||
  fail "EstimatedSize $size KiB for $shipped_kib KiB"
diff -r "$work/zip1/Quillora" "$dir" -x Uninstall.exe >"$work/diff" ||
  fail "the installed folder is not the zip's: $(head -n 5 "$work/diff")"
[ -f "$dir/Uninstall.exe" ] || fail "no Uninstall.exe"
if [ -f "$dir/quillora.exe" ]; then
  [ -n "$(shortcut)" ] || fail "no Start-menu shortcut to quillora.exe"
else
  [ -z "$(shortcut)" ] || fail "a Start-menu shortcut without quillora.exe"
fi

# The operator's work in the program's folder: a playlist it saves, media, data and settings.
save='{"T":"playlist","C":"save","V":1,"P":{"name":"a.json","playlist":[{"url":"m.png","type":1,"title":"m","id":1,"duration":3}]}}'
wine "$dir/quillora-cli.exe" --folder "$dir" "$save" >"$work/save.out" 2>"$work/save.err" ||
  fail "the installed program: $(cat "$work/save.err")"
[ -f "$dir/web/conf/a.json" ] || fail "no playlist saved: $(cat "$work/save.out")"
cp "$src/tests/data/media/image.png" "$dir/web/media/m.png"
echo notes >"$dir/data/notes.txt"
sed -i 's/port: 8089/port: 18089/' "$dir/config.yaml"
grep -q 18089 "$dir/config.yaml" || fail "config.yaml not edited"
(cd "$dir" && sha256sum config.yaml web/conf/a.json web/media/m.png data/notes.txt) >"$work/work.sum"

# A running program's files are neither replaced nor removed: exit 2, nothing touched. The
# program runs until its standard input ends.
coproc RUNNING { wine "$dir/quillora-cli.exe" --folder "$dir" - 2>/dev/null; }
echo '{"C":"get","T":"playlistFiles4Open","V":2,"P":""}' >&"${RUNNING[1]}"
IFS= read -r -t 60 line <&"${RUNNING[0]}" || fail "the program printed nothing"
status=0
wine "$dir/Uninstall.exe" /S "_?=$location" || status=$?
[ "$status" -eq 2 ] || fail "uninstall while running: exit $status"
status=0
wine "$setup2" /S || status=$?
[ "$status" -eq 2 ] || fail "install while running: exit $status"
[ -f "$dir/quillora-cli.exe" ] && [ "$(reg_value DisplayVersion)" = "$version" ] ||
  fail "the running program's installation was changed"
input=${RUNNING[1]}
exec {input}>&-
wait "$RUNNING_PID" || fail "the running program failed"

# Nor into a folder the user cannot write, even one that holds an earlier installation: its
# uninstaller would take this installation's registration with it.
locked=$work/readonly/Quillora
mkdir -p "$locked"
cp "$dir/Uninstall.exe" "$locked/"
if [ -n "${QUILLORA_UNSHARED:-}" ]; then
  mount --bind "$locked" "$locked"
  mount -o remount,bind,ro "$locked"
else
  chmod a-w "$locked"
fi
status=0
wine "$setup2" /S "/D=Z:${locked//\//\\}" || status=$?
[ "$status" -eq 2 ] || fail "install into an unwritable folder: exit $status"
[ "$(reg_value InstallLocation)" = "$location" ] || fail "the registration was changed"

# The upgrade: the newer version's files, the operator's work as it was.
wine "$setup2" /S || fail "upgrade: exit $?"
[ "$(reg_value DisplayVersion)" = "$next" ] || fail "upgrade: DisplayVersion $(reg_value DisplayVersion)"
[ "$(reg_value InstallLocation)" = "$location" ] || fail "upgrade moved to $(reg_value InstallLocation)"
(cd "$dir" && sha256sum -c --quiet "$work/work.sum") || fail "upgrade changed the operator's work"
[ ! -e "$dir/$stale" ] || fail "upgrade left $stale, which the newer version does not ship"
while IFS= read -r f; do
  cmp -s "$work/zip2/Quillora/$f" "$dir/$f" || [ "$f" = config.yaml ] || fail "upgrade: $f differs"
done < <(shipped "$app2")
[ -n "$(shortcut)" ] || fail "no Start-menu shortcut to quillora.exe"
# Started as from the Start menu: its own folder is the one it works in.
(cd "$work" && wine "$dir/quillora-cli.exe" '{"C":"get","T":"playlistFiles4Open","V":2,"P":""}') \
  >"$work/list.out" 2>/dev/null || fail "the upgraded program"
grep -q 'a.json' "$work/list.out" || fail "the upgraded program lost the playlist: $(cat "$work/list.out")"

# The registered silent uninstall returns at once (the uninstaller runs from a copy of itself, so
# that it can remove itself) and ends with removing its registration.
operator=$(files_in "$dir" | grep -vxF -f <(shipped "$app2" | grep -vx config.yaml; echo Uninstall.exe))
quiet=$(reg_value QuietUninstallString)
[[ $quiet =~ ^\"([^\"]+)\"\ (.*)$ ]] || fail "QuietUninstallString: $quiet"
# The arguments are the registered ones, split on blanks as Windows does.
# shellcheck disable=SC2086
wine "${BASH_REMATCH[1]}" ${BASH_REMATCH[2]} || fail "uninstall: exit $?"
for _ in $(seq 120); do
  registered || break
  sleep 0.5
done
! registered || fail "the uninstall entry is still there"
[ "$(files_in "$dir")" = "$operator" ] ||
  fail "after the uninstall: $(diff <(echo "$operator") <(files_in "$dir") | head -n 5)"
(cd "$dir" && sha256sum -c --quiet "$work/work.sum") || fail "uninstall changed the operator's work"
[ -z "$(shortcut)" ] || fail "the Start-menu shortcut is still there"
echo "installer_windows: all checks passed"
