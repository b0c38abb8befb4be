#!/bin/sh
# Installs what it needs, cross-builds the Windows program twice (inflating
# with ISA-L into build-win/, with zlib into build-win-zlib/), writes the
# benchmark packages (once, into build-bench/packages) and times full
# updates by both builds under Wine side by side.
#   bench-windows.sh [--runs N]
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
scripts/install-deps.sh --bench
scripts/build-windows.sh >/dev/null
scripts/build-windows.sh --zlib >/dev/null

export WINEPREFIX="$top/build-win/wineprefix" WINEDEBUG=-all
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1   # the first start takes a while
fi
exec python3 bench/windows_builds.py build-win/updater.exe build-win-zlib/updater.exe "$@"
