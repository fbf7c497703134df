#!/usr/bin/env bash
# Builds vk_editor_shots and runs it under a virtual X server: every editor window is shown in a real
# window and saved as a PNG into the folder given on the command line.
#   bash scripts/screenshots.sh <folder>        (BUILD_DIR selects the build folder, default "build")
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 <folder for the PNG files>" >&2
  exit 2
fi
mkdir -p "$1"
out="$(cd "$1" && pwd)"
cd "$(dirname "$0")/.."

build="${BUILD_DIR:-build}"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build"
fi
cmake --build "$build" -j2 --target vk_editor_shots

# No window manager runs on the virtual server, so the windows have no title bars.
xvfb-run -a -s "-screen 0 1280x1024x24" env QT_QPA_PLATFORM=xcb "$build/editor/shots/vk_editor_shots" "$out"
