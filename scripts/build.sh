#!/bin/sh
# Configures and builds the updater and its tests into build/.
set -eu
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATER_BUILD_TESTS=ON >/dev/null
cmake --build build -j"$(nproc)"
