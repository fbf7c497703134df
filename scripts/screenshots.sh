#!/usr/bin/env bash
# Builds vk_editor_shots and runs it under a virtual X server: every editor window is shown in a real
# window and saved as a PNG into the folder given on the command line, at 96 dots per inch or the given
# density (144 is a desktop at 150 %: Qt scales the windows and their fonts by 1.5).
#   bash scripts/screenshots.sh <folder> [dpi]   (BUILD_DIR selects the build folder, default "build")
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: $0 <folder for the PNG files> [dpi]" >&2
  exit 2
fi
dpi="${2:-96}"
mkdir -p "$1"
out="$(cd "$1" && pwd)"
cd "$(dirname "$0")/.."

source scripts/shots-common.sh
build_targets vk_editor_shots

# No window manager runs on the virtual server, so the windows have no title bars.
# Xvfb reports the density; Qt takes its fonts' density from QT_FONT_DPI, as from Xft.dpi on a desktop.
xvfb-run -a -s "-screen 0 1920x1536x24 -dpi $dpi" env QT_QPA_PLATFORM=xcb QT_FONT_DPI="$dpi" \
  "$build/editor/shots/vk_editor_shots" "$out"
