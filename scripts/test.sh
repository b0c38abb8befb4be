#!/bin/sh
# Installs the dependencies, builds, and runs every test:
#   1. the whole suite on the normal build (build/);
#   2. the whole suite again with AddressSanitizer and UndefinedBehaviorSanitizer
#      (build-asan/);
#   3. a short libFuzzer run over the package extraction (build-fuzz/);
#   4. the Windows program, cross-built (build-win/), end to end under Wine.
# With --quick only the first step runs.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh

scripts/build.sh
(cd build && ctest -j2 --output-on-failure)
[ "${1:-}" = "--quick" ] && exit 0

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATER_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$(nproc)"
# A sanitizer report ends a program with an exit code no test expects. The
# fault-injection library is preloaded ahead of the sanitizer runtime on
# purpose, hence the link-order check is off.
(cd build-asan &&
    ASAN_OPTIONS=verify_asan_link_order=0:exitcode=86 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=87 \
    ctest -j2 --output-on-failure)

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DUPDATER_BUILD_TESTS=OFF -DUPDATER_FUZZ=ON >/dev/null
cmake --build build-fuzz -j"$(nproc)"
(cd build-fuzz && ctest --output-on-failure)

scripts/test-windows.sh
