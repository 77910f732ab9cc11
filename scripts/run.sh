#!/usr/bin/env bash
# Installs what is missing, builds Vask and starts it. Arguments are passed to vask.
# Only what starting needs is built: the application, and for the demo the sample-history
# builder, the stand-in helper and the stand-in servers; no test or benchmark target.
#
#   bash scripts/run.sh --demo   starts a separate demo instance over hand-written conversations with
#                                stand-ins for the helper and servers (scripts/demo.sh); so does
#                                a start without a Messages database.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset dev >/dev/null
cmake --build --preset dev --target vask sample-chatdb stand-in-helper stub-servers

if [[ ${1:-} == --demo ]]; then
    exec bash scripts/demo.sh build/dev
fi
if [[ $# -eq 0 && ! -f ${CHAT_DB_PATH:-$HOME/Library/Messages/chat.db} ]]; then
    echo "run: no Messages database at ${CHAT_DB_PATH:-$HOME/Library/Messages/chat.db}: starting the demo instead"
    exec bash scripts/demo.sh build/dev
fi
exec ./build/dev/src/app/vask "$@"
