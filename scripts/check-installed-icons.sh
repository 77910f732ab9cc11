#!/usr/bin/env bash
# Installs a build into a scratch prefix and checks that the desktop entry names the application
# icon and that the icon theme holds it: the scalable picture and every pixel size.
# Usage: scripts/check-installed-icons.sh [BUILD_DIR, default build/dev]
set -euo pipefail
cd "$(dirname "$0")/.."

build="${1:-build/dev}"
prefix="$(mktemp -d)"
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

status=0
check() {
    if [ ! -s "$1" ]; then
        echo "missing after cmake --install: ${1#"$prefix"/}" >&2
        status=1
    fi
}
desktop="$prefix/share/applications/vask.desktop"
check "$desktop"
if ! grep -qx 'Icon=vask' "$desktop"; then
    echo "vask.desktop has no Icon=vask line" >&2
    status=1
fi
check "$prefix/share/icons/hicolor/scalable/apps/vask.svg"
for size in 16 22 24 32 48 64 128 256 512; do
    png="$prefix/share/icons/hicolor/${size}x${size}/apps/vask.png"
    check "$png"
    if [ -s "$png" ] && command -v file >/dev/null; then
        if ! file "$png" | grep -q "PNG image data, $size x $size"; then
            echo "${png#"$prefix"/} is not a $size x $size PNG" >&2
            status=1
        fi
    fi
done
[ "$status" -eq 0 ] && echo "icons installed"
exit "$status"
