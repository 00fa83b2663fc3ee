#!/usr/bin/env bash
# Builds the Debian package from the source tree, installs it, uses it as a user would and
# purges it again. It changes the machine's /usr, so it runs only when asked: CI=true or
# QUILLORA_PACKAGE_TEST=1 (exit 77, skipped, otherwise), and only as root.
# usage: package_test.sh SOURCE_DIR
set -euo pipefail
source_dir=$(cd "${1:?usage: package_test.sh SOURCE_DIR}" && pwd)
if [ "${CI:-}" != true ] && [ "${QUILLORA_PACKAGE_TEST:-}" != 1 ]; then
  echo "skipped: set QUILLORA_PACKAGE_TEST=1 (it installs and purges the quillora package)"
  exit 77
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: needs root"
  exit 77
fi

started=$SECONDS
user=quillora-pkgtest
work=$(mktemp -d)
installed=0
cleanup() {
  local rc=$?
  # Whatever failed, the machine is left without the package.
  if [ "$installed" = 1 ]; then dpkg --purge quillora >/dev/null 2>&1 || true; fi
  rm -rf "$work"
  echo "package test: $((SECONDS - started)) s"
  exit "$rc"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
step() { echo "== $*"; }

step "copy the source tree (tracked and new files, no build folders)"
mkdir "$work/quillora"
(cd "$source_dir" && git ls-files -co --exclude-standard -z | tar --null -T - -cf -) |
  tar -xf - -C "$work/quillora"

step "dpkg-buildpackage -us -uc -b"
(cd "$work/quillora" && dpkg-buildpackage -us -uc -b) >"$work/build.log" 2>&1 ||
  { tail -40 "$work/build.log"; fail "the package does not build"; }
version=$(dpkg-parsechangelog -l "$work/quillora/debian/changelog" -S Version)
deb="$work/quillora_${version}_amd64.deb"
[ -f "$deb" ] || fail "no $deb"

step "lintian, desktop-file-validate, appstreamcli"
lint_rc=0
lint=$(lintian --fail-on error,warning "$deb" 2>&1) || lint_rc=$?
lint=$(grep -v 'running with root privileges' <<<"$lint" || true)
[ "$lint_rc" = 0 ] && [ -z "$lint" ] || fail "lintian: $lint"
dpkg-deb -x "$deb" "$work/unpacked"
desktop-file-validate "$work/unpacked/usr/share/applications/quillora.desktop" ||
  fail "desktop-file-validate"
appstreamcli validate --no-net \
  "$work/unpacked/usr/share/metainfo/io.github.quillora.Quillora.metainfo.xml" >"$work/as.log" ||
  { cat "$work/as.log"; fail "appstreamcli validate"; }

step "dpkg -i (apt-get -f install for its dependencies)"
installed=1
if ! dpkg -i "$deb" >"$work/install.log" 2>&1; then
  DEBIAN_FRONTEND=noninteractive apt-get -f install -y -o DPkg::Lock::Timeout=600 \
    >>"$work/install.log" 2>&1 || { tail -20 "$work/install.log"; fail "dpkg -i"; }
fi
[ "$(dpkg-query -W -f '${Status}' quillora)" = "install ok installed" ] || fail "not installed"
for program in quillora quillora-cli quillora-display-sim; do
  [ -x "/usr/bin/$program" ] || fail "/usr/bin/$program"
  [ -f "/usr/share/man/man1/$program.1.gz" ] || fail "no manual page for $program"
done
# The page's libraries are Debian's own, reached through links.
for library in jquery/jquery.min.js jquery-ui/jquery-ui.min.js bootstrap4/css/bootstrap.min.css \
  popper.js/umd/popper.min.js font-awesome/css/font-awesome.min.css; do
  [ -L "/usr/share/quillora/web/vendor/${library%%/*}" ] || fail "vendor/${library%%/*} is no link"
  [ -f "/usr/share/quillora/web/vendor/$library" ] || fail "vendor/$library does not resolve"
done
cmp -s "$source_dir/web/index.html" /usr/share/quillora/web/index.html ||
  fail "the installed page is not the one the programs were built with"

step "quillora-cli from PATH as $user"
id "$user" >/dev/null 2>&1 || useradd -m "$user"
home=$(getent passwd "$user" | cut -d: -f6)
rm -rf "$home/.local/share/quillora"
runtime=$(runuser -u "$user" -- mktemp -d)
as_user() {
  # A network namespace of its own: the host's listeners and searches stay on this machine.
  unshare --net runuser -u "$user" -- env -i HOME="$home" XDG_RUNTIME_DIR="$runtime" \
    PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 "$@"
}
expected_version="quillora-cli ${version%%[-+~]*}"
[ "$(as_user quillora-cli --version)" = "$expected_version" ] ||
  fail "--version: $(as_user quillora-cli --version) (expected $expected_version)"
# Every option the help names is in the manual page too.
manual=$(zcat /usr/share/man/man1/quillora-cli.1.gz | sed 's/\\-/-/g')
for option in $(as_user quillora-cli --help | grep -o -- '--[a-z]*' | sort -u); do
  grep -q -- "$option" <<<"$manual" || fail "quillora-cli(1) does not name $option"
done
save='{"T":"playlist","C":"save","V":1,"P":{"name":"lobby.json","playlist":[{"url":"a.mp4","type":1,"title":"a.mp4","id":1,"duration":30}]}}'
reply=$(as_user quillora-cli "$save" 2>"$work/cli.err") || { cat "$work/cli.err"; fail "quillora-cli"; }
[ "$reply" = '{"C":"save","P":{"name":"lobby.json","status":"OK"},"T":"playlist","V":1}' ] ||
  fail "save answered: $reply"
data="$home/.local/share/quillora"
[ -f "$data/web/conf/lobby.json" ] || fail "no playlist in $data/web/conf"
[ "$(stat -c %U "$data/web/conf/lobby.json")" = "$user" ] || fail "the playlist is not the user's"
cmp -s /usr/share/quillora/config.yaml "$data/config.yaml" || fail "no config.yaml in $data"
[ -d "$data/data" ] || fail "no store folder in $data"
[ ! -e /usr/share/quillora/web/conf ] || fail "the program wrote below /usr/share/quillora"
list='{"C":"get","T":"playlistFiles4Open","V":2,"P":""}'
listed=$(as_user quillora-cli "$list" 2>>"$work/cli.err")
[ "$listed" = '{"C":"get","P":["lobby.json"],"T":"playlistFiles4Open","V":2}' ] ||
  fail "list answered: $listed"

step "the systemd user unit's quillora-cli --serve fires a schedule and ends on SIGTERM"
unit=/usr/lib/systemd/user/quillora.service
[ "$(sed -n 's/^ExecStart=//p' "$unit")" = "/usr/bin/quillora-cli --serve" ] || fail "$unit"
systemd-analyze verify "$unit" >"$work/unit.log" 2>&1 || { cat "$work/unit.log"; fail "$unit does not verify"; }
install -m 600 -o "$user" <(echo '{"lab":{"user":"admin","pass":"never-on-disk"}}') "$home/logins.json"
echo "credentialsFile: $home/logins.json" >>"$data/config.yaml"
at=$(date -d "@$((($(date +%s) + 65) / 60 * 60))" +%Y-%m-%dT%H:%M)
echo '{"T":"schedule","C":"save","V":1,"P":{"name":"Lobby","login":"lab","targets":{"ip":["127.0.0.1:9"]},
  "operation":{"C":"set","T":"screen","P":{"cmd":"1"}},"when":{"once":"'"$at"'"}}}' | jq -c . >"$work/serve.in"
as_user /usr/bin/quillora-cli --serve <"$work/serve.in" >"$work/serve.out" 2>"$work/serve.err" &
serve=$!
for _ in $(seq 100); do grep -q '"C":"fired"' "$work/serve.out" && break; sleep 1; done
grep -q '"C":"fired".*"status":"OK"' "$work/serve.out" ||
  { cat "$work/serve.out" "$work/serve.err"; fail "the schedule did not fire"; }
pkill -TERM -u "$user" -x quillora-cli
wait "$serve" || fail "quillora-cli --serve exited $? on SIGTERM"
! grep -rq never-on-disk "$data" || fail "the password reached the user's folder"

step "upgrade to a higher version keeps the user's playlist"
next="${version}+1"
dpkg-deb -R "$deb" "$work/next"
sed -i "s/^Version: .*/Version: $next/" "$work/next/DEBIAN/control"
dpkg-deb --root-owner-group -b "$work/next" "$work/next.deb" >/dev/null
dpkg -i "$work/next.deb" >>"$work/install.log" 2>&1 || fail "upgrade"
[ "$(dpkg-query -W -f '${Version}' quillora)" = "$next" ] || fail "not upgraded"
[ -f "$data/web/conf/lobby.json" ] || fail "the upgrade lost the playlist"
listed=$(as_user quillora-cli "$list" 2>>"$work/cli.err")
[ "$listed" = '{"C":"get","P":["lobby.json"],"T":"playlistFiles4Open","V":2}' ] ||
  fail "after the upgrade: $listed"

step "dpkg --purge leaves the user's folder alone"
dpkg --purge quillora >>"$work/install.log" 2>&1 || fail "purge"
installed=0
[ ! -e /usr/bin/quillora-cli ] && [ ! -e /usr/share/quillora ] || fail "purge left files"
[ -f "$data/web/conf/lobby.json" ] && [ -f "$data/config.yaml" ] || fail "purge took the user's data"
rm -rf "$runtime"
