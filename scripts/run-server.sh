#!/usr/bin/env bash
# Installs what is missing, builds, and runs the server in the foreground on a local data folder.
# NORVALE_COMMON_APPDATA stands in for the machine's common application data folder; by default it is
# ./data in the checkout, so nothing needs root beyond the package installation.
set -euo pipefail
cd "$(dirname "$0")/.."

# Only what building and running takes: the test and packaging tools come with scripts/test.sh.
bash scripts/install-deps.sh run

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVK_BUILD_TESTS=OFF -DVK_BUILD_BENCH=OFF
# The server alone: the editor and the tools are built by a plain build or the test command.
cmake --build build -j"$(nproc)" --target Voltkeep

export NORVALE_COMMON_APPDATA="${NORVALE_COMMON_APPDATA:-$PWD/data}"
mkdir -p "$NORVALE_COMMON_APPDATA"
echo "Data folder: $NORVALE_COMMON_APPDATA/Norvale/Voltkeep"
exec ./build/server/Voltkeep -e
