#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite through ctest.
# Extra arguments go to ctest (for example: scripts/test.sh -L drive).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh
scripts/build.sh default

# Tests that need a real display (screenshots) get one from Xvfb; the rest use Qt's offscreen
# platform on their own. The PostgreSQL tests get a private server on loopback.
exec scripts/with-postgres.sh xvfb-run -a -s "-screen 0 1280x1024x24" \
    ctest --preset default --parallel "$(nproc)" "$@"
