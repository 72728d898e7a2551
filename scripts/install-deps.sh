#!/usr/bin/env bash
# Installs every Debian package Brisko Desktop needs to build, run and test.
# Usage: scripts/install-deps.sh [--test]   (--test adds the desktop-test and keyring tools)
set -euo pipefail

build_pkgs=(
  cmake ninja-build ccache pkg-config git
  clang-16 lld-16 libclang-rt-16-dev llvm-16
  libasio-dev libcurl4-openssl-dev nlohmann-json3-dev libplist-dev libplist-utils libsecret-1-dev
  libssl-dev zlib1g-dev libpsl-dev publicsuffix
  qt6-base-dev qt6-base-private-dev qt6-svg-dev libqt6svg6 qt6-qpa-plugins libgl-dev
  libxcb1-dev libxcb-ewmh-dev libxcb-screensaver0-dev libx11-xcb-dev libx11-dev
  libwayland-dev libwayland-bin wayland-protocols plasma-wayland-protocols qt6-wayland
  fonts-noto-cjk fonts-roboto xdg-utils ca-certificates
  dpkg-dev file binutils desktop-file-utils
)
test_pkgs=(
  doctest-dev libcpp-httplib-dev
  xvfb xauth openbox trayer xdotool x11-utils xterm dbus dbus-x11 gnome-keyring libsecret-tools
  curl openssl procps chromium lintian
  sway foot kwin-wayland weston wayland-utils
  gnome-shell libglib2.0-bin
)

pkgs=("${build_pkgs[@]}")
if [[ "${1:-}" == "--test" ]]; then
  pkgs+=("${test_pkgs[@]}")
  # Node.js runs the local OpenID provider; keep a Node.js the machine already has.
  command -v node >/dev/null 2>&1 || pkgs+=(nodejs)
  command -v npm >/dev/null 2>&1 || pkgs+=(npm)
fi

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""; [[ $(id -u) -ne 0 ]] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
