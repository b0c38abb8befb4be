#!/bin/sh
# Installs the dependencies, builds, and runs every test.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
cd build
ctest -j2 --output-on-failure
