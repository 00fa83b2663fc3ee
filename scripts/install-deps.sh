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
  nlohmann-json3-dev libyaml-cpp-dev libxml2-dev libssl-dev libboost1.81-dev libsqlite3-dev \
  libmediainfo-dev libmediainfo0v5 \
  libgtest-dev libgmock-dev \
  iproute2 curl procps jq nodejs python3 \
  libjs-jquery libjs-jquery-ui libjs-bootstrap4 libjs-popper.js fonts-font-awesome \
  libwebkit2gtk-4.1-dev libgl1-mesa-dri xvfb xauth webkit2gtk-driver imagemagick \
  gstreamer1.0-plugins-bad gstreamer1.0-libav
