#!/usr/bin/env bash
# Installs the Debian packages this project needs: with "run", only what building and running the
# programs takes (scripts/run-server.sh); with "all" (the default), also what the tests, the screenshots
# and the Debian packages take (scripts/test.sh). Only what is missing is installed; the package lists
# are refreshed first in that case.
set -euo pipefail

section="${1:-all}"
case "$section" in
  run|all) ;;
  *) echo "usage: $0 [run|all]" >&2; exit 1 ;;
esac

# Building and running.
packages=(
  build-essential
  cmake
  pkg-config
  qt6-base-dev
  qt6-base-dev-tools
  libqt6sql6-sqlite
  # The server turns off SQLite's memory statistics, which Qt's driver cannot.
  libsqlite3-dev
  # [store] driver=postgresql talks to PostgreSQL through Qt's own driver.
  libqt6sql6-psql
  libqt6network6
  nlohmann-json3-dev
  ca-certificates
  tzdata
  libsystemd-dev
)

# Testing, the screenshots and the Debian packages.
if [ "$section" = all ]; then packages+=(
  sqlite3
  openssl
  python3
  python3-aiosmtpd
  # The dashboard's browser tests talk to Chromium over its DevTools WebSocket.
  qt6-websockets-dev
  procps
  qt6-qpa-plugins
  xvfb
  xauth
  fonts-dejavu-core
  dbus-daemon
  systemd
  g++-mingw-w64-x86-64-posix
  g++-mingw-w64-i686-posix
  faketime
  # The dashboard's test and screenshots run Debian's headless chromium; /metrics is checked with
  # Prometheus' own text parser; curl fetches pages in the screenshot script and the README's examples.
  chromium
  python3-prometheus-client
  # Real API answers are validated against the OpenAPI description's schemas.
  python3-jsonschema
  # promtool checks the shipped alert rules and evaluates them against a scrape of the server.
  prometheus
  curl
  # The Debian packages: built with debhelper's CMake support, checked with lintian.
  dpkg-dev
  debhelper
  lintian
  # scripts/try-packages.sh installs them in a scratch root of Debian 12; the package checks boot such
  # a root with systemd in it (systemd-nspawn) to run the package under a real systemd.
  debootstrap
  systemd-container
  # The shared-store tests start their own PostgreSQL server (initdb, pg_ctl) in a temporary folder.
  postgresql
); fi

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
