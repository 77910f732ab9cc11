#!/usr/bin/env bash
# Installs what is missing, builds Vask and starts it. Arguments are passed to vask.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset dev >/dev/null
cmake --build --preset dev
exec ./build/dev/src/app/vask "$@"
