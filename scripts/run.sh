#!/usr/bin/env bash
# Installs what is missing, builds, and starts KelvoDrive.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh
scripts/build.sh default
exec build/default/KelvoDrive "$@"
