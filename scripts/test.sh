#!/usr/bin/env bash
# Installs what is missing, builds Vask with AddressSanitizer and UndefinedBehaviorSanitizer, and
# runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset asan
cmake --build --preset asan
ctest --preset asan
