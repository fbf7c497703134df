#!/usr/bin/env bash
# Installs the Debian packages this project needs to build, run and test.
# Only what is missing is installed; the package lists are refreshed first in that case.
set -euo pipefail

packages=(
  build-essential
  cmake
  pkg-config
  qt6-base-dev
  qt6-base-dev-tools
  # Debian's CMake files of Qt HTTP Server ask for Qt WebSockets too.
  qt6-httpserver-dev
  qt6-websockets-dev
  libqt6sql6-sqlite
  libqt6network6
  nlohmann-json3-dev
  sqlite3
  openssl
  ca-certificates
  python3
  python3-aiosmtpd
  procps
  tzdata
  qt6-qpa-plugins
  xvfb
  xauth
  fonts-dejavu-core
  libsystemd-dev
  dbus-daemon
  systemd
  g++-mingw-w64-x86-64-posix
  g++-mingw-w64-i686-posix
  faketime
  # The dashboard's test and screenshots run Debian's headless chromium; /metrics is checked with
  # Prometheus' own text parser; curl fetches pages in the screenshot script and the README's examples.
  chromium
  python3-prometheus-client
  curl
  # The Debian packages: built with debhelper's CMake support, checked with lintian.
  dpkg-dev
  debhelper
  lintian
  # scripts/try-packages.sh installs them in a scratch root of Debian 12.
  debootstrap
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
