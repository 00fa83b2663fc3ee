#!/usr/bin/env bash
# Installs everything Quillora needs to build, run and test on Debian 12.
set -euo pipefail
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
# The GStreamer plugins let the desktop program's preview play H.264 and HEVC.
$SUDO apt-get install -y --no-install-recommends \
  g++ cmake make pkg-config clang-format clang libclang-rt-14-dev \
  nlohmann-json3-dev libyaml-cpp-dev libxml2-dev libssl-dev libboost1.81-dev libsqlite3-dev libsecret-1-dev tzdata \
  libmediainfo-dev libmediainfo0v5 \
  libgtest-dev libgmock-dev \
  iproute2 curl procps jq nodejs python3 sqlite3 dbus-daemon gnome-keyring libsecret-tools \
  libjs-jquery libjs-jquery-ui libjs-bootstrap4 libjs-popper.js fonts-font-awesome \
  libwebkit2gtk-4.1-dev libgl1-mesa-dri xvfb xauth webkit2gtk-driver imagemagick \
  gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-libav \
  debhelper dpkg-dev librsvg2-bin lintian desktop-file-utils appstream systemd

# npm is only the client that fetches axe-core below: Debian's, unless the machine has one.
command -v npm >/dev/null || $SUDO apt-get install -y --no-install-recommends npm

# axe-core for the desktop test's accessibility check: one pinned version taken with npm's own
# client, checked against its published sha512 before anything of it is unpacked.
AXE_VERSION=4.10.3
AXE_SHA512=5e6edba515e70d25f6604d9815f064d859c5d1ea7ab661bbc4f87c88779ef0c21cae0abbeb636471ef39e9d62d2582e4b88a1866f19f4ecfcf6d986275e4dc12
AXE_DIR=/usr/local/share/quillora-tests/axe-core
if [ "$(cat "$AXE_DIR/VERSION" 2>/dev/null)" != "$AXE_VERSION" ]; then
  axe_tmp=$(mktemp -d)
  trap 'rm -rf "$axe_tmp"' EXIT
  (cd "$axe_tmp" && npm pack --silent "axe-core@$AXE_VERSION" >/dev/null)
  echo "$AXE_SHA512  $axe_tmp/axe-core-$AXE_VERSION.tgz" | sha512sum --check --status || {
    echo "axe-core-$AXE_VERSION.tgz does not match its sha512" >&2
    exit 1
  }
  tar -xzf "$axe_tmp/axe-core-$AXE_VERSION.tgz" -C "$axe_tmp" package/axe.min.js
  $SUDO install -D -m 0644 "$axe_tmp/package/axe.min.js" "$AXE_DIR/axe.min.js"
  echo "$AXE_VERSION" | $SUDO tee "$AXE_DIR/VERSION" >/dev/null
fi
