#!/bin/sh
# Installs what the benchmark needs, builds the updater (and, into
# build-bench/one-worker, the same program built to extract with a single
# worker), writes the two packages (once, into build-bench/packages) and
# times full updates by both, an Info-ZIP swap and a libarchive swap side
# by side.
#   bench.sh [--runs N] [--durability]
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh --bench
scripts/build.sh >/dev/null
cmake -S . -B build-bench/one-worker -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATER_BUILD_TESTS=OFF \
    -DUPDATER_MAX_WORKERS=1 >/dev/null
cmake --build build-bench/one-worker -j"$(nproc)" --target updater >/dev/null
exec python3 bench/run.py build/updater --one-worker build-bench/one-worker/updater "$@"
