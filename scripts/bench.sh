#!/bin/sh
# Installs what the benchmark needs, builds the updater, writes the two
# packages (once, into build-bench/packages) and times full updates by the
# updater, an Info-ZIP swap and a libarchive swap side by side.
#   bench.sh [--runs N] [--durability]
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh --bench
scripts/build.sh >/dev/null
exec python3 bench/run.py build/updater "$@"
