#!/usr/bin/env bash
# Renders every view in its named states, light and dark, at twice the pixel density, into
# build/screenshots/<view>-<state>-<light|dark>.png (offscreen: no display needed).
# Usage: scripts/screenshots.sh [BUILD_DIR, default build/dev]
set -euo pipefail
cd "$(dirname "$0")/.."

build="${1:-build/dev}"
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake --preset dev
fi
cmake --build "$build" --target vask-screenshots
out=build/screenshots
rm -rf "$out"
# A screen large enough for every window at twice the density (windows fit the screen's area).
screen="$(mktemp)"
trap 'rm -f "$screen"' EXIT
echo '{"screens": [{"name": "shots", "x": 0, "y": 0, "width": 3840, "height": 2400}]}' >"$screen"
QT_QPA_PLATFORM="offscreen:configfile=$screen" QT_SCALE_FACTOR=2 \
    "$build/tools/screenshots/vask-screenshots" "$out" 2>/dev/null
ls "$out"
