#!/usr/bin/env bash
# Screenshots of the dashboard for the README: writes a synthetic fleet of 500 batteries into a temporary
# data folder, starts the real server on it (loopback only) and has headless chromium save the overview,
# the batteries due within 90 days and one battery's page, at 1400 and at a phone's 390 pixels, and the
# sites, silent batteries and the plan, as PNGs into the folder.
#   bash scripts/dashboard-shots.sh <folder>        (BUILD_DIR selects the build folder, default "build")
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 <folder for the PNG files>" >&2
  exit 2
fi
mkdir -p "$1"
out="$(cd "$1" && pwd)"
cd "$(dirname "$0")/.."

source scripts/shots-common.sh
build_targets Voltkeep vkfleet

data="$(mktemp -d)"
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$data"
}
trap cleanup EXIT

radio_port="$(free_port)"
http_port="$(free_port)"
export NORVALE_COMMON_APPDATA="$data"
mkdir -p "$data/Norvale/Voltkeep"
# vkfleet adds the [sites] its chargers stand at.
printf '[General]\nport=%s\n[http]\nlisten=127.0.0.1:%s\n' "$radio_port" "$http_port" > "$data/Norvale/Voltkeep/vk.cfg"
"$build/tools/fleet/vkfleet" --batteries 500 --days 365 --seed 11
"$build/server/Voltkeep" -e 2> "$data/server.log" &
server_pid=$!
for _ in $(seq 100); do
  grep -q "Accepting connections" "$data/server.log" && break
  sleep 0.1
done
# The insight pages show their first analysis, done once the start's forecasts are fitted.
for _ in $(seq 300); do
  grep -q "Fleet insight analysed" "$data/server.log" && break
  sleep 0.1
done
base="http://127.0.0.1:$http_port"
# The battery shown is the first of those due soonest, as the overview lists them.
battery="$(curl -fsS "$base/" | grep -o '/batteries/[0-9A-F]\{16\}' | head -n 1)"

shot() { chromium_shot "$out/$1.png" "$2" "$3" "$base$4"; } # name width height path
shot dashboard-overview 1400 1300 /
shot dashboard-batteries 1400 1000 "/batteries?due=90&sort=forecast"
shot dashboard-battery 1400 1500 "$battery"
shot dashboard-phone 390 1100 /
shot dashboard-batteries-phone 390 1100 "/batteries?due=90&sort=forecast"
shot dashboard-battery-phone 390 1700 "$battery"
shot dashboard-sites 1280 1100 /sites
shot dashboard-silent 1400 900 /silent
shot dashboard-plan 1400 1100 /plan
