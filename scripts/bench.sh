#!/usr/bin/env bash
# Builds and runs every benchmark under bench/; each prints a table of its figures.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh
scripts/build.sh default
shopt -s nullglob
for bench in build/default/bench/*/bench_*; do
    [ -x "$bench" ] || continue
    echo "== $(basename "$bench")"
    # bench_postgres measures against a private PostgreSQL server of its own.
    if [ "$(basename "$bench")" = bench_postgres ]; then
        scripts/with-postgres.sh "$bench"
    else
        "$bench"
    fi
done
